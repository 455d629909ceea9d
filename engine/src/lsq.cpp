// Schema of the fused LSQ quantizer, its entry points, and the kernels made of
// ATen operators (for CUDA, and whatever the fused CPU kernel does not cover).
// The kernels are registered per dispatch key beside them: lsq_cpu.cpp (CPU),
// lsq_cuda.cpp (CUDA), lsq_meta.cpp (Meta), lsq_autograd.cpp (Autograd).
#include "orrery_engine/lsq.h"

#include <limits>

#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/library.h>

namespace orrery::engine {

at::Tensor grad_scale(const at::Tensor& x, double scale) {
  at::Tensor y_grad = x * scale;
  return (x - y_grad).detach() + y_grad;
}

at::Tensor round_pass(const at::Tensor& x) {
  at::Tensor y = x.round();
  return (y - x).detach() + x;
}

int64_t twos_comp_max_bits(at::ScalarType type) {
  switch (type) {
    case at::kFloat: return std::numeric_limits<float>::digits;    // 24
    case at::kDouble: return std::numeric_limits<double>::digits;  // 53
    case at::kLong: return 62;
    case at::kInt: return 30;
    default: return 0;
  }
}

at::Tensor& twos_comp(at::Tensor& vals, int64_t nbits) {
  const int64_t max_bits = twos_comp_max_bits(vals.scalar_type());
  TORCH_CHECK_VALUE(max_bits > 0, "twos_comp: vals must be a float32, float64, int32 or int64 "
                    "tensor, got ", vals.scalar_type());
  // Codes reach 2^nbits - 1, which the tensor's type must hold exactly.
  TORCH_CHECK_VALUE(nbits >= 1 && nbits <= max_bits, "twos_comp: nbits must lie between 1 and ",
                    max_bits, " for a ", vals.scalar_type(), " tensor, got ", nbits);
  const int64_t mask = (int64_t{1} << nbits) - 1;
  // In 64-bit integers throughout, then written back: exact for every accepted width.
  const at::Tensor ints = vals.to(at::kLong);
  const at::Tensor codes = -(at::bitwise_xor(ints, mask) + 1);
  vals.copy_(at::where(ints.lt(0), codes, ints));
  return vals;
}

at::Tensor lsq_quantize(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                        double thd_pos, double grad_factor) {
  // Typed from the declaration, so the stub cannot drift from the header.
  static auto op = c10::Dispatcher::singleton()
                       .findSchemaOrThrow("orrery::lsq_quantize", "")
                       .typed<decltype(lsq_quantize)>();
  return op.call(x, s, thd_neg, thd_pos, grad_factor);
}

std::tuple<at::Tensor, at::Tensor> lsq_quantize_backward(const at::Tensor& grad,
                                                         const at::Tensor& x,
                                                         const at::Tensor& s, double thd_neg,
                                                         double thd_pos, double grad_factor,
                                                         std::array<bool, 2> output_mask) {
  static auto op = c10::Dispatcher::singleton()
                       .findSchemaOrThrow("orrery::_lsq_quantize_backward", "")
                       .typed<decltype(lsq_quantize_backward)>();
  return op.call(grad, x, s, thd_neg, thd_pos, grad_factor, output_mask);
}

namespace detail {

void check_lsq_arguments(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                         double thd_pos) {
  TORCH_CHECK(x.is_floating_point(), "lsq_quantize: the input must be a floating-point tensor, got ",
              x.scalar_type());
  TORCH_CHECK(s.is_floating_point(),
              "lsq_quantize: the step size must be a floating-point tensor, got ", s.scalar_type());
  TORCH_CHECK(s.numel() > 0, "lsq_quantize: the step size is empty; initialise it first");
  TORCH_CHECK(x.device() == s.device(), "lsq_quantize: the input is on ", x.device(),
              " but the step size is on ", s.device(), "; move both to the same device");
  TORCH_CHECK(thd_neg <= thd_pos, "lsq_quantize: the lowest code (", thd_neg,
              ") exceeds the highest code (", thd_pos, ")");
}

at::Tensor lsq_quantize_composite(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                                  double thd_pos, double grad_factor) {
  check_lsq_arguments(x, s, thd_neg, thd_pos);
  const at::Tensor s_scale = grad_scale(s, grad_factor);
  at::Tensor q = at::clamp(x / s_scale, thd_neg, thd_pos);
  return round_pass(q) * s_scale;
}

std::tuple<at::Tensor, at::Tensor> lsq_quantize_backward_composite(
    const at::Tensor& grad, const at::Tensor& x, const at::Tensor& s, double thd_neg,
    double thd_pos, double grad_factor, std::array<bool, 2> output_mask) {
  check_lsq_arguments(x, s, thd_neg, thd_pos);
  const at::Tensor s_scale = grad_scale(s, grad_factor);
  const at::Tensor v = x / s_scale;
  const at::Tensor inside = at::logical_and(v.ge(thd_neg), v.le(thd_pos));
  at::Tensor grad_x;
  at::Tensor grad_s;
  if (output_mask[0]) {
    grad_x = at::where(inside, grad, at::zeros({}, grad.options()));
    grad_x = at::sum_to(grad_x, x.sizes()).to(x.scalar_type());
  }
  if (output_mask[1]) {
    // d(s' * round(v))/ds' is round(v) - v inside the range and the bound outside.
    const at::Tensor r = round_pass(at::clamp(v, thd_neg, thd_pos));
    const at::Tensor per_element = grad * at::where(inside, r - v, r);
    grad_s = (at::sum_to(per_element, s.sizes()) * grad_factor).to(s.scalar_type());
  }
  return {grad_x, grad_s};
}

}  // namespace detail
}  // namespace orrery::engine

// A fragment, so that other parts of the engine may add operators to the namespace.
TORCH_LIBRARY_FRAGMENT(orrery, m) {
  m.def("lsq_quantize(Tensor x, Tensor s, float thd_neg, float thd_pos, float grad_factor) -> Tensor");
  m.def(
      "_lsq_quantize_backward(Tensor grad, Tensor x, Tensor s, float thd_neg, float thd_pos, "
      "float grad_factor, bool[2] output_mask) -> (Tensor, Tensor)");
}
