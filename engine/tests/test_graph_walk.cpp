#include <gtest/gtest.h>

#include <c10/util/Exception.h>
#include <torch/csrc/jit/ir/irparser.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "orrery_engine/graph_walk.h"

using orrery::engine::GraphWalk;
using orrery::engine::GraphWalkListener;
using orrery::engine::walk_traced_graph;
using orrery::engine::weight_owner_paths;

namespace {

std::shared_ptr<torch::jit::Graph> parse(const std::string& ir) {
  auto graph = std::make_shared<torch::jit::Graph>();
  torch::jit::parseIR(ir, graph.get());
  return graph;
}

struct RecordingListener : GraphWalkListener {
  std::vector<std::string> unconsumed;
  int unknown = 0;
  void unconsumed_weight(const std::string& path) override { unconsumed.push_back(path); }
  void unknown_case() override { ++unknown; }
};

// Edges as (consumer, producer) index pairs, in recorded order.
std::vector<std::pair<size_t, size_t>> edges(const GraphWalk& walk) {
  std::vector<std::pair<size_t, size_t>> out;
  for (const auto& e : walk.edges) out.emplace_back(e.consumer, e.producer);
  return out;
}

using Edges = std::vector<std::pair<size_t, size_t>>;

// IR of `out = op(in, self.<name>.weight)`.
std::string conv(const std::string& out, const std::string& in, const std::string& name,
                 const std::string& op = "aten::_convolution") {
  return "  %" + out + "_m : Tensor = prim::GetAttr[name=\"" + name + "\"](%self)\n" +
         "  %" + out + "_w : Tensor = prim::GetAttr[name=\"weight\"](%" + out + "_m)\n" +
         "  %" + out + " : Tensor = " + op + "(%" + in + ", %" + out + "_w)\n";
}

}  // namespace

TEST(GraphWalk, SingleConvolutionIsOneBoundNode) {
  auto graph = parse("graph(%self : Tensor, %x : Tensor):\n" + conv("y", "x", "conv") +
                     "  return (%y)\n");
  const GraphWalk walk = walk_traced_graph(*graph);
  ASSERT_EQ(walk.nodes.size(), 1u);
  EXPECT_TRUE(walk.nodes[0].consuming);
  EXPECT_TRUE(walk.nodes[0].bound);
  EXPECT_EQ(walk.nodes[0].owner_path, "conv");
  EXPECT_EQ(walk.nodes[0].uid, graph->outputs()[0]->unique());
  EXPECT_TRUE(walk.edges.empty());
  EXPECT_FALSE(walk.isolated_functional[0]);
}

TEST(GraphWalk, WeightPathsFollowTheAttributeChain) {
  auto graph = parse(R"IR(graph(%self : Tensor, %x : Tensor):
  %f : Tensor = prim::GetAttr[name="features"](%self)
  %m : Tensor = prim::GetAttr[name="0"](%f)
  %w : Tensor = prim::GetAttr[name="weight"](%m)
  %b : Tensor = prim::GetAttr[name="bias"](%m)
  %rw : Tensor = prim::GetAttr[name="weight"](%self)
  %y : Tensor = aten::_convolution(%x, %w, %b)
  %z : Tensor = aten::linear(%y, %rw)
  return (%z)
)IR");
  std::vector<std::string> paths;
  for (const auto& entry : weight_owner_paths(*graph)) paths.push_back(entry.second);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"", "features.0"}));

  const GraphWalk walk = walk_traced_graph(*graph);
  ASSERT_EQ(walk.nodes.size(), 2u);
  // The linear layer owns the model's own weight: bound, with an empty path.
  EXPECT_TRUE(walk.nodes[0].bound);
  EXPECT_EQ(walk.nodes[0].owner_path, "");
  EXPECT_EQ(walk.nodes[1].owner_path, "features.0");
  EXPECT_EQ(edges(walk), (Edges{{0, 1}}));
}

TEST(GraphWalk, TransparentOperationsAreSkippedAndBranchesShareProducers) {
  // out = conv2(relu(conv1(x))) + conv3(relu(conv1(x))), with x read again.
  auto graph = parse("graph(%self : Tensor, %x : Tensor):\n" + conv("a", "x", "conv1") +
                     "  %r : Tensor = aten::relu(%a)\n" + conv("b", "r", "conv2") +
                     conv("c", "r", "conv3", "aten::addmm") +
                     "  %one : int = prim::Constant[value=1]()\n"
                     "  %s : Tensor = aten::add(%b, %c, %one)\n"
                     "  %t : Tensor = aten::add_(%s, %x, %one)\n"
                     "  return (%t)\n");
  const GraphWalk walk = walk_traced_graph(*graph);
  ASSERT_EQ(walk.nodes.size(), 5u);
  // Depth first from the output, inputs in operator order.
  EXPECT_EQ(walk.nodes[0].op_name, "Add");
  EXPECT_EQ(walk.nodes[1].op_name, "Add");
  EXPECT_EQ(walk.nodes[2].owner_path, "conv2");
  EXPECT_EQ(walk.nodes[3].owner_path, "conv1");
  EXPECT_EQ(walk.nodes[4].owner_path, "conv3");
  EXPECT_FALSE(walk.nodes[0].consuming);
  EXPECT_EQ(edges(walk), (Edges{{0, 1}, {1, 2}, {2, 3}, {1, 4}, {4, 3}}));
}

