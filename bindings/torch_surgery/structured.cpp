// torch_surgery.structured: removing channels from single modules.
#include <torch/extension.h>

#include "class_builder.h"

PYBIND11_MODULE(structured, m) {}
