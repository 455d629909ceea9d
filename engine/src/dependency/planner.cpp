// Plans: the removed channel indices propagated through the channel graph,
// against the module sizes of the moment.
#include <c10/util/Exception.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <utility>

#include "internal.h"

namespace orrery::dependency {
namespace {

using detail::Op;
using detail::OpKind;
using detail::ValueInfo;

std::string list_text(const std::vector<int64_t>& idxs) {
  std::string text;
  for (size_t i = 0; i < idxs.size() && i < 8; ++i) text += (i ? ", " : "") + std::to_string(idxs[i]);
  return idxs.size() > 8 ? text + ", ..." : text;
}

std::string range_text(const detail::Selection& s) {
  return "[" + std::to_string(s.start) + ":" + std::to_string(s.stop) +
         (s.step != 1 ? ":" + std::to_string(s.step) : "") + "]";
}

class Planner {
 public:
  // `whole`: the depthwise convolutions with several outputs per group that
  // lose whole groups in this run.
  Planner(const ChannelGraph::Impl& graph, const std::vector<ModuleSizes>& s, const std::set<int64_t>& whole)
      : g(graph), sizes(s), whole_groups(whole), count(graph.channel_counts(s)), pruned(graph.values.size()) {}

  // Whether module `m` loses its input and output channels together in this
  // run: kinds with one width, depthwise convolutions with one output per
  // group, and those with several that lose whole groups.
  bool tied(int64_t m) const {
    const ModuleKind kind = g.modules[m].kind;
    return sides_tied(kind, sizes[m]) && (outputs_per_group(kind, sizes[m]) == 1 || whole_groups.count(m) > 0);
  }

  // Depthwise convolutions with several outputs per group that must lose
  // whole groups after all: their inputs lose channels (a group's only
  // input), or the outputs they lose would leave their groups unequal.
  std::vector<int64_t> whole_groups_needed() const {
    std::vector<int64_t> out(inputs_reached.begin(), inputs_reached.end());
    for (const Step& st : steps) {
      if (!st.action.is_prune() || st.action.side != Side::Output || st.module < 0) continue;
      const ModuleSizes& s = sizes[st.module];
      if (sides_tied(st.action.kind, s) && !group_loss(s.out, s.groups, st.idxs).equal) out.push_back(st.module);
    }
    return out;
  }

  // The step of `action` on a module (or, for View, a view op), made on first use.
  Step& step(Action action, int64_t module, int64_t view) {
    const std::pair<Action, int64_t> key{action, action.is_prune() ? module : view};
    auto it = step_of.find(key);
    if (it != step_of.end()) return steps[it->second];
    step_of.emplace(key, steps.size());
    steps.push_back(Step{action, module, view, {}, ""});
    step_marks.emplace_back();
    return steps.back();
  }

  // Adds indices to a step, each once, in the order they are found.
  void mark(Step& s, const std::vector<int64_t>& idxs) {
    auto& marks = step_marks[&s - steps.data()];
    for (int64_t i : idxs) {
      if (i >= static_cast<int64_t>(marks.size())) marks.resize(i + 1, 0);
      if (!marks[i]) {
        marks[i] = 1;
        s.idxs.push_back(i);
      }
    }
  }

  void refuse(int64_t module, const std::string& reason) {
    // One refusal per distinct reason is enough to stop the plan.
    for (const Step& s : steps)
      if (s.action == Action::Refuse && s.reason == reason) return;
    steps.push_back(Step{Action::Refuse, module, -1, {}, reason});
    step_marks.emplace_back();
  }

  // Queues the channels `idxs` of value `v` for removal (those not queued yet).
  void add(int v, const std::vector<int64_t>& idxs) {
    if (idxs.empty()) return;
    auto& mask = pruned[v];
    const int64_t n = count[v];
    if (n < 0) {
      refuse(-1, "channels reach a tensor whose channel count is unknown");
      return;
    }
    if (mask.empty()) mask.assign(n, 0);
    std::vector<int64_t> fresh;
    for (int64_t i : idxs) {
      if (i < 0 || i >= n) {
        refuse(-1, "channel index " + std::to_string(i) + " falls outside a tensor of " +
                       std::to_string(n) + " channels");
        continue;
      }
      if (!mask[i]) {
        mask[i] = 1;
        fresh.push_back(i);
      }
    }
    if (!fresh.empty()) work.emplace_back(v, std::move(fresh));
  }

