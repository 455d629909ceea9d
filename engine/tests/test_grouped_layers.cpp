// Depthwise convolutions with a channel multiplier and grouped transposed
// convolutions: their structured pruning against what the unpruned layer
// computes, and the plans through them.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/util/Exception.h>

#include <string>
#include <vector>

#include "dependency_ir.h"
#include "orrery_engine/dependency.h"
#include "orrery_engine/structured.h"

namespace dep = orrery::dependency;
namespace st = orrery::structured;
using dep::Action;
using dependency_ir::analyse;
using dependency_ir::conv_sizes;
using dependency_ir::module_call;
using dependency_ir::module_index;

namespace {

st::ConvState random_conv(int64_t in, int64_t out, int64_t groups, bool transposed) {
  st::ConvState s;
  s.in_channels = in;
  s.out_channels = out;
  s.groups = groups;
  s.transposed = transposed;
  s.weight = transposed ? at::randn({in, out / groups, 3, 3}) : at::randn({out, in / groups, 3, 3});
  s.bias = at::randn({out});
  return s;
}

at::Tensor run(const st::ConvState& s, const at::Tensor& x) {
  const std::vector<int64_t> one = {1, 1}, none = {0, 0};
  if (s.transposed) return at::conv_transpose2d(x, s.weight, s.bias, one, none, none, s.groups, one);
  return at::conv2d(x, s.weight, s.bias, one, none, one, s.groups);
}

at::Tensor index(const std::vector<int64_t>& idxs) { return at::tensor(idxs).to(at::kLong); }

// The pruned layer on the kept inputs gives the original's kept outputs, the
// removed inputs zeroed.
void expect_same_outputs(const st::ConvState& before, const st::ConvState& after, const std::vector<int64_t>& removed_in,
                         const std::vector<int64_t>& kept_in, const std::vector<int64_t>& kept_out) {
  const at::Tensor x = at::randn({2, before.in_channels, 5, 5});
  at::Tensor zeroed = x.clone();
  if (!removed_in.empty()) zeroed.index_fill_(1, index(removed_in), 0.0);
  const at::Tensor expected = run(before, zeroed).index_select(1, index(kept_out));
  const at::Tensor got = run(after, x.index_select(1, index(kept_in)));
  EXPECT_TRUE(at::allclose(got, expected, 1e-4, 1e-4));
}

}  // namespace

TEST(GroupedLayers, DepthwiseMultiplierLosesWholeGroups) {
  for (bool transposed : {false, true}) {
    SCOPED_TRACE(transposed ? "transposed" : "plain");
    const auto before = random_conv(4, 8, 4, transposed);  // two outputs per group
    auto after = before;
    EXPECT_EQ(st::prune_group_conv(after, {1, 3, 3}), 2 * 2 * 9 + 4);
    EXPECT_EQ(after.groups, 2);
    EXPECT_EQ(after.in_channels, 2);
    EXPECT_EQ(after.out_channels, 4);
    expect_same_outputs(before, after, {1, 3}, {0, 2}, {0, 1, 4, 5});
    // Every group, or a group that does not exist, is refused untouched.
    EXPECT_THROW(st::prune_group_conv(after, {0, 1}), st::AllChannelsRemoved);
    EXPECT_THROW(st::prune_group_conv(after, {2}), c10::ValueError);
    EXPECT_EQ(after.out_channels, 4);
  }
  // One output of every group may go alone; a group's one input may not.
  const auto before = random_conv(3, 6, 3, false);
  auto after = before;
  st::prune_conv(after, {0, 3, 5});
  expect_same_outputs(before, after, {}, {0, 1, 2}, {1, 2, 4});
  EXPECT_THROW(st::prune_related_conv(after, {0}), c10::ValueError);
  auto grouped = random_conv(8, 16, 2, false);
  EXPECT_THROW(st::prune_group_conv(grouped, {0}), st::NotDepthwise);
}

