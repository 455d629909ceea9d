#include <gtest/gtest.h>

#include <c10/util/Exception.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dependency_ir.h"
#include "orrery_engine/dependency.h"

namespace dep = orrery::dependency;
using dep::Action;

namespace {

using dependency_ir::analyse;
using dependency_ir::conv_sizes;
using dependency_ir::module_call;
using dependency_ir::module_index;

struct Found {
  Action action;
  std::string path;
  std::vector<int64_t> idxs;
  bool operator==(const Found& o) const { return action == o.action && path == o.path && idxs == o.idxs; }
};

std::vector<Found> describe(const dep::ChannelGraph& g, const std::vector<dep::Step>& steps) {
  std::vector<Found> out;
  for (const auto& s : steps)
    out.push_back({s.action, s.module >= 0 ? g.modules()[s.module].path : "", s.idxs});
  return out;
}

}  // namespace

TEST(Dependency, ResidualAdditionCouplesBothProducers) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 8, 4, 4)") +
                       module_call("b", "x", "b", "Float(1, 8, 4, 4)") +
                       "  %one : int = prim::Constant[value=1]()\n"
                       "  %s : Float(1, 8, 4, 4) = aten::add(%a, %b, %one)\n"
                       "  %r : Float(1, 8, 4, 4) = aten::relu(%s)\n" +
                       module_call("c", "r", "c", "Float(1, 2, 4, 4)") + "  return (%c)\n",
                   "Float(1, 3, 4, 4)");
  std::vector<dep::ModuleSizes> sizes = {conv_sizes(3, 8), conv_sizes(3, 8), conv_sizes(8, 2)};
  auto steps = g->plan(module_index(*g, "a"), dep::Role::Output, {3, 1, 3}, sizes);
  const std::vector<Found> expected = {{Action::PruneConv, "a", {1, 3}},
                                       {Action::PruneConv, "b", {1, 3}},
                                       {Action::PruneRelatedConv, "c", {1, 3}}};
  EXPECT_EQ(describe(*g, steps), expected);
}

TEST(Dependency, ConcatenationOffsetsFollowTheCurrentSizes) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 8, 4, 4)") +
                       module_call("b", "x", "b", "Float(1, 4, 4, 4)") +
                       "  %d : int = prim::Constant[value=1]()\n"
                       "  %l : Tensor[] = prim::ListConstruct(%a, %b)\n"
                       "  %cat : Float(1, 12, 4, 4) = aten::cat(%l, %d)\n" +
                       module_call("c", "cat", "c", "Float(1, 2, 4, 4)") + "  return (%c)\n",
                   "Float(1, 3, 4, 4)");
  const int64_t b = module_index(*g, "b");
  auto at_trace = g->plan(b, dep::Role::Output, {0}, {conv_sizes(3, 8), conv_sizes(3, 4), conv_sizes(12, 2)});
  EXPECT_EQ(at_trace.back().idxs, std::vector<int64_t>{8});
  // `a` has since lost two channels: `b` starts two channels earlier.
  auto later = g->plan(b, dep::Role::Output, {0, 3}, {conv_sizes(3, 6), conv_sizes(3, 4), conv_sizes(10, 2)});
  EXPECT_EQ(later.back().action, Action::PruneRelatedConv);
  EXPECT_EQ(later.back().idxs, (std::vector<int64_t>{6, 9}));
  // Input channels of the consumer map back onto the producers.
  auto back = g->plan(module_index(*g, "c"), dep::Role::Input, {7, 8}, {conv_sizes(3, 8), conv_sizes(3, 4), conv_sizes(12, 2)});
  const std::vector<Found> expected = {{Action::PruneRelatedConv, "c", {7, 8}},
                                       {Action::PruneConv, "a", {7}},
                                       {Action::PruneConv, "b", {0}}};
  EXPECT_EQ(describe(*g, back), expected);
}

TEST(Dependency, FlattenIntoLinearRemovesWholeFeatureBlocks) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 4, 2, 2)") +
                       "  %s : int = prim::Constant[value=1]()\n"
                       "  %e : int = prim::Constant[value=-1]()\n"
                       "  %f : Float(1, 16) = aten::flatten(%a, %s, %e)\n" +
                       module_call("fc", "f", "fc", "Float(1, 5)", "aten::linear") + "  return (%fc)\n",
                   "Float(1, 3, 2, 2)");
  ASSERT_EQ(g->view_ops().size(), 1u);
  EXPECT_EQ(g->view_ops()[0].kind, "aten::flatten");
  auto steps = g->plan(module_index(*g, "a"), dep::Role::Output, {1}, {conv_sizes(3, 4), {16, 5, 1}});
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[1].action, Action::View);
  EXPECT_EQ(steps[2].action, Action::PruneRelatedLinear);
  EXPECT_EQ(steps[2].idxs, (std::vector<int64_t>{4, 5, 6, 7}));
}