  void run() {
    while (!work.empty()) {
      auto [v, idxs] = std::move(work.front());
      work.pop_front();
      const ValueInfo& info = g.values[v];
      if (info.producer >= 0) apply(info.producer, v, idxs);
      else refuse(-1, "channels would have to be removed from " + info.source);
      for (int op : info.users) apply(op, v, idxs);
    }
  }

  // A slice's bounds are numbers of the model's code: on the narrower input
  // they must select exactly the channels it selected before that remain.
  void check_slices() {
    for (const Op& op : g.ops) {
      if (op.kind != OpKind::Slice || pruned[op.ins[0]].empty()) continue;
      const std::vector<char>& gone = pruned[op.ins[0]];
      const int64_t n = count[op.ins[0]];
      std::vector<int64_t> kept, removed;
      for (int64_t i = 0; i < n; ++i) (gone[i] ? removed : kept).push_back(i);
      const auto before = detail::select_channels(op, n);
      const auto after = detail::select_channels(op, static_cast<int64_t>(kept.size()));
      if (!before) continue;  // refused while propagating
      std::vector<int64_t> wanted, got;
      for (int64_t i = before->start; i < before->stop; i += before->step)
        if (!gone[i]) wanted.push_back(i);
      if (after)
        for (int64_t k = after->start; k < after->stop; k += after->step) got.push_back(kept[k]);
      if (after && got == wanted && (!wanted.empty() || before->size() == 0)) continue;
      refuse(-1, "channels reach " + op.what + ", which now selects channels " + range_text(*before) + " of " +
                     std::to_string(n) + (wanted.empty() ? "; the plan would remove all of them"
                                                         : "; without channels " + list_text(removed) +
                                                               " its bounds would select other channels") +
                     ". Remove only channels whose removal leaves the bounds selecting the same ones "
                     "(those past a fixed end, or anywhere when the slice keeps every channel)");
    }
  }

  std::vector<Step> take_steps() { return std::move(steps); }

 private:
  // Offsets of each port of a Cat/Split op in the concatenated channel space.
  std::vector<int64_t> offsets(const std::vector<int>& parts) const {
    std::vector<int64_t> off;
    int64_t at = 0;
    for (int v : parts) {
      off.push_back(at);
      at += count[v];
    }
    return off;
  }

  // torch.chunk cuts the channels into equal pieces by arithmetic on the
  // width it receives: every piece must lose the same positions, or the cut
  // would move. Positions removed from one piece are removed from all.
  void chunk(const Op& op, int v, const std::vector<int64_t>& idxs) {
    const int whole = op.ins[0];
    const int64_t n = count[whole];
    if (n < 0 || n % op.chunks != 0) {
      refuse(-1, "channels reach a torch.chunk whose input of " + std::to_string(n) +
                     " channels does not divide into " + std::to_string(op.chunks) + " equal pieces");
      return;
    }
    const int64_t piece = n / op.chunks;
    std::vector<int64_t> positions;
    if (v == whole) {
      for (int64_t i : idxs) positions.push_back(i % piece);
    } else {
      positions = idxs;
    }
    std::vector<int64_t> all;
    for (size_t k = 0; k < op.outs.size(); ++k) {
      add(op.outs[k], positions);
      for (int64_t p : positions) all.push_back(static_cast<int64_t>(k) * piece + p);
    }
    add(whole, all);
  }

  // A channel shuffle computes its group width from the width it receives,
  // so the factor the code fixes must still divide the pruned width, and the
  // other factor must shrink alike in every group: removing position j of
  // one group removes it from all.
  void shuffle(const Op& op, int v, const std::vector<int64_t>& idxs) {
    const int64_t n = count[op.ins[0]];
    if (n < 0 || n % op.chunks != 0) {
      refuse(-1, "channels reach a channel shuffle whose " + std::to_string(n) +
                     " channels do not divide into groups of " + std::to_string(op.chunks));
      return;
    }
    const int64_t major = op.major_fixed ? op.chunks : n / op.chunks;
    const int64_t minor = n / major;
    std::vector<char> shrinking(op.major_fixed ? minor : major, 0);
    for (int64_t c : idxs) {
      // (i, j): row i of `major`, column j of `minor`, in the input's numbering.
      const int64_t i = v == op.ins[0] ? c / minor : c % major;
      const int64_t j = v == op.ins[0] ? c % minor : c / major;
      shrinking[op.major_fixed ? j : i] = 1;
    }
    std::vector<int64_t> in_idxs, out_idxs;
    for (int64_t i = 0; i < major; ++i) {
      for (int64_t j = 0; j < minor; ++j) {
        if (!shrinking[op.major_fixed ? j : i]) continue;
        in_idxs.push_back(i * minor + j);
        out_idxs.push_back(j * major + i);
      }
    }
    add(op.ins[0], in_idxs);
    add(op.outs[0], out_idxs);
  }

