// CUDA kernels of the fused LSQ quantizer. No CUDA code is compiled here (the
// build must not need CUDA): on CUDA tensors the quantizer runs as the same
// computation made of ATen operators, whose CUDA kernels libtorch provides.
#include <torch/library.h>

#include "orrery_engine/lsq.h"

TORCH_LIBRARY_IMPL(orrery, CUDA, m) {
  m.impl("lsq_quantize", orrery::engine::detail::lsq_quantize_composite);
  m.impl("_lsq_quantize_backward", orrery::engine::detail::lsq_quantize_backward_composite);
}
