// orrery.framework.graph_bridge: the dataflow graph of a traced model.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

PYBIND11_MODULE(graph_bridge, m) {
  import_names(m, "orrery.framework.graph.graph", {"ModelGraphParser"});
  ClassBuilder(m, "TorchGraphParser", {m.attr("ModelGraphParser")}).build();
}
