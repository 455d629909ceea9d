// orrery.framework.prims_bridge: the LSQ transform primitive of the core.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

PYBIND11_MODULE(prims_bridge, m) {
  import_names(m, "orrery.core.optimus.primitives.quantization", {"LSQ"});
  import_names(m, "orrery.framework.framework_bridge", {"TorchFramework"});
  py::module_::import("orrery.framework.nn_bridge");
  py::module_::import("orrery.framework.quant_bridge");
  ClassBuilder cls(m, "TorchLSQ", {m.attr("LSQ")});
  m.attr("TorchFramework").attr("register_quantization_method")(cls.build());
}
