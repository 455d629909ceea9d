#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <torch/autograd.h>

#include <cmath>
#include <limits>

#include "orrery_engine/lsq.h"

namespace {

using orrery::engine::lsq_quantize;
using orrery::engine::lsq_quantize_backward;
using orrery::engine::detail::lsq_quantize_backward_composite;
using orrery::engine::detail::lsq_quantize_composite;

// Same bits, NaN included (a NaN compares unequal to itself).
bool bitwise_equal(const at::Tensor& a, const at::Tensor& b) {
  if (a.sizes() != b.sizes() || a.scalar_type() != b.scalar_type()) return false;
  const auto int_type = a.element_size() == 4 ? at::kInt : at::kLong;
  return at::equal(a.contiguous().view(int_type), b.contiguous().view(int_type));
}

// Random values plus the awkward ones: exact bounds, halves, signed zeros,
// infinities and NaN (in step units, so they land where intended).
at::Tensor awkward_input(at::IntArrayRef shape, const at::Tensor& s, double lo, double hi,
                         at::ScalarType dtype) {
  at::Tensor x = at::randn(shape, at::TensorOptions().dtype(dtype)) * (hi - lo) * 0.4;
  at::Tensor flat = x.view({-1});
  const double special[] = {lo, hi, lo - 1, hi + 1, 0.5, 1.5, 2.5, -0.5, -2.5, -0.0, 0.0,
                            0.49999997, std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()};
  for (size_t i = 0; i < sizeof(special) / sizeof(special[0]) && i < size_t(flat.numel()); ++i) {
    flat[i * 7 % flat.numel()] = special[i];
  }
  return x * s.to(dtype);
}

struct Case {
  const char* name;
  std::vector<int64_t> x_shape;
  std::vector<int64_t> s_shape;
  double lo, hi;
};

// How gtest shows a case in test listings (otherwise a byte dump).
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class LsqKernelTest : public ::testing::TestWithParam<std::tuple<Case, at::ScalarType>> {};

TEST_P(LsqKernelTest, ForwardIsBitIdenticalAndGradientsMatchTheComposition) {
  const auto& [c, dtype] = GetParam();
  at::manual_seed(3);
  const at::Tensor s = (at::rand(c.s_shape, at::TensorOptions().dtype(dtype)) * 0.1 + 0.01);
  const at::Tensor x = awkward_input(c.x_shape, s, c.lo, c.hi, dtype);
  const double factor = 1.0 / std::sqrt(c.hi * x.numel());

  EXPECT_TRUE(bitwise_equal(lsq_quantize(x, s, c.lo, c.hi, factor),
                            lsq_quantize_composite(x, s, c.lo, c.hi, factor)));

  // Gradients on finite inputs (NaN would poison the step-size sums).
  const at::Tensor finite = at::nan_to_num(x, 0.0, 1e3, -1e3);
  const at::Tensor grad = at::randn_like(finite);
  auto [gx, gs] = lsq_quantize_backward(grad, finite, s, c.lo, c.hi, factor, {true, true});
  auto [rx, rs] =
      lsq_quantize_backward_composite(grad, finite, s, c.lo, c.hi, factor, {true, true});
  EXPECT_TRUE(at::allclose(gx, rx, 1e-5, 0));
  EXPECT_TRUE(at::allclose(gs, rs, 1e-4, 1e-12)) << gs << rs;
  EXPECT_EQ(gs.sizes(), s.sizes());

  // Only what is asked for is computed.
  auto [only_x, no_s] = lsq_quantize_backward(grad, finite, s, c.lo, c.hi, factor, {true, false});
  EXPECT_TRUE(at::equal(only_x, gx));
  EXPECT_FALSE(no_s.defined());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LsqKernelTest,
    ::testing::Combine(
        ::testing::Values(Case{"PerTensorUnsigned", {4, 3, 17, 5}, {1}, 0, 255},
                          Case{"ZeroDimStep", {4, 3, 17, 5}, {}, -128, 127},
                          Case{"PerChannel", {16, 8, 3, 3}, {16, 1, 1, 1}, -7, 7},
                          Case{"SeveralBlocks", {40000}, {1}, -127, 127},
                          // too wide for the rounding trick
                          Case{"WideRange", {3, 5}, {1}, -(1 << 23), 1 << 23}),
        ::testing::Values(at::kFloat, at::kDouble)),
    [](const ::testing::TestParamInfo<LsqKernelTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             c10::toString(std::get<1>(info.param));
    });

TEST(LsqQuantize, AutogradThroughTheDispatcher) {
  const at::Tensor x = at::randn({2, 3, 4, 4}).requires_grad_();
  const at::Tensor s = at::full({1}, 0.05).requires_grad_();
  at::Tensor y = lsq_quantize(x, s, -8, 7, 0.25);
  EXPECT_TRUE(y.requires_grad());
  y.sum().backward();
  ASSERT_TRUE(x.grad().defined());
  ASSERT_TRUE(s.grad().defined());
  // Clamped elements pass no gradient; the others pass it unchanged.
  const at::Tensor v = x.detach() / 0.05;
  const at::Tensor inside = at::logical_and(v.ge(-8), v.le(7)).to(at::kFloat);
  EXPECT_TRUE(at::allclose(x.grad(), inside));
}

TEST(LsqQuantize, DoubleBackwardRaisesInsteadOfGivingConstants) {
  const at::Tensor x = at::randn({3, 5}).requires_grad_();
  const at::Tensor s = at::full({1}, 0.2).requires_grad_();
  const at::Tensor y = lsq_quantize(x, s, -4, 3, 0.5);
  const at::Tensor loss = (y * y).sum();
  const auto plain = torch::autograd::grad({loss}, {x, s}, {}, /*retain_graph=*/true);
  const auto recorded = torch::autograd::grad({loss}, {x, s}, {}, true, /*create_graph=*/true);
  // First-order gradients are the same whether or not a graph is recorded.
  EXPECT_TRUE(at::equal(plain[0], recorded[0].detach()));
  EXPECT_TRUE(at::equal(plain[1], recorded[1].detach()));
  for (const at::Tensor& g : recorded) {
    ASSERT_TRUE(g.requires_grad());
    try {
      torch::autograd::grad({g.sum()}, {x}, {}, /*retain_graph=*/true, false, /*allow_unused=*/true);
      FAIL() << "the gradient of the gradient was computed";
    } catch (const std::exception& e) {  // autograd's error node raises std::runtime_error
      EXPECT_NE(std::string(e.what()).find("double backward of orrery::lsq_quantize is not supported"),
                std::string::npos)
          << e.what();
    }
  }
}

TEST(LsqQuantize, MetaKernelsGiveTheShapesAndTypesOfTheRealOnes) {
  struct Shapes {
    std::vector<int64_t> x, s;
    at::ScalarType x_type, s_type;
  };
  const Shapes cases[] = {{{4, 3, 5, 5}, {4, 1, 1, 1}, at::kFloat, at::kFloat},
                          {{4, 6}, {1, 6}, at::kFloat, at::kFloat},
                          {{}, {1}, at::kFloat, at::kFloat},               // gains a dimension
                          {{2, 3}, {1}, at::kFloat, at::kDouble},          // promoted
                          {{2, 3}, {}, at::kDouble, at::kFloat}};
  for (const Shapes& c : cases) {
    const at::Tensor x = at::randn(c.x, at::TensorOptions().dtype(c.x_type));
    const at::Tensor s = at::rand(c.s, at::TensorOptions().dtype(c.s_type)) + 0.1;
    const at::Tensor real = lsq_quantize(x, s, -8, 7, 0.5);
    const at::Tensor meta = lsq_quantize(x.to(at::kMeta), s.to(at::kMeta), -8, 7, 0.5);
    EXPECT_TRUE(meta.is_meta());
    EXPECT_EQ(meta.sizes(), real.sizes());
    EXPECT_EQ(meta.scalar_type(), real.scalar_type());

    const at::Tensor grad = at::randn_like(real);
    auto [gx, gs] = lsq_quantize_backward(grad, x, s, -8, 7, 0.5, {true, true});
    auto [mx, ms] = lsq_quantize_backward(grad.to(at::kMeta), x.to(at::kMeta), s.to(at::kMeta), -8,
                                          7, 0.5, {true, false});
    EXPECT_EQ(mx.sizes(), gx.sizes());
    EXPECT_EQ(mx.scalar_type(), gx.scalar_type());
    EXPECT_FALSE(ms.defined());
  }
  // Argument checks hold without data too.
  EXPECT_THROW(lsq_quantize(at::ones({3}, at::TensorOptions().device(at::kMeta).dtype(at::kInt)),
                            at::ones({1}, at::kMeta), 0, 3, 1.0),
               c10::Error);
  // Autograd reaches the meta kernels as well.
  const at::Tensor x = at::empty({2, 8}, at::kMeta).requires_grad_();
  const at::Tensor s = at::empty({1}, at::kMeta).requires_grad_();
  lsq_quantize(x, s, -8, 7, 0.5).sum().backward();
  EXPECT_EQ(x.grad().sizes(), x.sizes());
  EXPECT_TRUE(s.grad().is_meta());
}

TEST(LsqQuantize, UncoveredLayoutsAndDtypesUseTheComposition) {
  const at::Tensor x = at::randn({4, 6});
  // Step size along the last dimension, and a step of another dtype.
  const at::Tensor s_last = at::rand({1, 6}) + 0.1;
  EXPECT_TRUE(bitwise_equal(lsq_quantize(x, s_last, -8, 7, 0.1),
                            lsq_quantize_composite(x, s_last, -8, 7, 0.1)));
  const at::Tensor s_double = at::full({1}, 0.3, at::kDouble);
  EXPECT_TRUE(bitwise_equal(lsq_quantize(x, s_double, -8, 7, 0.1),
                            lsq_quantize_composite(x, s_double, -8, 7, 0.1)));
  // A 0-dim input with a [1] step gains a dimension, as broadcasting says.
  EXPECT_EQ(lsq_quantize(at::scalar_tensor(0.7), at::ones({1}), 0, 3, 1.0).sizes(),
            at::IntArrayRef({1}));
  // Non-contiguous input.
  const at::Tensor t = at::randn({6, 5}).t();
  EXPECT_TRUE(bitwise_equal(lsq_quantize(t, at::full({1}, 0.2), -8, 7, 0.1),
                            lsq_quantize_composite(t, at::full({1}, 0.2), -8, 7, 0.1)));
}

TEST(LsqQuantize, RejectsBadArguments) {
  const at::Tensor s = at::ones({1});
  try {
    lsq_quantize(at::ones({3}, at::kInt), s, 0, 3, 1.0);
    FAIL() << "an integer input was accepted";
  } catch (const c10::Error& e) {
    EXPECT_NE(std::string(e.what()).find("floating-point"), std::string::npos);
  }
  EXPECT_THROW(lsq_quantize(at::ones({3}), at::ones({0}), 0, 3, 1.0), c10::Error);
  EXPECT_THROW(lsq_quantize(at::ones({3}), s, 3, 0, 1.0), c10::Error);
}

TEST(TwosComp, NegativeCodesBecomeUnsignedInPlace) {
  at::Tensor vals = at::tensor({-3.0f, 2.0f, -8.0f, 0.0f, -1.0f});
  at::Tensor& out = orrery::engine::twos_comp(vals, 4);
  EXPECT_EQ(out.data_ptr(), vals.data_ptr());
  EXPECT_TRUE(at::equal(vals, at::tensor({13.0f, 2.0f, 8.0f, 0.0f, 15.0f})));
  EXPECT_THROW(orrery::engine::twos_comp(vals, 64), c10::Error);
}

TEST(GradScaleAndRoundPass, ValuesAndGradients) {
  const at::Tensor x = at::tensor({0.4, 0.6, 2.5, -1.5}, at::kDouble).requires_grad_();
  const at::Tensor r = orrery::engine::round_pass(x);
  EXPECT_TRUE(at::equal(r.detach(), at::tensor({0.0, 1.0, 2.0, -2.0}, at::kDouble)));
  const at::Tensor g = orrery::engine::grad_scale(x, 0.25);
  EXPECT_TRUE(at::equal(g.detach(), x.detach()));
  (r.sum() + g.sum()).backward();
  EXPECT_TRUE(at::allclose(x.grad(), at::full({4}, 1.25, at::kDouble)));
}

}  // namespace
