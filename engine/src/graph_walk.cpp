#include "orrery_engine/graph_walk.h"

#include <c10/util/Exception.h>

#include <algorithm>
#include <unordered_set>

namespace orrery::engine {

namespace {

using torch::jit::Graph;
using torch::jit::Node;

// aten::linear is what nn.Linear traces to since PyTorch 1.6; without it
// linear layers would be transparent and vanish from the graph.
const std::vector<std::string> kConsumingOps = {"aten::addmm", "aten::matmul",
                                                "aten::_convolution", "aten::batch_norm",
                                                "aten::linear"};
const std::vector<std::pair<std::string, std::string>> kFunctionalOps = {{"aten::add_", "Add"},
                                                                         {"aten::add", "Add"}};

enum class Role { Transparent, Consuming, Functional, WeightAccess };

struct Classifier {
  std::unordered_set<c10::Symbol> consuming;
  std::unordered_map<c10::Symbol, const std::string*> functional;

  Classifier() {
    for (const auto& kind : kConsumingOps) consuming.insert(c10::Symbol::fromQualString(kind));
    for (const auto& entry : kFunctionalOps)
      functional.emplace(c10::Symbol::fromQualString(entry.first), &entry.second);
  }
};

const Classifier& classifier() {
  static const Classifier instance;
  return instance;
}

// One node whose inputs are being walked.
struct Frame {
  const Node* node;
  size_t next_input = 0;
  // Index of the tracked node this frame pushed on the working stack.
  long tracked = -1;
};

class Walker {
 public:
  Walker(const Graph& graph, GraphWalkListener* listener)
      : owners_(weight_owner_paths(graph)), listener_(listener) {
    // The level below every tracked node: outputs are walked from there.
    visited_.emplace_back();
    edges_seen_.emplace_back();
  }

  GraphWalk run(const Graph& graph) {
    for (const torch::jit::Value* output : graph.outputs()) {
      enter(output->node());
      while (!frames_.empty()) step();
    }
    result_.isolated_functional.assign(result_.nodes.size(), false);
    std::vector<bool> has_edge(result_.nodes.size(), false);
    for (const auto& edge : result_.edges) has_edge[edge.consumer] = has_edge[edge.producer] = true;
    for (size_t i = 0; i < result_.nodes.size(); ++i)
      result_.isolated_functional[i] = !result_.nodes[i].consuming && !has_edge[i];
    return std::move(result_);
  }

 private:
  void step() {
    Frame& frame = frames_.back();
    const auto inputs = frame.node->inputs();
    if (frame.next_input < inputs.size()) {
      const Node* producer = inputs[frame.next_input++]->node();
      enter(producer);  // may grow frames_, invalidating `frame`
      return;
    }
    const long tracked = frame.tracked;
    frames_.pop_back();
    if (tracked < 0) return;
    TORCH_INTERNAL_ASSERT(!working_.empty() && working_.back() == static_cast<size_t>(tracked),
                          "graph walk: working stack out of step");
    working_.pop_back();
    visited_.pop_back();
    edges_seen_.pop_back();
    if (result_.nodes[tracked].consuming) {
      TORCH_INTERNAL_ASSERT(!scopes_.empty() && scopes_.back() == static_cast<size_t>(tracked),
                            "graph walk: scope stack out of step");
      scopes_.pop_back();
    }
  }

  void enter(const Node* node) {
    const Classifier& table = classifier();
    const c10::Symbol kind = node->kind();
    const bool consuming = table.consuming.count(kind) > 0;
    const auto functional = consuming ? table.functional.end() : table.functional.find(kind);
    if (consuming || functional != table.functional.end()) {
      enter_tracked(node, consuming, consuming ? nullptr : functional->second);
      return;
    }
    const auto owner = owners_.find(node);
    if (owner != owners_.end()) {
      if (scopes_.empty()) {
        if (listener_) listener_->unconsumed_weight(owner->second);
      } else {
        WalkNode& consumer = result_.nodes[scopes_.back()];
        consumer.bound = true;
        consumer.owner_path = owner->second;
      }
    } else if (!visited_.back().insert(node).second) {
      return;  // this transparent node was already walked for the node on top
    }
    frames_.push_back(Frame{node});
  }

  void enter_tracked(const Node* node, bool consuming, const std::string* op_name) {
    size_t uid = 0;
    try {
      uid = node->output()->unique();
    } catch (...) {
      if (listener_) listener_->unknown_case();
      throw;
    }
    const auto known = index_of_uid_.find(uid);
    if (known != index_of_uid_.end()) {
      if (!working_.empty()) add_edge(working_.back(), known->second);
      return;  // its inputs were walked when it was first met
    }
    const size_t index = result_.nodes.size();
    WalkNode created;
    created.uid = uid;
    created.consuming = consuming;
    if (op_name) created.op_name = *op_name;
    result_.nodes.push_back(std::move(created));
    index_of_uid_.emplace(uid, index);
    if (!working_.empty()) add_edge(working_.back(), index);
    working_.push_back(index);
    visited_.emplace_back();
    edges_seen_.emplace_back();
    if (consuming) scopes_.push_back(index);
    frames_.push_back(Frame{node, 0, static_cast<long>(index)});
  }

  void add_edge(size_t consumer, size_t producer) {
    // Edges of one consumer are all recorded while it is on top of the stack.
    if (edges_seen_.back().insert(producer).second)
      result_.edges.push_back(WalkEdge{consumer, producer});
  }

  std::unordered_map<const Node*, std::string> owners_;
  GraphWalkListener* listener_;
  GraphWalk result_;
  std::unordered_map<size_t, size_t> index_of_uid_;
  std::vector<Frame> frames_;
  // Tracked nodes (indices) whose inputs are being walked, innermost last.
  std::vector<size_t> working_;
  // The consuming ones among them: the next weight access binds the last.
  std::vector<size_t> scopes_;
  // Per level of `working_` (plus the level below it): transparent nodes
  // walked and producers recorded while that level is on top.
  std::vector<std::unordered_set<const Node*>> visited_;
  std::vector<std::unordered_set<size_t>> edges_seen_;
};

}  // namespace

const std::vector<std::string>& consuming_op_kinds() { return kConsumingOps; }

const std::vector<std::pair<std::string, std::string>>& functional_op_kinds() {
  return kFunctionalOps;
}

std::unordered_map<const Node*, std::string> weight_owner_paths(const Graph& graph) {
  static const c10::Symbol kGetAttr = c10::Symbol::fromQualString("prim::GetAttr");
  static const c10::Symbol kParam = c10::Symbol::fromQualString("prim::Param");
  static const c10::Symbol kName = c10::Symbol::attr("name");
  std::unordered_map<const Node*, std::string> owners;
  for (const Node* node : graph.nodes()) {
    if (node->kind() != kGetAttr || node->s(kName) != "weight") continue;
    // Names from the weight up to the graph's parameter, innermost first.
    std::vector<const std::string*> names;
    for (const Node* n = node; n->kind() != kParam; n = n->input()->node())
      names.push_back(&n->s(kName));
    TORCH_CHECK(!names.empty(), "empty attribute path to a weight");
    std::string path;
    // names.back() is the outermost attribute; names.front() is "weight".
    for (size_t i = names.size(); i-- > 1;) {
      if (!path.empty() || i != names.size() - 1) path += '.';
      path += *names[i];
    }
    owners.emplace(node, std::move(path));
  }
  return owners;
}

GraphWalk walk_traced_graph(const Graph& graph, GraphWalkListener* listener) {
  Walker walker(graph, listener);
  return walker.run(graph);
}

}  // namespace orrery::engine
