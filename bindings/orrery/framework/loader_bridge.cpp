// orrery.framework.loader_bridge: the backend's data loader.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_from;
using orrery::bind::import_names;

PYBIND11_MODULE(loader_bridge, m) {
  m.attr("BaseTorchDataLoader") =
      import_from("corvex.torch_profiler.loader_bridge", "TorchDataLoader");
  import_names(m, "orrery.framework.dist_bridge", {"torch_horovod_manager"});
  ClassBuilder cls(m, "TorchDataLoader", {m.attr("BaseTorchDataLoader")});
  // The loader's share of a checkpoint's fingerprint: how much data, what shape.
  cls.method("checkpoint_hash", [](py::object self) {
    std::string size = py::str(self.attr("dataset_size"));
    std::string shapes = py::str(self.attr("forward_pass").attr("get_model_input_shapes")());
    return size + "__" + shapes;
  });
  cls.build();
}