TEST(GraphWalk, AdditionOfInputsIsIsolatedAndDuplicateEdgesAreRecordedOnce) {
  auto isolated = parse(R"IR(graph(%self : Tensor, %x : Tensor, %y : Tensor):
  %one : int = prim::Constant[value=1]()
  %s : Tensor = aten::add(%x, %y, %one)
  return (%s)
)IR");
  const GraphWalk alone = walk_traced_graph(*isolated);
  ASSERT_EQ(alone.nodes.size(), 1u);
  EXPECT_TRUE(alone.isolated_functional[0]);

  auto doubled = parse("graph(%self : Tensor, %x : Tensor):\n" + conv("a", "x", "conv") +
                       "  %one : int = prim::Constant[value=1]()\n"
                       "  %s : Tensor = aten::add(%a, %a, %one)\n"
                       "  return (%s)\n");
  const GraphWalk walk = walk_traced_graph(*doubled);
  EXPECT_EQ(edges(walk), (Edges{{0, 1}}));
  EXPECT_FALSE(walk.isolated_functional[0]);
}

TEST(GraphWalk, WeightOutsideConsumingOperationIsReportedAndLaterAccessWins) {
  auto graph = parse(R"IR(graph(%self : Tensor, %x : Tensor):
  %p : Tensor = prim::GetAttr[name="prelu"](%self)
  %pw : Tensor = prim::GetAttr[name="weight"](%p)
  %h : Tensor = aten::prelu(%x, %pw)
  %c : Tensor = prim::GetAttr[name="conv"](%self)
  %cw : Tensor = prim::GetAttr[name="weight"](%c)
  %y : Tensor = aten::_convolution(%h, %cw)
  %q : Tensor = aten::prelu(%y, %pw)
  %out : (Tensor, Tensor) = prim::TupleConstruct(%q, %y)
  return (%out)
)IR");
  RecordingListener listener;
  const GraphWalk walk = walk_traced_graph(*graph, &listener);
  ASSERT_EQ(walk.nodes.size(), 1u);
  // The prelu weight read inside the convolution's inputs binds it first,
  // the convolution's own weight (later in operator order) binds it again.
  EXPECT_EQ(walk.nodes[0].owner_path, "conv");
  // The output prelu reads its weight with no consuming node on the stack.
  EXPECT_EQ(listener.unconsumed, (std::vector<std::string>{"prelu"}));
}

TEST(GraphWalk, TrackedOperationWithTwoOutputsFails) {
  auto graph = parse(R"IR(graph(%self : Tensor, %x : Tensor):
  %a : Tensor, %b : Tensor = aten::batch_norm(%x)
  return (%a)
)IR");
  RecordingListener listener;
  EXPECT_THROW(walk_traced_graph(*graph, &listener), c10::Error);
  EXPECT_EQ(listener.unknown, 1);
}

TEST(GraphWalk, LongChainDoesNotRecurse) {
  constexpr int kDepth = 10000;
  std::ostringstream ir;
  ir << "graph(%self : Tensor, %x0 : Tensor):\n";
  for (int i = 0; i < kDepth; ++i) {
    ir << "  %r" << i << " : Tensor = aten::relu(%x" << i << ")\n";
    ir << conv("x" + std::to_string(i + 1), "r" + std::to_string(i), std::to_string(i));
  }
  ir << "  return (%x" << kDepth << ")\n";
  auto graph = parse(ir.str());
  const GraphWalk walk = walk_traced_graph(*graph);
  ASSERT_EQ(walk.nodes.size(), static_cast<size_t>(kDepth));
  ASSERT_EQ(walk.edges.size(), static_cast<size_t>(kDepth - 1));
  EXPECT_EQ(walk.nodes.front().owner_path, std::to_string(kDepth - 1));
  EXPECT_EQ(walk.nodes.back().owner_path, "0");
  for (size_t i = 0; i + 1 < walk.edges.size(); ++i) {
    EXPECT_EQ(walk.edges[i].consumer, i);
    EXPECT_EQ(walk.edges[i].producer, i + 1);
  }
}

TEST(GraphWalk, SizeReadsDoNotMultiplyPaths) {
  // Each reshape reads its input's size, doubling the paths to everything
  // upstream: 2^80 paths, one edge.
  constexpr int kReshapes = 80;
  std::ostringstream ir;
  ir << "graph(%self : Tensor, %x : Tensor):\n" << conv("h0", "x", "first");
  ir << "  %zero : int = prim::Constant[value=0]()\n";
  for (int i = 0; i < kReshapes; ++i) {
    ir << "  %s" << i << " : int = aten::size(%h" << i << ", %zero)\n";
    ir << "  %l" << i << " : int[] = prim::ListConstruct(%s" << i << ")\n";
    ir << "  %h" << i + 1 << " : Tensor = aten::view(%h" << i << ", %l" << i << ")\n";
  }
  ir << conv("y", "h" + std::to_string(kReshapes), "last");
  ir << "  return (%y)\n";
  auto graph = parse(ir.str());
  const GraphWalk walk = walk_traced_graph(*graph);
  ASSERT_EQ(walk.nodes.size(), 2u);
  EXPECT_EQ(walk.nodes[0].owner_path, "last");
  EXPECT_EQ(walk.nodes[1].owner_path, "first");
  EXPECT_EQ(edges(walk), (Edges{{0, 1}}));
}

TEST(GraphWalk, OutputsAreWalkedInOrder) {
  auto graph = parse("graph(%self : Tensor, %x : Tensor):\n" + conv("a", "x", "left") +
                     conv("b", "x", "right", "aten::matmul") + "  return (%b, %a)\n");
  const GraphWalk walk = walk_traced_graph(*graph);
  ASSERT_EQ(walk.nodes.size(), 2u);
  EXPECT_EQ(walk.nodes[0].owner_path, "right");
  EXPECT_EQ(walk.nodes[1].owner_path, "left");
}