  void to_all_ports(const Op& op, int from, const std::vector<int64_t>& idxs) {
    for (int v : op.ins) if (v != from) add(v, idxs);
    for (int v : op.outs) if (v != from) add(v, idxs);
  }

  // A module called at several places is one module: the channels it loses
  // at one call site it loses at every other, on the same side.
  void to_other_calls(const Op& op, int op_id, const std::vector<int64_t>& in_idxs,
                      const std::vector<int64_t>& out_idxs) {
    if (op.module < 0) return;
    for (int other : g.module_ops[op.module]) {
      if (other == op_id) continue;
      const Op& call = g.ops[other];
      if (!call.ins.empty()) add(call.ins[0], in_idxs);
      if (!call.outs.empty()) add(call.outs[0], out_idxs);
    }
  }

  // Sides tied together (a norm, a depthwise convolution) lose the same
  // channels: the module's step holds them in its input numbering, and every
  // port loses them. A depthwise convolution with k outputs per group loses
  // whole groups: an output reaching it takes its group's input and all k
  // outputs with it.
  void tied_op(const Op& op, int op_id, int v, const std::vector<int64_t>& idxs) {
    const ModuleKind kind = g.modules[op.module].kind;
    const ModuleSizes& s = sizes[op.module];
    const int64_t k = outputs_per_group(kind, s);
    if (k == 1) {
      to_other_calls(op, op_id, idxs, idxs);
      if (!(layer_kind(kind).one_is_shared && s.out == 1))
        mark(step(Action::prune(kind, Side::Both), op.module, -1), idxs);
      to_all_ports(op, v, idxs);
      return;
    }
    const bool at_output = std::find(op.outs.begin(), op.outs.end(), v) != op.outs.end();
    std::vector<int64_t> groups, outputs;
    for (int64_t i : idxs) groups.push_back(at_output ? i / k : i);
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    for (int64_t c : groups)
      for (int64_t j = 0; j < k; ++j) outputs.push_back(c * k + j);
    to_other_calls(op, op_id, groups, outputs);
    mark(step(Action::prune(kind, Side::Both), op.module, -1), groups);
    for (int in : op.ins) add(in, groups);
    for (int out : op.outs) add(out, outputs);
  }

  // A module loses the channels that reach it, on the side they reach, and
  // at every other place it is called.
  void module_op(const Op& op, int op_id, int v, const std::vector<int64_t>& idxs) {
    const ModuleKind kind = g.modules[op.module].kind;
    if (tied(op.module)) {
      tied_op(op, op_id, v, idxs);
      return;
    }
    // Each side apart; for a grouped convolution, whether every group keeps
    // the same width is checked once the plan is complete.
    const bool is_in = std::find(op.ins.begin(), op.ins.end(), v) != op.ins.end();
    const bool is_out = std::find(op.outs.begin(), op.outs.end(), v) != op.outs.end();
    if (is_in && sides_tied(kind, sizes[op.module])) {
      inputs_reached.insert(op.module);  // the plan is made again with whole groups
      return;
    }
    to_other_calls(op, op_id, is_in ? idxs : std::vector<int64_t>{}, is_out ? idxs : std::vector<int64_t>{});
    if (is_in && !op.linear_input_ok) {
      refuse(op.module, "linear layer '" + g.modules[op.module].path +
                            "' is applied along a dimension other than the channels");
    } else if (is_in) {
      mark(step(Action::prune(kind, Side::Input), op.module, -1), idxs);
    }
    if (is_out) mark(step(Action::prune(kind, Side::Output), op.module, -1), idxs);
  }

  // Offsets place each part of a concatenation (or piece of a split) in the
  // whole's channel numbering.
  void cat_or_split(const Op& op, int v, const std::vector<int64_t>& idxs) {
    const std::vector<int>& parts = op.kind == OpKind::Cat ? op.ins : op.outs;
    const int whole = op.kind == OpKind::Cat ? op.outs[0] : op.ins[0];
    const auto off = offsets(parts);
    if (v == whole) {
      for (size_t k = 0; k < parts.size(); ++k) {
        std::vector<int64_t> part;
        for (int64_t i : idxs)
          if (i >= off[k] && i < off[k] + count[parts[k]]) part.push_back(i - off[k]);
        add(parts[k], part);
      }
      return;
    }
    // A value may appear several times in one concatenation.
    for (size_t k = 0; k < parts.size(); ++k) {
      if (parts[k] != v) continue;
      std::vector<int64_t> moved;
      for (int64_t i : idxs) moved.push_back(i + off[k]);
      add(whole, moved);
    }
  }

