// Plans: the removed channel indices propagated through the channel graph,
// against the module sizes of the moment.
#include <c10/util/Exception.h>

#include <algorithm>
#include <deque>
#include <map>
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
  Planner(const ChannelGraph::Impl& graph, const std::vector<ModuleSizes>& s)
      : g(graph), sizes(s), count(graph.channel_counts(s)), pruned(graph.values.size()) {}

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
  void to_other_calls(const Op& op, int op_id, bool in, bool out, const std::vector<int64_t>& idxs) {
    if (op.module < 0) return;
    for (int other : g.module_ops[op.module]) {
      if (other == op_id) continue;
      const Op& call = g.ops[other];
      if (in && !call.ins.empty()) add(call.ins[0], idxs);
      if (out && !call.outs.empty()) add(call.outs[0], idxs);
    }
  }

  // A module loses the channels that reach it, on the side they reach, and
  // at every other place it is called. Sides tied together (a norm, a
  // depthwise convolution) pass the channels on to every port.
  void module_op(const Op& op, int op_id, int v, const std::vector<int64_t>& idxs) {
    const ModuleKind kind = g.modules[op.module].kind;
    const ModuleSizes& s = sizes[op.module];
    if (sides_tied(kind, s)) {
      to_other_calls(op, op_id, true, true, idxs);
      if (!(layer_kind(kind).one_is_shared && s.out == 1))
        mark(step(Action::prune(kind, Side::Both), op.module, -1), idxs);
      to_all_ports(op, v, idxs);
      return;
    }
    // Each side apart; for a grouped convolution, whether every group keeps
    // the same width is checked once the plan is complete.
    const bool is_in = std::find(op.ins.begin(), op.ins.end(), v) != op.ins.end();
    const bool is_out = std::find(op.outs.begin(), op.outs.end(), v) != op.outs.end();
    to_other_calls(op, op_id, is_in, is_out, idxs);
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
  const int64_t limit = side == Side::Input ? s.in : s.out;
  for (int64_t i : idxs) {
    TORCH_CHECK_VALUE(i >= 0 && i < limit, "channel index ", i, " is out of range for '", info.path,
                      "', which has ", limit, side == Side::Input ? " input" : " output",
                      " channels now; indices must lie in [0, ", limit, ")");
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

}  // namespace

std::vector<Step> ChannelGraph::plan(int64_t module, Side side, const std::vector<int64_t>& idxs,
                                     const std::vector<ModuleSizes>& sizes, const ModelFacts& facts) const {
  const Impl& g = *impl_;
  check_request(g, module, side, idxs, sizes);
  const ModuleKind kind = g.modules[module].kind;
  const ModuleSizes& s = sizes[module];
  Planner p(g, sizes);
  // The origin's own step leads the plan.
  if (!(layer_kind(kind).one_is_shared && s.out == 1))
    p.step(Action::prune(kind, step_side(kind, s, side)), module, -1);
  for (int op_id : g.module_ops[module]) {
    const Op& op = g.ops[op_id];
    const std::vector<int>& ports = side == Side::Input ? op.ins : op.outs;
    if (!ports.empty()) p.add(ports[0], idxs);
  }
  p.run();
  p.check_slices();
  std::vector<Step> steps = p.take_steps();
  for (Step& st : steps) std::sort(st.idxs.begin(), st.idxs.end());
  refuse_if_nothing_removed(g.modules[module], idxs, steps);
  detail::add_refusals(g, sizes, facts, steps);
  // Refusals first, so that whoever executes the plan stops before any change.
  std::stable_partition(steps.begin(), steps.end(),
                        [](const Step& st) { return st.action == Action::Refuse; });
  return steps;
}

}  // namespace orrery::dependency