TEST(Dependency, DepthwiseIsFollowedGroupedIsRefused) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 8, 4, 4)") +
                       module_call("dw", "a", "dw", "Float(1, 8, 4, 4)") +
                       module_call("c", "dw", "c", "Float(1, 2, 4, 4)") + "  return (%c)\n",
                   "Float(1, 3, 4, 4)");
  const int64_t a = module_index(*g, "a");
  auto depthwise = g->plan(a, dep::Role::Output, {2}, {conv_sizes(3, 8), conv_sizes(8, 8, 8), conv_sizes(8, 2)});
  const std::vector<Found> expected = {{Action::PruneConv, "a", {2}},
                                       {Action::PruneGroupConv, "dw", {2}},
                                       {Action::PruneRelatedConv, "c", {2}}};
  EXPECT_EQ(describe(*g, depthwise), expected);
  auto grouped = g->plan(a, dep::Role::Output, {2}, {conv_sizes(3, 8), conv_sizes(8, 8, 2), conv_sizes(8, 2)});
  ASSERT_FALSE(grouped.empty());
  EXPECT_EQ(grouped.front().action, Action::Refuse);  // refusals lead the plan
  EXPECT_NE(grouped.front().reason.find("groups=2"), std::string::npos);
  // One channel of each group: the grouped convolution loses those inputs only.
  auto balanced = g->plan(a, dep::Role::Output, {2, 5}, {conv_sizes(3, 8), conv_sizes(8, 8, 2), conv_sizes(8, 2)});
  const std::vector<Found> inputs_only = {{Action::PruneConv, "a", {2, 5}},
                                          {Action::PruneRelatedConv, "dw", {2, 5}}};
  EXPECT_EQ(describe(*g, balanced), inputs_only);
}

TEST(Dependency, UnknownOperationsAndModelInputsRefuse) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 8, 4, 4)") +
                       "  %p : Float(4, 8, 4, 1) = aten::cumsum(%a)\n"
                       "  return (%p)\n",
                   "Float(1, 3, 4, 4)");
  const int64_t a = module_index(*g, "a");
  auto steps = g->plan(a, dep::Role::Output, {0}, {conv_sizes(3, 8)});
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.front().action, Action::Refuse);
  EXPECT_NE(steps.front().reason.find("aten::cumsum"), std::string::npos);
  auto inputs = g->plan(a, dep::Role::Input, {0}, {conv_sizes(3, 8)});
  EXPECT_EQ(inputs.front().action, Action::Refuse);
  EXPECT_NE(inputs.front().reason.find("model input"), std::string::npos);
  EXPECT_THROW(g->plan(a, dep::Role::Output, {8}, {conv_sizes(3, 8)}), c10::ValueError);
}

TEST(Dependency, ModelOutputsKeepTheirChannels) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 8, 4, 4)") +
                       "  %t : (Tensor, Tensor) = prim::TupleConstruct(%a, %x)\n"
                       "  return (%t)\n",
                   "Float(1, 3, 4, 4)");
  auto steps = g->plan(module_index(*g, "a"), dep::Role::Output, {0}, {conv_sizes(3, 8)});
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.front().action, Action::Refuse);
  EXPECT_NE(steps.front().reason.find("model's output"), std::string::npos);
}

TEST(Dependency, ChunkPiecesFollowTheCurrentSizes) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 8, 4, 4)") +
                       "  %n : int = prim::Constant[value=2]()\n"
                       "  %d : int = prim::Constant[value=1]()\n"
                       "  %l : Tensor[] = aten::chunk(%a, %n, %d)\n"
                       "  %p : Float(1, 4, 4, 4), %q : Float(1, 4, 4, 4) = prim::ListUnpack(%l)\n" +
                       module_call("b", "q", "b", "Float(1, 2, 4, 4)") + "  return (%b)\n",
                   "Float(1, 3, 4, 4)");
  const int64_t a = module_index(*g, "a");
  auto at_trace = g->plan(a, dep::Role::Output, {1, 5}, {conv_sizes(3, 8), conv_sizes(4, 2)});
  const std::vector<Found> expected = {{Action::PruneConv, "a", {1, 5}}, {Action::PruneRelatedConv, "b", {1}}};
  EXPECT_EQ(describe(*g, at_trace), expected);
  // With six channels left each piece holds three; the unused piece loses
  // the same position, so that the cut stays in the middle.
  auto later = g->plan(a, dep::Role::Output, {4}, {conv_sizes(3, 6), conv_sizes(3, 2)});
  const std::vector<Found> shifted = {{Action::PruneConv, "a", {1, 4}}, {Action::PruneRelatedConv, "b", {1}}};
  EXPECT_EQ(describe(*g, later), shifted);
  // Seven channels do not cut into two equal pieces.
  auto odd = g->plan(a, dep::Role::Output, {4}, {conv_sizes(3, 7), conv_sizes(3, 2)});
  ASSERT_FALSE(odd.empty());
  EXPECT_EQ(odd.front().action, Action::Refuse);
}

