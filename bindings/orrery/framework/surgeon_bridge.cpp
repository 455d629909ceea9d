// orrery.framework.surgeon_bridge: channel pruning across a whole model.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

PYBIND11_MODULE(surgeon_bridge, m) {
  import_names(m, "orrery.framework.graph.surgeon", {"GraphSurgeon"});
  py::module_::import("torch_surgery.structured");
  py::module_::import("torch_surgery.dependency");
  ClassBuilder(m, "TorchGraphSurgeon", {m.attr("GraphSurgeon")}).build();
}
