// Autograd kernel of the fused LSQ quantizer: saves the input and the step size
// and calls the backward operator, whose kernels recompute what they need in
// one pass instead of keeping intermediate tensors alive.
#include <torch/autograd.h>
#include <torch/library.h>

#include "orrery_engine/lsq.h"

namespace orrery::engine {
namespace {

using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

class LsqQuantizeFunction : public torch::autograd::Function<LsqQuantizeFunction> {
 public:
  static at::Tensor forward(AutogradContext* ctx, const at::Tensor& x, const at::Tensor& s,
                            double thd_neg, double thd_pos, double grad_factor) {
    ctx->saved_data["thd_neg"] = thd_neg;
    ctx->saved_data["thd_pos"] = thd_pos;
    ctx->saved_data["grad_factor"] = grad_factor;
    ctx->save_for_backward({x, s});
    at::AutoDispatchBelowADInplaceOrView guard;
    return lsq_quantize(x, s, thd_neg, thd_pos, grad_factor);
  }

  static variable_list backward(AutogradContext* ctx, variable_list grad_outputs) {
    const auto saved = ctx->get_saved_variables();
    const std::array<bool, 2> output_mask{ctx->needs_input_grad(0), ctx->needs_input_grad(1)};
    auto [grad_x, grad_s] = lsq_quantize_backward(
        grad_outputs[0], saved[0], saved[1], ctx->saved_data["thd_neg"].toDouble(),
        ctx->saved_data["thd_pos"].toDouble(), ctx->saved_data["grad_factor"].toDouble(),
        output_mask);
    return {grad_x, grad_s, at::Tensor(), at::Tensor(), at::Tensor()};
  }
};

at::Tensor lsq_quantize_autograd(const at::Tensor& x, const at::Tensor& s, double thd_neg,
                                 double thd_pos, double grad_factor) {
  return LsqQuantizeFunction::apply(x, s, thd_neg, thd_pos, grad_factor);
}

}  // namespace
}  // namespace orrery::engine

TORCH_LIBRARY_IMPL(orrery, Autograd, m) {
  m.impl("lsq_quantize", orrery::engine::lsq_quantize_autograd);
}
