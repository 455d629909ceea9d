// Refusals that judge a plan as a whole, once the channels have been followed
// everywhere: the module sizes of the moment and the facts about the live
// model that a trace cannot show decide whether the plan may run.
#include <c10/util/Exception.h>

#include <set>
#include <string>

#include "internal.h"

namespace orrery::dependency::detail {
namespace {

std::string without_article(const std::string& text) {
  const auto space = text.find(' ');
  return space == std::string::npos ? text : text.substr(space + 1);
}

class Judge {
 public:
  Judge(const ChannelGraph::Impl& graph, const std::vector<ModuleSizes>& s, const ModelFacts& f)
      : g(graph), sizes(s), facts(f) {}

  // Hidden couplings lead the refusals; sizes the plan cannot meet follow
  // the planner's own.
  void refuse(int64_t module, std::string reason, bool hidden = false) {
    for (const std::vector<Step>* list : {&leading, &trailing})
      for (const Step& r : *list)
        if (r.reason == reason) return;
    (hidden ? leading : trailing).push_back(Step{Action::Refuse, module, -1, {}, std::move(reason)});
  }

  // A coupled module may lose every channel even when the origin keeps some
  // (a branch of a concatenation, say): no layer can run with none.
  void emptied(const Step& st) {
    const int64_t width = side_width(sizes[st.module], st.action.side);
    if (width >= 0 && static_cast<int64_t>(st.idxs.size()) >= width)
      refuse(st.module, "the plan would remove every channel of '" + path(st) + "'");
  }

  // Layers whose channels sit in groups run only with groups of equal width.
  void groups(const Step& st) {
    const ModuleKind kind = st.action.kind;
    const ModuleSizes& s = sizes[st.module];
    const LayerKind& row = layer_kind(kind);
    if (row.groups_size == nullptr || s.groups <= 1) return;
    if (kind == ModuleKind::Conv && st.action.side == Side::Both) return;  // depthwise: whole groups go
    const int64_t width = side_width(s, st.action.side);
    const GroupLoss loss = group_loss(width, s.groups, st.idxs, row.whole_groups_may_go);
    if (loss.equal) return;
    const std::string side = st.action.side == Side::Input ? "input" : "output";
    const std::string what = kind == ModuleKind::Conv ? "grouped convolution" : without_article(row.text);
    const std::string remedy = row.whole_groups_may_go ? " (or every channel of whole groups)" : "";
    refuse(st.module, what + " '" + path(st) + "' (" + row.groups_size + "=" + std::to_string(s.groups) +
                          ") would lose " + std::to_string(loss.most) + " " + side + " channels from group " +
                          std::to_string(loss.most_group) + " but " + std::to_string(loss.least) +
                          " from group " + std::to_string(loss.least_group) +
                          "; remove the same number of channels from every group of " +
                          std::to_string(width / s.groups) + remedy);
  }

  // What the trace cannot show about the module a step changes.
  void hidden(const Step& st) {
    const ModuleInfo& info = g.modules[st.module];
    const ModuleFacts* mf = facts.modules.empty() ? nullptr : &facts.modules[st.module];
    const std::string type = mf ? " (" + mf->type_name + ")" : "";
    if (sizes[st.module].out < 0) {
      refuse(st.module, "module '" + info.path + "'" + type + " runs " + layer_kind(info.kind).text +
                            " on its own parameters instead of being that torch.nn layer; pruning "
                            "cannot change it",
             true);
      return;
    }
    if (mf == nullptr) return;
    if (info.kind == ModuleKind::Parameter && mf->owned_by_layer) {
      refuse(st.module, "the tensor '" + info.path +
                            "' belongs to a layer but is also used per channel outside it; pruning it "
                            "there would leave the layer's sizes wrong",
             true);
    }
    for (int64_t other : mf->same_object) {
      refuse(st.module, "module '" + info.path + "' is also called as '" + g.modules[other].path +
                            "'; a module registered under two names cannot be pruned",
             true);
    }
    for (const auto& [parameter, owner] : mf->tied) {
      refuse(st.module, "module '" + info.path + "' shares its parameter '" + parameter + "' with '" +
                            owner + "' (tied weights); untie them or prune neither",
             true);
    }
  }

  // A prunable layer that no trace shows running (a branch the example
  // inputs did not take, a mode the model was not traced in) may read or
  // produce the removed channels when a width of its is one the plan changes.
  void untraced() {
    for (const UntracedModule& u : facts.untraced) {
      const bool reads = u.in_width > 0 && widths.count(u.in_width);
      const bool produces = u.out_width > 0 && widths.count(u.out_width);
      if (!reads && !produces) continue;
      const std::string width = reads ? "reading " + std::to_string(u.in_width)
                                      : "producing " + std::to_string(u.out_width);
      refuse(-1, "module '" + u.path + "' (" + u.type_name + " " + width + " channels) runs in no trace, "
                     "so it may " + (reads ? "read" : "produce") + " channels this plan removes (a branch the "
                     "example inputs did not take, or a discarded result); trace with inputs that "
                     "call it, or remove it from the model",
             true);
    }
  }

  void judge(const std::vector<Step>& steps) {
    for (const Step& st : steps) {
      if (!st.action.is_prune() || st.module < 0) continue;
      const ModuleSizes& s = sizes[st.module];
      widths.insert(side_width(s, st.action.side));
      // Tied sides shrink both widths (a depthwise convolution's outputs too).
      if (st.action.side == Side::Both) widths.insert(s.out);
      emptied(st);
      groups(st);
      hidden(st);
    }
    if (!steps.empty()) untraced();
  }

  std::vector<Step> leading, trailing;

 private:
  std::string path(const Step& st) const { return g.modules[st.module].path; }

  const ChannelGraph::Impl& g;
  const std::vector<ModuleSizes>& sizes;
  const ModelFacts& facts;
  std::set<int64_t> widths;  // widths of the sides the plan changes
};

}  // namespace

void add_refusals(const ChannelGraph::Impl& graph, const std::vector<ModuleSizes>& sizes,
                  const ModelFacts& facts, std::vector<Step>& steps) {
  TORCH_CHECK_VALUE(facts.modules.empty() || facts.modules.size() == graph.modules.size(),
                    "expected the facts of ", graph.modules.size(), " modules, got ", facts.modules.size());
  Judge judge(graph, sizes, facts);
  judge.judge(steps);
  steps.insert(steps.begin(), judge.leading.begin(), judge.leading.end());
  steps.insert(steps.end(), judge.trailing.begin(), judge.trailing.end());
}

}  // namespace orrery::dependency::detail
