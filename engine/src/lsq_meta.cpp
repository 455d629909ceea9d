// Meta kernels of the fused LSQ quantizer: shapes and dtypes without data, for
// tracing and shape propagation on the meta device. They give what the real
// kernels give: the input broadcast against the step size, in the promoted
// type (as the ATen composition computes it), and gradients shaped as x and s.
#include <ATen/ExpandUtils.h>
#include <torch/library.h>

#include "orrery_engine/lsq.h"

namespace orrery::engine {
namespace {

at::Tensor lsq_quantize_meta(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                             double thd_pos, double grad_factor) {
  detail::check_lsq_arguments(x, s, thd_neg, thd_pos);
  const at::ScalarType dtype = at::result_type(x, s);
  const auto shape = at::infer_size_dimvector(x.sizes(), s.sizes());
  if (x.sizes() == at::IntArrayRef(shape)) return at::empty_like(x, x.options().dtype(dtype));
  return at::empty(shape, x.options().dtype(dtype));
}

std::tuple<at::Tensor, at::Tensor> lsq_quantize_backward_meta(
    const at::Tensor& grad, const at::Tensor& x, const at::Tensor& s, double thd_neg,
    double thd_pos, double grad_factor, std::array<bool, 2> output_mask) {
  detail::check_lsq_arguments(x, s, thd_neg, thd_pos);
  return {output_mask[0] ? at::empty_like(x) : at::Tensor(),
          output_mask[1] ? at::empty_like(s) : at::Tensor()};
}

}  // namespace
}  // namespace orrery::engine

TORCH_LIBRARY_IMPL(orrery, Meta, m) {
  m.impl("lsq_quantize", orrery::engine::lsq_quantize_meta);
  m.impl("_lsq_quantize_backward", orrery::engine::lsq_quantize_backward_meta);
}

// libtorch 1.13 has no autograd fallback for meta tensors: without this, the
// backward operator (which has no derivative; see lsq_autograd.cpp) could not
// be called on them at all.
TORCH_LIBRARY_IMPL(orrery, AutogradMeta, m) {
  m.impl("_lsq_quantize_backward", torch::CppFunction::makeFallthrough());
}
