#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/util/Exception.h>

#include "orrery_engine/structured.h"

namespace st = orrery::structured;

namespace {

st::ConvState conv(int64_t in, int64_t out, int64_t groups = 1, bool bias = true) {
  st::ConvState s;
  s.in_channels = in;
  s.out_channels = out;
  s.groups = groups;
  s.weight = at::arange(out * (in / groups) * 9, at::kFloat).reshape({out, in / groups, 3, 3});
  if (bias) s.bias = at::arange(out, at::kFloat);
  return s;
}

}  // namespace

TEST(Structured, PruneConvMergesRepeatsAndKeepsOtherRowsInOrder) {
  auto s = conv(8, 16);
  const at::Tensor old_weight = s.weight;
  EXPECT_EQ(st::prune_conv(s, {3, 3, 5}), 2 * 72 + 2);
  EXPECT_EQ(s.out_channels, 14);
  ASSERT_EQ(s.weight.sizes(), (at::IntArrayRef{14, 8, 3, 3}));
  const std::vector<int64_t> keep = {0, 1, 2, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  EXPECT_TRUE(at::equal(s.weight, old_weight.index_select(0, at::tensor(keep))));
  EXPECT_TRUE(at::equal(s.bias, at::tensor(keep).to(at::kFloat)));
  EXPECT_FALSE(s.weight.is_alias_of(old_weight));
}

TEST(Structured, TransposedConvolutionsSwapTheCutDimensions) {
  st::ConvState s;
  s.in_channels = 6;
  s.out_channels = 4;
  s.transposed = true;
  s.weight = at::zeros({6, 4, 2, 2});
  st::prune_conv(s, {0});
  EXPECT_EQ(s.weight.sizes(), (at::IntArrayRef{6, 3, 2, 2}));
  // Two of six input rows of 3 x 2 x 2.
  EXPECT_EQ(st::prune_related_conv(s, {1, 2}), 2 * 3 * 4);
  EXPECT_EQ(s.weight.sizes(), (at::IntArrayRef{4, 3, 2, 2}));
}

TEST(Structured, RefusalsLeaveTheStateExactlyAsItWas) {
  auto s = conv(4, 4);
  const at::Tensor weight = s.weight;
  EXPECT_THROW(st::prune_conv(s, {0, 1, 2, 3}), st::AllChannelsRemoved);
  EXPECT_THROW(st::prune_conv(s, {4}), c10::ValueError);
  EXPECT_THROW(st::prune_conv(s, {-1}), c10::ValueError);
  EXPECT_THROW(st::prune_related_conv(s, {0, 1, 2, 3}), st::AllChannelsRemoved);
  EXPECT_EQ(s.out_channels, 4);
  EXPECT_EQ(s.in_channels, 4);
  EXPECT_TRUE(s.weight.is_same(weight));

  st::LinearState l;
  l.in_features = 3;
  l.out_features = 2;
  l.weight = at::zeros({2, 3});
  EXPECT_THROW(st::prune_linear(l, {1, 1}), c10::ValueError);
  EXPECT_THROW(st::prune_related_linear(l, {0, 1, 2}), st::AllChannelsRemoved);
  EXPECT_EQ(l.in_features, 3);
  EXPECT_EQ(st::prune_related_linear(l, {2}), 2);
  EXPECT_EQ(l.weight.sizes(), (at::IntArrayRef{2, 2}));
}

TEST(Structured, GroupConvPrunesOnlyDepthwiseConvolutions) {
  auto dw = conv(32, 32, 32);
  EXPECT_EQ(st::prune_group_conv(dw, {1, 2, 3, 4, 4}), 4 * 9 + 4);
  EXPECT_EQ(dw.groups, 28);
  EXPECT_EQ(dw.in_channels, 28);
  EXPECT_EQ(dw.out_channels, 28);
  auto grouped = conv(8, 16, 2);
  EXPECT_THROW(st::prune_group_conv(grouped, {0}), st::NotDepthwise);
  auto plain = conv(4, 4, 1);
  EXPECT_THROW(st::prune_group_conv(plain, {0}), c10::ValueError);
  EXPECT_EQ(plain.groups, 1);
}

TEST(Structured, BatchNormAndPReLU) {
  st::BatchNormState bn;
  bn.num_features = 4;
  bn.affine = false;
  bn.running_mean = at::arange(4, at::kFloat);
  bn.running_var = at::ones({4});
  EXPECT_EQ(st::prune_batchnorm(bn, {0, 2}), 2);
  EXPECT_TRUE(at::equal(bn.running_mean, at::tensor({1.0f, 3.0f})));
  EXPECT_FALSE(bn.weight.defined());

  st::PReLUState shared;
  shared.weight = at::ones({1});
  EXPECT_EQ(st::prune_prelu(shared, {0, 5}), 0);
  EXPECT_EQ(shared.num_parameters, 1);
  st::PReLUState per_channel;
  per_channel.num_parameters = 32;
  per_channel.weight = at::ones({32});
  EXPECT_EQ(st::prune_prelu(per_channel, {0, 1, 2, 3}), 4);
  EXPECT_EQ(per_channel.weight.size(0), 28);
}

// A grouped convolution pruned on either side computes what the original
// computes with those channels zeroed; unequal groups are refused untouched.
TEST(Structured, GroupedConvolutionsLoseEqualCountsPerGroup) {
  auto s = conv(8, 12, 4);
  s.weight = at::randn({12, 2, 3, 3});
  const at::Tensor x = at::randn({1, 8, 5, 5});
  const at::Tensor w0 = s.weight, b0 = s.bias;
  // Inputs 1 (group 0), 2 (group 1), 5 (group 2), 6 (group 3): one of two each.
  EXPECT_EQ(st::prune_related_conv(s, {1, 2, 5, 6}), 12 * 9);
  EXPECT_EQ(s.in_channels, 4);
  const at::Tensor zeroed = x.clone();
  zeroed.index_fill_(1, at::tensor({1, 2, 5, 6}).to(at::kLong), 0.0);
  const std::vector<int64_t> one = {1, 1}, none = {0, 0};
  const at::Tensor expected = at::conv2d(zeroed, w0, b0, one, at::IntArrayRef(none), one, 4);
  const at::Tensor got = at::conv2d(x.index_select(1, at::tensor({0, 3, 4, 7}).to(at::kLong)), s.weight, s.bias, one,
                                      at::IntArrayRef(none), one, 4);
  EXPECT_TRUE(at::allclose(got, expected, 1e-5, 1e-5));
  // Outputs: one of the three of each group.
  EXPECT_EQ(st::prune_conv(s, {0, 4, 8, 9}), 4 * 9 + 4);
  EXPECT_EQ(s.out_channels, 8);
  EXPECT_EQ(s.weight.sizes(), (at::IntArrayRef{8, 1, 3, 3}));
  // Unequal groups, on either side.
  const at::Tensor w1 = s.weight;
  EXPECT_THROW(st::prune_conv(s, {0}), c10::ValueError);
  EXPECT_THROW(st::prune_related_conv(s, {0, 1}), c10::ValueError);
  EXPECT_EQ(s.out_channels, 8);
  EXPECT_EQ(s.in_channels, 4);
  EXPECT_TRUE(s.weight.is_same(w1));
}
