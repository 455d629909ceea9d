#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <vector>

#include "orrery_engine/weight_average.h"

using orrery::engine::ema_update_;

namespace {

// The two in-place steps the fused pass must reproduce bit for bit.
void reference_update(at::Tensor v, const at::Tensor& t, double d) {
  v.mul_(d);
  v.add_(t.mul(1.0 - d));
}

bool bitwise_equal(const at::Tensor& a, const at::Tensor& b) {
  return a.sizes() == b.sizes() && a.scalar_type() == b.scalar_type() &&
         at::equal(a.contiguous().view(at::kByte), b.contiguous().view(at::kByte));
}

}  // namespace

class WeightAverageTest : public ::testing::TestWithParam<at::ScalarType> {};

TEST_P(WeightAverageTest, FusedPassMatchesTheTwoAtenStepsBitForBit) {
  const at::ScalarType dtype = GetParam();
  at::manual_seed(7);
  const auto opts = at::TensorOptions().dtype(dtype);
  // Sizes around the block and vector boundaries, an empty tensor, a strided one.
  std::vector<at::Tensor> averaged = {at::randn({70001}, opts), at::randn({3, 5}, opts),
                                      at::randn({0}, opts), at::randn({1}, opts),
                                      at::randn({8, 6}, opts).t()};
  std::vector<at::Tensor> trained;
  for (const auto& v : averaged) trained.push_back(at::randn(v.sizes(), opts) * 1e3);
  std::vector<at::Tensor> expected;
  for (size_t i = 0; i < averaged.size(); ++i) {
    expected.push_back(averaged[i].clone());
    reference_update(expected.back(), trained[i], 0.6321205588285577);
  }
  ema_update_(averaged, trained, 0.6321205588285577);
  for (size_t i = 0; i < averaged.size(); ++i) {
    EXPECT_TRUE(bitwise_equal(averaged[i], expected[i])) << "pair " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Dtypes, WeightAverageTest,
                         ::testing::Values(at::kFloat, at::kDouble, at::kHalf, at::kBFloat16),
                         [](const ::testing::TestParamInfo<at::ScalarType>& info) {
                           return std::string(c10::toString(info.param));
                         });

TEST(WeightAverage, ResultDoesNotDependOnTheThreadCount) {
  at::manual_seed(1);
  const at::Tensor start = at::randn({300000});
  const at::Tensor target = at::randn({300000});
  const int threads = at::get_num_threads();
  std::vector<at::Tensor> results;
  for (int n : {1, 2}) {
    at::set_num_threads(n);
    std::vector<at::Tensor> v = {start.clone()};
    ema_update_(v, {target}, 0.25);
    results.push_back(v[0]);
  }
  at::set_num_threads(threads);
  EXPECT_TRUE(bitwise_equal(results[0], results[1]));
}

TEST(WeightAverage, AliasedAndMixedPairsFollowTheAtenSteps) {
  // The same tensor as average and trained value: the second step sees the
  // result of the first, as two in-place operations would.
  at::Tensor shared = at::randn({100});
  at::Tensor expected = shared.clone();
  reference_update(expected, expected, 0.3);
  ema_update_({shared}, {shared}, 0.3);
  EXPECT_TRUE(bitwise_equal(shared, expected));

  // Tied weights: one tensor listed twice is updated twice, in order.
  at::Tensor tied = at::randn({64});
  const at::Tensor first = at::randn({64});
  const at::Tensor second = at::randn({64});
  at::Tensor tied_expected = tied.clone();
  reference_update(tied_expected, first, 0.7);
  reference_update(tied_expected, second, 0.7);
  ema_update_({tied, tied}, {first, second}, 0.7);
  EXPECT_TRUE(bitwise_equal(tied, tied_expected));

  // A double average of a float network.
  at::Tensor v = at::randn({50}, at::kDouble);
  const at::Tensor t = at::randn({50});
  at::Tensor mixed = v.clone();
  reference_update(mixed, t, 0.9);
  ema_update_({v}, {t}, 0.9);
  EXPECT_TRUE(bitwise_equal(v, mixed));
}

TEST(WeightAverage, RefusesBeforeChangingAnything) {
  at::Tensor first = at::zeros({4});
  at::Tensor second = at::zeros({2, 2});
  EXPECT_THROW(ema_update_({first, second}, {at::ones({4}), at::ones({4})}, 0.5), c10::Error);
  EXPECT_TRUE(at::equal(first, at::zeros({4})));
  EXPECT_THROW(ema_update_({at::zeros({2}, at::kLong)}, {at::ones({2}, at::kLong)}, 0.5),
               c10::Error);
  EXPECT_THROW(ema_update_({first}, {}, 0.5), c10::Error);
}
