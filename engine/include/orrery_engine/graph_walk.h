// The walk that turns an inlined TorchScript trace into the framework's
// dataflow graph.
//
// Only two kinds of operation become graph nodes: consuming operations, which
// read a layer's weight (matrix products, convolutions, batch normalisation),
// and functional ones, which combine tensors without weights (addition).
// Everything else is transparent: an edge joins each tracked node to the
// nearest tracked nodes upstream of it.
//
// The walk starts at the graph outputs and goes upstream depth first, inputs
// in operator order, with an explicit stack so that arbitrarily long chains of
// layers do not exhaust the call stack. While one tracked node is on top of
// the working stack, each transparent node is walked at most once and each
// edge is recorded at most once: models that read a tensor's sizes to reshape
// it (channel shuffles) reach the same transparent nodes along exponentially
// many paths, and walking each path again adds nothing to the graph.
#pragma once

#include <torch/csrc/jit/ir/ir.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace orrery::engine {

// Operator kinds whose output becomes a consuming graph node.
const std::vector<std::string>& consuming_op_kinds();
// Operator kind to the framework's operator name, for functional nodes.
const std::vector<std::pair<std::string, std::string>>& functional_op_kinds();

struct WalkNode {
  // The traced value's unique(), the node's identity in the graph.
  size_t uid = 0;
  bool consuming = false;
  // The framework operator name of a functional node ("Add"); empty otherwise.
  std::string op_name;
  // Dotted path from the model to the module whose `weight` a consuming node
  // reads ("features.0"); empty when no weight access bound it. The path of
  // the root module itself is empty too, hence the flag.
  bool bound = false;
  std::string owner_path;
};

// `consumer` reads the value of `producer` (indices into GraphWalk::nodes).
struct WalkEdge {
  size_t consumer = 0;
  size_t producer = 0;
};

struct GraphWalk {
  // Tracked nodes in the order the walk first met them.
  std::vector<WalkNode> nodes;
  // Edges in the order they were recorded; the consumer's inputs and the
  // producer's outputs list them in this order.
  std::vector<WalkEdge> edges;
  // Per node: a functional node without any edge, dropped from the graph.
  std::vector<bool> isolated_functional;
};

// What the walk reports as it goes, so that a caller can log it in order
// with everything else, even when the walk fails later.
class GraphWalkListener {
 public:
  virtual ~GraphWalkListener() = default;
  // A weight read while no consuming node is being walked; `owner_path` is
  // the dotted path of the module that owns the weight.
  virtual void unconsumed_weight(const std::string& owner_path) {}
  // A tracked operation without exactly one output, reported just before the
  // error propagates.
  virtual void unknown_case() {}
};

// For every `prim::GetAttr[name="weight"]` node of the graph's top block, the
// dotted attribute path from the graph's first parameter to the module that
// owns the weight ("features.0" for self.features.0.weight).
std::unordered_map<const torch::jit::Node*, std::string> weight_owner_paths(
    const torch::jit::Graph& graph);

// Walks an inlined traced graph from its outputs. Errors (a tracked operation
// without exactly one output, a malformed attribute chain) throw c10::Error.
GraphWalk walk_traced_graph(const torch::jit::Graph& graph,
                            GraphWalkListener* listener = nullptr);

}  // namespace orrery::engine
