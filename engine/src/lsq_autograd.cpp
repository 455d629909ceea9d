// Autograd kernel of the fused LSQ quantizer: saves the input and the step size
// and calls the backward operator, whose kernels recompute what they need in
// one pass instead of keeping intermediate tensors alive.
//
// The backward operator has no derivative of its own. When a graph is built
// through it (create_graph=True), its gradients carry a node that raises if
// anything differentiates them, as torch.autograd.function.once_differentiable
// does, rather than acting as constants and giving wrong second derivatives.
// (libtorch has an Autograd fallthrough for the backward operator on every
// backend but Meta; lsq_meta.cpp registers the Meta one.)
#include <torch/autograd.h>
#include <torch/csrc/autograd/functions/basic_ops.h>
#include <torch/csrc/autograd/functions/utils.h>
#include <torch/library.h>

#include "orrery_engine/lsq.h"

namespace orrery::engine {
namespace {

using torch::autograd::AutogradContext;
using torch::autograd::variable_list;

constexpr const char* kDoubleBackward =
    "double backward of orrery::lsq_quantize is not supported: its gradient is computed by a "
    "kernel that has no derivative; differentiate the quantizer once (no create_graph=True "
    "through it, or torch.autograd.grad with create_graph=False)";

// `grads`, made to raise kDoubleBackward when differentiated if a graph is
// being recorded through the backward. The error node leads to `inputs`, so
// differentiating with respect to any of them reaches it.
variable_list once_differentiable(variable_list grads, const variable_list& inputs) {
  bool recording = false;
  if (at::GradMode::is_enabled())
    for (const at::Tensor& t : inputs) recording |= t.defined() && t.requires_grad();
  if (!recording) return grads;
  auto error = std::make_shared<torch::autograd::Error>(
      kDoubleBackward, torch::autograd::collect_next_edges(inputs));
  for (at::Tensor& g : grads) {
    if (!g.defined()) continue;
    g = g.variable_data();
    torch::autograd::set_history(g, error);
  }
  return grads;
}

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
    variable_list grads =
        once_differentiable({grad_x, grad_s}, {grad_outputs[0], saved[0], saved[1]});
    return {grads[0], grads[1], at::Tensor(), at::Tensor(), at::Tensor()};
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
