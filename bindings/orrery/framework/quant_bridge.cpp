// orrery.framework.quant_bridge: the LSQ quantizer and quantized convolutions.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;

PYBIND11_MODULE(quant_bridge, m) {}