TEST(Dependency, DumpShowsModulesOperationsAndRefusals) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 4, 2, 2)") +
                       "  %s : int = prim::Constant[value=1]()\n"
                       "  %e : int = prim::Constant[value=-1]()\n"
                       "  %f : Float(1, 16) = aten::flatten(%a, %s, %e)\n"
                       "  %p : Float(16, 1) = aten::cumsum(%f)\n"
                       "  return (%p)\n",
                   "Float(1, 3, 2, 2)");
  std::ostringstream text;
  text << *g;
  const std::string dump = text.str();
  for (const char* part : {"module #0 conv 'a'", "flatten aten::flatten block=4", "[1, 16] channels@1",
                           "operation aten::cumsum is not understood", "the model input 'x'",
                           "the model's output"}) {
    EXPECT_NE(dump.find(part), std::string::npos) << part << " missing from\n" << dump;
  }
}

namespace {

// `out = orrery::lsq_quantize(in, step, -8, 7, 1)`, the step a tensor value.
std::string lsq_quantize_ir(const std::string& out, const std::string& in, const std::string& step,
                            const std::string& type) {
  const std::string o = "%" + out;
  return "  " + o + "_lo : float = prim::Constant[value=-8.]()\n  " + o +
         "_hi : float = prim::Constant[value=7.]()\n  " + o + "_f : float = prim::Constant[value=1.]()\n  " +
         o + " : " + type + " = orrery::lsq_quantize(%" + in + ", %" + step + ", " + o + "_lo, " + o + "_hi, " +
         o + "_f)\n";
}

// A convolution 'c' whose weight is quantized with the step `step_path` (read
// from the model), then 'd' behind an activation quantizer with a single step.
std::string quantized_convs(const std::string& step_owner, const std::string& step_shape) {
  std::string conv = module_call("c", "x", "c", "Float(1, 8, 4, 4)");
  // c's weight goes through the weight quantizer before the convolution reads it.
  const std::string read = "%c_w : Tensor = prim::GetAttr[name=\"weight\"](%c_m)\n";
  conv.replace(conv.find(read), read.size(),
               read + "  %c_q : int = prim::GetAttr[name=\"" + step_owner + "\"](%" +
                   (step_owner == "quan_w_fn" ? "c_m" : "self") + ")\n  %c_s : " + step_shape +
                   " = prim::GetAttr[name=\"s\"](%c_q)\n" + lsq_quantize_ir("c_wq", "c_w", "c_s", "Tensor"));
  conv.replace(conv.find("(%x, %c_w,"), 10, "(%x, %c_wq,");
  return conv + "  %a_m : int = prim::GetAttr[name=\"act\"](%self)\n"
                "  %a_s : Float(1) = prim::GetAttr[name=\"s\"](%a_m)\n" +
         lsq_quantize_ir("q", "c", "a_s", "Float(1, 8, 4, 4)") +
         module_call("d", "q", "d", "Float(1, 2, 4, 4)") + "  return (%d)\n";
}

}  // namespace

TEST(Dependency, WeightQuantizerBelongsToItsLayerActivationQuantizerPassesChannels) {
  auto g = analyse(quantized_convs("quan_w_fn", "Float(8, 1, 1, 1)"), "Float(1, 3, 4, 4)");
  std::vector<dep::ModuleSizes> sizes = {conv_sizes(3, 8), conv_sizes(8, 2)};
  auto steps = g->plan(module_index(*g, "c"), dep::Role::Output, {0, 5}, sizes);
  const std::vector<Found> expected = {{Action::PruneConv, "c", {0, 5}},
                                       {Action::PruneRelatedConv, "d", {0, 5}}};
  EXPECT_EQ(describe(*g, steps), expected);
}

TEST(Dependency, PerChannelWeightStepOfAnotherModuleRefuses) {
  auto g = analyse(quantized_convs("other", "Float(8, 1, 1, 1)"), "Float(1, 3, 4, 4)");
  std::ostringstream dump;
  dump << *g;
  EXPECT_NE(dump.str().find("quantizes the weights of 'c' with one step per channel"), std::string::npos)
      << dump.str();
  // A single step of another module stays right whatever the layer loses.
  auto single = analyse(quantized_convs("other", "Float(1)"), "Float(1, 3, 4, 4)");
  EXPECT_GE(module_index(*single, "c"), 0);
}
