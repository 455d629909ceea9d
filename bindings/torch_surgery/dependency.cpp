// torch_surgery.dependency: which channels of a model depend on which.
#include <torch/extension.h>

#include "class_builder.h"

PYBIND11_MODULE(dependency, m) {}