TEST(GroupedLayers, GroupedTransposedConvolutionsLoseEqualCountsPerGroup) {
  const auto before = random_conv(4, 6, 2, true);  // weight 4 x 3: two groups of 2 inputs, 3 outputs
  auto outputs = before;
  // Output 0 of group 0 and output 4 (position 1) of group 1.
  EXPECT_EQ(st::prune_conv(outputs, {0, 4}), 2 * 2 * 9 + 2);
  EXPECT_EQ(outputs.weight.sizes(), (at::IntArrayRef{4, 2, 3, 3}));
  expect_same_outputs(before, outputs, {}, {0, 1, 2, 3}, {1, 2, 3, 5});
  auto inputs = before;
  EXPECT_EQ(st::prune_related_conv(inputs, {1, 2}), 2 * 3 * 9);
  expect_same_outputs(before, inputs, {1, 2}, {0, 3}, {0, 1, 2, 3, 4, 5});
  // Unequal groups, and a weight its sizes do not describe, are refused untouched.
  auto uneven = before;
  EXPECT_THROW(st::prune_conv(uneven, {0}), c10::ValueError);
  EXPECT_THROW(st::prune_related_conv(uneven, {0, 1}), c10::ValueError);
  uneven.out_channels = 9;
  EXPECT_THROW(st::prune_conv(uneven, {0, 4}), c10::ValueError);
  EXPECT_TRUE(uneven.weight.is_same(before.weight));
}

// a (3 -> 4) feeds a depthwise convolution with two outputs per group, which
// feeds c.
TEST(GroupedLayers, PlansThroughDepthwiseMultiplierTakeWholeGroups) {
  auto g = analyse(module_call("a", "x", "a", "Float(1, 4, 4, 4)") +
                       module_call("dw", "a", "dw", "Float(1, 8, 4, 4)") +
                       module_call("c", "dw", "c", "Float(1, 2, 4, 4)") + "  return (%c)\n",
                   "Float(1, 3, 4, 4)");
  const int64_t a = module_index(*g, "a"), dw = module_index(*g, "dw"), c = module_index(*g, "c");
  const std::vector<dep::ModuleSizes> sizes = {conv_sizes(3, 4), conv_sizes(4, 8, 4), conv_sizes(8, 2)};
  auto from_a = g->plan(a, dep::Side::Output, {1}, sizes);
  ASSERT_EQ(from_a.size(), 3u);
  EXPECT_EQ(from_a[1].action, Action::PruneGroupConv);
  EXPECT_EQ(from_a[1].idxs, (std::vector<int64_t>{1}));
  EXPECT_EQ(from_a[2].action, Action::PruneRelatedConv);
  EXPECT_EQ(from_a[2].idxs, (std::vector<int64_t>{2, 3}));
  // One output of a group takes the group: c loses both outputs of group 2.
  auto from_c = g->plan(c, dep::Side::Input, {5}, sizes);
  ASSERT_EQ(from_c.size(), 3u);
  EXPECT_EQ(from_c[0].idxs, (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(from_c[1].action, Action::PruneGroupConv);
  EXPECT_EQ(from_c[1].idxs, (std::vector<int64_t>{2}));
  EXPECT_EQ(from_c[2].idxs, (std::vector<int64_t>{2}));
  // One output of every group: the groups stay, each with one output less.
  auto balanced = g->plan(c, dep::Side::Input, {0, 3, 4, 7}, sizes);
  ASSERT_EQ(balanced.size(), 2u);
  EXPECT_EQ(balanced[1].action, Action::PruneConv);
  EXPECT_EQ(balanced[1].idxs, (std::vector<int64_t>{0, 3, 4, 7}));
  // From the depthwise convolution its indices are groups; later sizes hold.
  const std::vector<dep::ModuleSizes> later = {conv_sizes(3, 3), conv_sizes(3, 6, 3), conv_sizes(6, 2)};
  auto from_dw = g->plan(dw, dep::Side::Both, {2}, later);
  ASSERT_EQ(from_dw.size(), 3u);
  EXPECT_EQ(from_dw[0].idxs, (std::vector<int64_t>{2}));
  EXPECT_EQ(from_dw[2].idxs, (std::vector<int64_t>{4, 5}));
  EXPECT_THROW(g->plan(dw, dep::Side::Both, {3}, later), c10::ValueError);
  auto emptied = g->plan(dw, dep::Side::Both, {0, 1, 2}, later);
  EXPECT_EQ(emptied.front().action, Action::Refuse);
  EXPECT_NE(emptied.front().reason.find("every channel of 'dw'"), std::string::npos);
}
