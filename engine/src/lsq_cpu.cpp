// CPU kernels of the fused LSQ quantizer: one pass over the input for the
// forward, one for the backward (gradient of x and reduction for s together).
//
// The arithmetic is that of the ATen composition, element for element:
//   v = x / s'                     (true division, as at::div)
//   c = min(max(v, lo), hi)        (NaN propagates, as at::clamp)
//   q = (round(c) - c) + c         (round_pass's value, signed zeros included)
//   y = q * s'
// so the forward is bit-identical to it. Rounding uses the 1.5 * 2^mantissa
// trick, exact (halves to even) while |c| stays below 2^(mantissa-1), which
// the clamp guarantees for the bit widths in use; wider ranges use nearbyint.
#ifdef __FAST_MATH__
#error "lsq_cpu.cpp must not be compiled with -ffast-math: the rounding trick and the bit-identical results need exact IEEE float arithmetic"
#endif

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>
#include <torch/library.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "orrery_engine/lsq.h"

namespace orrery::engine {
namespace {

// Elements per task: large enough to amortise scheduling, small enough to
// split a single channel over threads.
constexpr int64_t kBlock = 16384;
// Partial sums of the step-size gradient are kept in the tensor's type over
// this many vectors, then moved to a double accumulator.
constexpr int64_t kInnerVectors = 32;

template <typename scalar_t>
struct RoundMagic {
  // 1.5 * 2^(mantissa bits): adding and subtracting it rounds to an integer.
  static constexpr scalar_t value =
      static_cast<scalar_t>(1.5) *
      static_cast<scalar_t>(int64_t{1} << (std::numeric_limits<scalar_t>::digits - 1));
  static constexpr double limit =
      static_cast<double>(int64_t{1} << (std::numeric_limits<scalar_t>::digits - 2));
};

template <typename scalar_t, bool kMagic>
inline scalar_t round_scalar(scalar_t c) {
  if constexpr (kMagic) {
    return (c + RoundMagic<scalar_t>::value) - RoundMagic<scalar_t>::value;
  } else {
    return std::nearbyint(c);
  }
}

template <typename scalar_t>
inline scalar_t clamp_scalar(scalar_t v, scalar_t lo, scalar_t hi) {
  return std::min(std::max(v, lo), hi);
}

// The geometry the fused kernels cover: the step size is one value, or one
// value per slice along the first dimension of x.
struct Layout {
  int64_t channels;  // number of step sizes
  int64_t inner;     // elements per step size
};

bool fused_layout(const at::Tensor& x, const at::Tensor& s, Layout* layout) {
  if (x.device().type() != at::kCPU || s.device().type() != at::kCPU) return false;
  if (x.scalar_type() != s.scalar_type()) return false;
  if (x.scalar_type() != at::kFloat && x.scalar_type() != at::kDouble) return false;
  if (s.dim() > x.dim()) return false;  // the output would gain dimensions
  if (s.numel() == 1) {
    *layout = {1, x.numel()};
    return true;
  }
  if (s.dim() != x.dim() || s.size(0) != x.size(0)) return false;
  for (int64_t d = 1; d < s.dim(); ++d) {
    if (s.size(d) != 1) return false;
  }
  *layout = {s.size(0), x.size(0) == 0 ? 0 : x.numel() / x.size(0)};
  return true;
}

bool magic_rounding_exact(double lo, double hi, double limit) {
  return std::abs(lo) < limit && std::abs(hi) < limit;
}

// Calls f(task, channel, begin, end) for every task: a block of at most kBlock
// elements inside one channel.
template <typename F>
void for_each_block(const Layout& layout, F f) {
  const int64_t blocks_per_channel = std::max<int64_t>(1, (layout.inner + kBlock - 1) / kBlock);
  const int64_t tasks = layout.channels * blocks_per_channel;
  at::parallel_for(0, tasks, 1, [&](int64_t first, int64_t last) {
    for (int64_t t = first; t < last; ++t) {
      const int64_t channel = t / blocks_per_channel;
      const int64_t begin = (t % blocks_per_channel) * kBlock;
      const int64_t end = std::min(layout.inner, begin + kBlock);
      f(t, channel, channel * layout.inner + begin, channel * layout.inner + end);
    }
  });
}

// The per-block loops work on 32-byte GCC vector types. at::vec::Vectorized
// cannot serve here: its AVX2 specialisations need sleef.h, which this
// libtorch does not ship, and its generic form leaves division and clamping
// scalar. The loops are forced inline into the entry points below, which GCC
// compiles for AVX2 and for the baseline and picks between when the library
// loads (target_clones).
// Everything below is inlined into one entry point, so passing vectors by
// value never crosses a function boundary whose ABI depends on the ISA.
#pragma GCC diagnostic ignored "-Wpsabi"
#define ORRERY_LSQ_INLINE __attribute__((always_inline)) inline

typedef float FloatLanes __attribute__((vector_size(32)));
typedef double DoubleLanes __attribute__((vector_size(32)));
template <typename scalar_t>
struct LaneType;
template <>
struct LaneType<float> {
  using type = FloatLanes;
};
template <>
struct LaneType<double> {
  using type = DoubleLanes;
};

template <typename scalar_t>
struct Lanes {
  using type = typename LaneType<scalar_t>::type;
  static constexpr int64_t size = 32 / sizeof(scalar_t);
  ORRERY_LSQ_INLINE static type load(const scalar_t* p) {
    type v;
    std::memcpy(&v, p, sizeof(v));
    return v;
  }
  ORRERY_LSQ_INLINE static void store(scalar_t* p, const type& v) { std::memcpy(p, &v, sizeof(v)); }
  ORRERY_LSQ_INLINE static type splat(scalar_t value) { return type{} + value; }
  // std::min(std::max(v, lo), hi) lane by lane: NaN stays NaN.
  ORRERY_LSQ_INLINE static type clamp(type v, const type& lo, const type& hi) {
    v = v < lo ? lo : v;
    return hi < v ? hi : v;
  }
};

template <typename scalar_t, bool kMagic>
ORRERY_LSQ_INLINE typename Lanes<scalar_t>::type round_lanes(
    const typename Lanes<scalar_t>::type& c) {
  using L = Lanes<scalar_t>;
  if constexpr (kMagic) {
    const auto magic = L::splat(RoundMagic<scalar_t>::value);
    return (c + magic) - magic;
  } else {
    typename L::type r;
    for (int64_t k = 0; k < L::size; ++k) r[k] = std::nearbyint(c[k]);
    return r;
  }
}

template <typename scalar_t, bool kMagic>
ORRERY_LSQ_INLINE void forward_block(const scalar_t* x, scalar_t* y,
                                                         int64_t n, scalar_t s, scalar_t lo,
                                                         scalar_t hi) {
  using L = Lanes<scalar_t>;
  const auto s_v = L::splat(s), lo_v = L::splat(lo), hi_v = L::splat(hi);
  int64_t i = 0;
  for (; i + L::size <= n; i += L::size) {
    const auto c = L::clamp(L::load(x + i) / s_v, lo_v, hi_v);
    const auto q = (round_lanes<scalar_t, kMagic>(c) - c) + c;
    L::store(y + i, q * s_v);
  }
  for (; i < n; ++i) {
    const scalar_t c = clamp_scalar<scalar_t>(x[i] / s, lo, hi);
    y[i] = ((round_scalar<scalar_t, kMagic>(c) - c) + c) * s;
  }
}

// Writes grad_x (when asked) and returns the block's share of the step-size
// gradient before the factor: sum of grad * (inside ? round(c) - v : round(c)).
// With c = clamp(v), c == v says exactly "lo <= v <= hi" (false for NaN).
template <typename scalar_t, bool kMagic>
ORRERY_LSQ_INLINE double backward_block(const scalar_t* grad,
                                                           const scalar_t* x, scalar_t* grad_x,
                                                           bool want_sum, int64_t n, scalar_t s,
                                                           scalar_t lo, scalar_t hi) {
  using L = Lanes<scalar_t>;
  const auto s_v = L::splat(s), lo_v = L::splat(lo), hi_v = L::splat(hi);
  const auto zero = L::splat(0);
  double total = 0.0;
  int64_t i = 0;
  while (i + L::size <= n) {
    auto acc = zero;
    const int64_t stop = std::min(n, i + kInnerVectors * L::size);
    for (; i + L::size <= stop; i += L::size) {
      const auto g = L::load(grad + i);
      const auto v = L::load(x + i) / s_v;
      const auto c = L::clamp(v, lo_v, hi_v);
      const auto inside = c == v;
      if (grad_x != nullptr) L::store(grad_x + i, inside ? g : zero);
      if (want_sum) {
        const auto r = (round_lanes<scalar_t, kMagic>(c) - c) + c;
        acc += g * (r - (inside ? v : zero));
      }
    }
    if (want_sum) {
      for (int64_t k = 0; k < L::size; ++k) total += acc[k];
    }
  }
  for (; i < n; ++i) {
    const scalar_t v = x[i] / s;
    const scalar_t c = clamp_scalar<scalar_t>(v, lo, hi);
    const bool inside = c == v;
    const scalar_t r = (round_scalar<scalar_t, kMagic>(c) - c) + c;
    if (grad_x != nullptr) grad_x[i] = inside ? grad[i] : scalar_t(0);
    if (want_sum) total += static_cast<double>(grad[i] * (inside ? r - v : r));
  }
  return total;
}

}  // namespace

// Entry points compiled per instruction set (ifunc dispatch by GCC). Plain
// functions: the attribute does not apply to templates.
#define ORRERY_LSQ_CLONES __attribute__((target_clones("avx2", "default")))

ORRERY_LSQ_CLONES void lsq_forward_block_float(const float* x, float* y, int64_t n, float s,
                                               float lo, float hi, bool magic) {
  if (magic) {
    forward_block<float, true>(x, y, n, s, lo, hi);
  } else {
    forward_block<float, false>(x, y, n, s, lo, hi);
  }
}

ORRERY_LSQ_CLONES void lsq_forward_block_double(const double* x, double* y, int64_t n, double s,
                                                double lo, double hi, bool magic) {
  if (magic) {
    forward_block<double, true>(x, y, n, s, lo, hi);
  } else {
    forward_block<double, false>(x, y, n, s, lo, hi);
  }
}

ORRERY_LSQ_CLONES double lsq_backward_block_float(const float* grad, const float* x,
                                                  float* grad_x, bool want_sum, int64_t n,
                                                  float s, float lo, float hi, bool magic) {
  return magic ? backward_block<float, true>(grad, x, grad_x, want_sum, n, s, lo, hi)
               : backward_block<float, false>(grad, x, grad_x, want_sum, n, s, lo, hi);
}

ORRERY_LSQ_CLONES double lsq_backward_block_double(const double* grad, const double* x,
                                                   double* grad_x, bool want_sum, int64_t n,
                                                   double s, double lo, double hi, bool magic) {
  return magic ? backward_block<double, true>(grad, x, grad_x, want_sum, n, s, lo, hi)
               : backward_block<double, false>(grad, x, grad_x, want_sum, n, s, lo, hi);
}

namespace {

void forward_block_any(const float* x, float* y, int64_t n, float s, float lo, float hi,
                       bool magic) {
  lsq_forward_block_float(x, y, n, s, lo, hi, magic);
}
void forward_block_any(const double* x, double* y, int64_t n, double s, double lo, double hi,
                       bool magic) {
  lsq_forward_block_double(x, y, n, s, lo, hi, magic);
}
double backward_block_any(const float* grad, const float* x, float* grad_x, bool want_sum,
                          int64_t n, float s, float lo, float hi, bool magic) {
  return lsq_backward_block_float(grad, x, grad_x, want_sum, n, s, lo, hi, magic);
}
double backward_block_any(const double* grad, const double* x, double* grad_x, bool want_sum,
                          int64_t n, double s, double lo, double hi, bool magic) {
  return lsq_backward_block_double(grad, x, grad_x, want_sum, n, s, lo, hi, magic);
}

template <typename scalar_t>
void forward_kernel(const scalar_t* x, const scalar_t* steps, scalar_t* y, const Layout& layout,
                    scalar_t lo, scalar_t hi, bool magic) {
  for_each_block(layout, [&](int64_t, int64_t channel, int64_t begin, int64_t end) {
    forward_block_any(x + begin, y + begin, end - begin, steps[channel], lo, hi, magic);
  });
}

template <typename scalar_t>
void backward_kernel(const scalar_t* grad, const scalar_t* x, const scalar_t* steps,
                     scalar_t* grad_x, double* partial, const Layout& layout, scalar_t lo,
                     scalar_t hi, bool magic) {
  for_each_block(layout, [&](int64_t task, int64_t channel, int64_t begin, int64_t end) {
    const double total = backward_block_any(grad + begin, x + begin,
                                            grad_x == nullptr ? nullptr : grad_x + begin,
                                            partial != nullptr, end - begin, steps[channel], lo,
                                            hi, magic);
    if (partial != nullptr) partial[task] = total;
  });
}

at::Tensor lsq_quantize_cpu(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                            double thd_pos, double grad_factor) {
  detail::check_lsq_arguments(x, s, thd_neg, thd_pos);
  Layout layout{};
  if (!fused_layout(x, s, &layout)) {
    return detail::lsq_quantize_composite(x, s, thd_neg, thd_pos, grad_factor);
  }
  const at::Tensor input = x.contiguous();
  // The effective step size, computed by the same operators as the composition.
  const at::Tensor steps = grad_scale(s.detach(), grad_factor).contiguous();
  at::Tensor out = at::empty_like(input, at::MemoryFormat::Contiguous);
  if (input.numel() == 0) return out;
  AT_DISPATCH_FLOATING_TYPES(input.scalar_type(), "lsq_quantize_cpu", [&] {
    const scalar_t lo = static_cast<scalar_t>(thd_neg);
    const scalar_t hi = static_cast<scalar_t>(thd_pos);
    const bool magic = magic_rounding_exact(lo, hi, RoundMagic<scalar_t>::limit);
    forward_kernel<scalar_t>(input.data_ptr<scalar_t>(), steps.data_ptr<scalar_t>(),
                             out.data_ptr<scalar_t>(), layout, lo, hi, magic);
  });
  return out;
}

std::tuple<at::Tensor, at::Tensor> lsq_quantize_backward_cpu(
    const at::Tensor& grad, const at::Tensor& x, const at::Tensor& s, double thd_neg,
    double thd_pos, double grad_factor, std::array<bool, 2> output_mask) {
  detail::check_lsq_arguments(x, s, thd_neg, thd_pos);
  Layout layout{};
  if (!fused_layout(x, s, &layout) || grad.sizes() != x.sizes() ||
      grad.scalar_type() != x.scalar_type()) {
    return detail::lsq_quantize_backward_composite(grad, x, s, thd_neg, thd_pos, grad_factor,
                                                   output_mask);
  }
  const at::Tensor input = x.contiguous();
  const at::Tensor g = grad.contiguous();
  const at::Tensor steps = grad_scale(s.detach(), grad_factor).contiguous();
  at::Tensor grad_x;
  at::Tensor grad_s;
  if (output_mask[0]) grad_x = at::empty_like(input, at::MemoryFormat::Contiguous);
  const int64_t blocks_per_channel =
      std::max<int64_t>(1, (layout.inner + kBlock - 1) / kBlock);
  std::vector<double> partial(output_mask[1] ? layout.channels * blocks_per_channel : 0, 0.0);
  if (input.numel() > 0 && (output_mask[0] || output_mask[1])) {
    AT_DISPATCH_FLOATING_TYPES(input.scalar_type(), "lsq_quantize_backward_cpu", [&] {
      const scalar_t lo = static_cast<scalar_t>(thd_neg);
      const scalar_t hi = static_cast<scalar_t>(thd_pos);
      const bool magic = magic_rounding_exact(lo, hi, RoundMagic<scalar_t>::limit);
      backward_kernel<scalar_t>(g.data_ptr<scalar_t>(), input.data_ptr<scalar_t>(),
                                steps.data_ptr<scalar_t>(),
                                output_mask[0] ? grad_x.data_ptr<scalar_t>() : nullptr,
                                output_mask[1] ? partial.data() : nullptr, layout, lo, hi, magic);
    });
  }
  if (output_mask[1]) {
    // Summed per channel in a fixed order: the result does not depend on threads.
    at::Tensor sums = at::empty({layout.channels}, s.options().dtype(at::kDouble));
    double* out = sums.data_ptr<double>();
    for (int64_t c = 0; c < layout.channels; ++c) {
      double total = 0.0;
      for (int64_t b = 0; b < blocks_per_channel; ++b) total += partial[c * blocks_per_channel + b];
      out[c] = total * grad_factor;
    }
    grad_s = sums.to(s.scalar_type()).reshape(s.sizes());
  }
  return {grad_x, grad_s};
}

}  // namespace
}  // namespace orrery::engine

TORCH_LIBRARY_IMPL(orrery, CPU, m) {
  m.impl("lsq_quantize", orrery::engine::lsq_quantize_cpu);
  m.impl("_lsq_quantize_backward", orrery::engine::lsq_quantize_backward_cpu);
}
