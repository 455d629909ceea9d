// Exponential moving average of a network's weights, over a whole state at once.
//
//   averaged[i] = averaged[i] * decay + trained[i] * (1 - decay)
//
// for every pair, in place, with the rounding of the two in-place ATen steps
// `v.mul_(decay); v.add_(t.mul(1 - decay))` in the tensor's own precision (the
// scalars converted to that precision as ATen converts them). Contiguous float
// and double CPU pairs go through one fused multi-tensor pass, split over
// tensors and blocks and run in parallel; anything else (other dtypes, other
// devices, mixed dtypes, strided tensors) takes those two ATen steps. When
// tensors share memory (tied weights) every pair takes them, in list order.
#pragma once

#include <ATen/ATen.h>

#include <string>
#include <vector>

namespace orrery::engine {

// Every shape and device is checked before any tensor changes; a mismatch
// names the pair by its entry in `names` (state-dict keys) when given, else by
// its index. `averaged` must be floating point.
void ema_update_(const std::vector<at::Tensor>& averaged, const std::vector<at::Tensor>& trained,
                 double decay, const std::vector<std::string>& names = {});

}  // namespace orrery::engine
