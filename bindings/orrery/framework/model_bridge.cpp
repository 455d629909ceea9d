// orrery.framework.model_bridge: the model wrapper and its layer tree.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

PYBIND11_MODULE(model_bridge, m) {
  import_names(m, "orrery.framework.model", {"Model"});
  py::module_::import("orrery.framework.graph_bridge");
  py::module_::import("orrery.framework.nn_bridge");
  ClassBuilder(m, "TorchModel", {m.attr("Model")}).build();
}