  // Each channel of a flatten's input is a block of its output features (or,
  // for a merge of blocks such as pixel_shuffle, each channel of its output
  // is a block of its input channels).
  void flatten(const Op& op, int v, const std::vector<int64_t>& idxs) {
    const int whole = op.merges_blocks ? op.outs[0] : op.ins[0];
    const int blocks = op.merges_blocks ? op.ins[0] : op.outs[0];
    std::vector<int64_t> channels;
    if (v == whole) channels = idxs;
    else
      for (int64_t i : idxs) channels.push_back(i / op.block);
    std::sort(channels.begin(), channels.end());
    channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
    mark(step(Action::View, -1, op.view), channels);
    add(whole, channels);
    std::vector<int64_t> features;
    for (int64_t c : channels)
      for (int64_t j = 0; j < op.block; ++j) features.push_back(c * op.block + j);
    add(blocks, features);
  }

  // A slice passes on the channels it selects; whether its bounds still
  // select them once the input is narrower is judged when the plan is
  // complete (check_slices).
  void slice(const Op& op, int v, const std::vector<int64_t>& idxs) {
    const auto selected = detail::select_channels(op, count[op.ins[0]]);
    if (!selected) {
      refuse(-1, "channels reach " + op.what + ", whose bounds do not fit its input of " +
                     (count[op.ins[0]] < 0 ? "unknown width" : std::to_string(count[op.ins[0]]) + " channels"));
      return;
    }
    std::vector<int64_t> moved;
    for (int64_t i : idxs) {
      if (v != op.ins[0]) moved.push_back(selected->start + i * selected->step);
      else if (i >= selected->start && i < selected->stop && (i - selected->start) % selected->step == 0)
        moved.push_back((i - selected->start) / selected->step);
    }
    add(v == op.ins[0] ? op.outs[0] : op.ins[0], moved);
  }

  void apply(int op_id, int v, const std::vector<int64_t>& idxs) {
    const Op& op = g.ops[op_id];
    switch (op.kind) {
      case OpKind::Conv:
      case OpKind::Linear:
      case OpKind::Norm:
      case OpKind::PReLU:
      case OpKind::Parameter: module_op(op, op_id, v, idxs); break;
      case OpKind::Same: to_all_ports(op, v, idxs); break;
      case OpKind::Shuffle: shuffle(op, v, idxs); break;
      case OpKind::Split:
        if (op.chunks > 0) chunk(op, v, idxs);
        else cat_or_split(op, v, idxs);
        break;
      case OpKind::Cat: cat_or_split(op, v, idxs); break;
      case OpKind::Flatten: flatten(op, v, idxs); break;
      case OpKind::Slice: slice(op, v, idxs); break;
      case OpKind::Refuse: refuse(-1, "channels reach " + op.what); break;
    }
  }

