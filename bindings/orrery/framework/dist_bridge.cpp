// orrery.framework.dist_bridge: data-parallel training with Horovod.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

PYBIND11_MODULE(dist_bridge, m) {
  import_names(m, "orrery.framework.distributed", {"HorovodManager"});
  import_names(m, "orrery.framework.ext_bridge", {"Setup"});
  ClassBuilder manager(m, "_TorchHorovodManager", {m.attr("HorovodManager")});
  manager.attr("_TorchHorovodManager__instanced", py::bool_(false));
  // The one manager of the process, handed to the core by TorchFramework.
  m.attr("torch_horovod_manager") = manager.build()();
}
