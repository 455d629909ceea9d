// Learned-step-size (LSQ) fake quantization.
//
// The quantizer computes  y = s' * round(clamp(x / s', thd_neg, thd_pos))  where
// s' is the step size s passed through grad_scale (its value is s up to float
// rounding of (s - s*g) + s*g, which is reproduced exactly). Gradients follow the
// straight-through estimator: rounding is the identity, clamped values pass no
// gradient to x, and the gradient reaching s is multiplied by g.
//
// The fused operator is registered with the dispatcher as
//   orrery::lsq_quantize(Tensor x, Tensor s, float thd_neg, float thd_pos,
//                        float grad_factor) -> Tensor
// with a CPU kernel (one pass, vectorised and parallel), a CUDA kernel made of
// ATen operators, a Meta kernel (shapes and dtypes without data), and an
// autograd kernel whose backward is
//   orrery::_lsq_quantize_backward(...) -> (Tensor grad_x, Tensor grad_s).
// That backward has no derivative: differentiating its results (double
// backward) raises an error. Being a registered operator the quantizer is
// traced by torch.jit.trace under its own name.
#pragma once

#include <ATen/ATen.h>

#include <array>
#include <tuple>

namespace orrery::engine {

// Value x; gradient with respect to x multiplied by `scale`.
at::Tensor grad_scale(const at::Tensor& x, double scale);

// Value round(x) (halves to even); gradient of the identity.
at::Tensor round_pass(const at::Tensor& x);

// Rewrites, in place, negative integer values of `vals` as their unsigned
// nbits-bit two's-complement codes; returns `vals`. nbits must lie between 1
// and twos_comp_max_bits(vals' type), the widest whose codes the type holds
// exactly (24 for float32, 53 for float64).
at::Tensor& twos_comp(at::Tensor& vals, int64_t nbits);
int64_t twos_comp_max_bits(at::ScalarType type);

// The fused quantizer, through the dispatcher (autograd included).
at::Tensor lsq_quantize(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                        double thd_pos, double grad_factor);

// Gradients of lsq_quantize for x and s, through the dispatcher. An entry of
// `output_mask` that is false leaves the corresponding gradient undefined.
std::tuple<at::Tensor, at::Tensor> lsq_quantize_backward(const at::Tensor& grad,
                                                         const at::Tensor& x,
                                                         const at::Tensor& s, double thd_neg,
                                                         double thd_pos, double grad_factor,
                                                         std::array<bool, 2> output_mask);

namespace detail {

// The quantizer written with ATen operators: the kernels for devices without a
// fused kernel, and for shapes and dtypes the fused CPU kernel does not cover.
at::Tensor lsq_quantize_composite(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                                  double thd_pos, double grad_factor);
std::tuple<at::Tensor, at::Tensor> lsq_quantize_backward_composite(
    const at::Tensor& grad, const at::Tensor& x, const at::Tensor& s, double thd_neg,
    double thd_pos, double grad_factor, std::array<bool, 2> output_mask);

// Checks shared by every kernel.
void check_lsq_arguments(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                         double thd_pos);

}  // namespace detail

}  // namespace orrery::engine