  const ChannelGraph::Impl& g;
  const std::vector<ModuleSizes>& sizes;
  const std::set<int64_t>& whole_groups;
  std::set<int64_t> inputs_reached;  // depthwise convolutions apart whose inputs lose channels
  std::vector<int64_t> count;
  std::vector<std::vector<char>> pruned;  // per value, lazily sized
  std::deque<std::pair<int, std::vector<int64_t>>> work;
  std::vector<Step> steps;
  std::map<std::pair<Action, int64_t>, size_t> step_of;  // (action, module or view) -> step
  std::vector<std::vector<char>> step_marks;              // per step, the indices it holds
};

// The request itself: a module of the graph, a side it has, indices in range.
void check_request(const ChannelGraph::Impl& g, int64_t module, Side side, const std::vector<int64_t>& idxs,
                   const std::vector<ModuleSizes>& sizes) {
  TORCH_CHECK_VALUE(module >= 0 && module < static_cast<int64_t>(g.modules.size()),
                    "no module number ", module, " in the dependency graph");
  TORCH_CHECK_VALUE(sizes.size() == g.modules.size(), "expected the sizes of ", g.modules.size(),
                    " modules, got ", sizes.size());
  const ModuleInfo& info = g.modules[module];
  const ModuleSizes& s = sizes[module];
  TORCH_CHECK_VALUE(side != Side::Input || layer_kind(info.kind).prune_input != nullptr,
                    "only convolutions and linear layers have input channels to prune, '", info.path,
                    "' is neither");
  // Both names the tied sides' channels (a depthwise convolution's groups),
  // or the outputs of a convolution whose sides are apart.
  const Side numbered = side == Side::Both ? step_side(info.kind, s, side) : side;
  const int64_t limit = side_width(s, numbered);
  const char* what = numbered == Side::Input ? " input channels" : numbered == Side::Output ? " output channels"
                     : outputs_per_group(info.kind, s) > 1 ? " groups" : " channels";
  for (int64_t i : idxs) {
    TORCH_CHECK_VALUE(i >= 0 && i < limit, "channel index ", i, " is out of range for '", info.path,
                      "', which has ", limit, what, " now; indices must lie in [0, ", limit, ")");
  }
}

// A plan that would change nothing must not pass for one that did.
void refuse_if_nothing_removed(const ModuleInfo& origin, const std::vector<int64_t>& idxs,
                               std::vector<Step>& steps) {
  for (const Step& st : steps)
    if (st.action == Action::Refuse || (st.action.is_prune() && !st.idxs.empty())) return;
  Step refusal{Action::Refuse, -1, -1, {}, ""};
  refusal.reason = idxs.empty() ? "no channels of '" + origin.path + "' were asked for; give the indices "
                                      "of the channels to remove"
                                : "the plan would remove no channels: '" + origin.path +
                                      "' takes part in no operation of the trace that its channels flow "
                                      "through, so nothing would change";
  steps.insert(steps.begin(), std::move(refusal));
}

// The value whose channels the request's indices number: the output, the
// input for Input, and the input for a depthwise convolution's groups.
// -1 for a refused call of the module, which may have no such port.
int request_port(const Op& op, ModuleKind kind, Side side, const ModuleSizes& s) {
  const bool input = side == Side::Input || (side == Side::Both && outputs_per_group(kind, s) > 1);
  const std::vector<int>& ports = input ? op.ins : op.outs;
  return ports.empty() ? -1 : ports[0];
}

// One propagation of the request, with `whole` losing whole groups.
struct Propagation {
  std::vector<Step> steps;
  std::vector<int64_t> whole_groups_needed;
};

Propagation propagate(const ChannelGraph::Impl& g, int64_t module, Side side, const std::vector<int64_t>& idxs,
                      const std::vector<ModuleSizes>& sizes, const std::set<int64_t>& whole) {
  const ModuleKind kind = g.modules[module].kind;
  const ModuleSizes& s = sizes[module];
  Planner p(g, sizes, whole);
  // The origin's own step leads the plan.
  if (!(layer_kind(kind).one_is_shared && s.out == 1))
    p.step(Action::prune(kind, p.tied(module) ? Side::Both : side == Side::Both ? Side::Output : side), module, -1);
  for (int op_id : g.module_ops[module]) {
    const int port = request_port(g.ops[op_id], kind, side, s);
    if (port >= 0) p.add(port, idxs);
  }
  p.run();
  p.check_slices();
  std::vector<int64_t> needed = p.whole_groups_needed();
  return {p.take_steps(), std::move(needed)};
}

}  // namespace

// A depthwise convolution with several outputs per group first loses only the
// outputs that reach it, which keeps its groups when every group loses as
// many; when its groups would be left unequal, or its inputs lose channels,
// the plan is made again with it losing whole groups.
std::vector<Step> ChannelGraph::plan(int64_t module, Side side, const std::vector<int64_t>& idxs,
                                     const std::vector<ModuleSizes>& sizes, const ModelFacts& facts) const {
  const Impl& g = *impl_;
  check_request(g, module, side, idxs, sizes);
  std::set<int64_t> whole;
  if (side != Side::Output && outputs_per_group(g.modules[module].kind, sizes[module]) > 1) whole.insert(module);
  Propagation run = propagate(g, module, side, idxs, sizes, whole);
  while (!run.whole_groups_needed.empty()) {
    whole.insert(run.whole_groups_needed.begin(), run.whole_groups_needed.end());
    run = propagate(g, module, side, idxs, sizes, whole);
  }
  std::vector<Step> steps = std::move(run.steps);
  for (Step& st : steps) std::sort(st.idxs.begin(), st.idxs.end());
  refuse_if_nothing_removed(g.modules[module], idxs, steps);
  detail::add_refusals(g, sizes, facts, steps);
  // Refusals first, so that whoever executes the plan stops before any change.
  std::stable_partition(steps.begin(), steps.end(),
                        [](const Step& st) { return st.action == Action::Refuse; });
  return steps;
}

}  // namespace orrery::dependency
