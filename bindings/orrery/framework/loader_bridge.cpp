// orrery.framework.loader_bridge: the backend's data loader.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_from;
using orrery::bind::import_names;

PYBIND11_MODULE(loader_bridge, m) {
  m.attr("torch") = py::module_::import("torch");
  m.attr("BaseTorchDataLoader") =
      import_from("corvex.torch_profiler.loader_bridge", "TorchDataLoader");
  import_names(m, "orrery.framework.dist_bridge", {"torch_horovod_manager"});
  ClassBuilder cls(m, "TorchDataLoader", {m.attr("BaseTorchDataLoader")},
                   "The backend's data loader: wraps a torch.utils.data.DataLoader (native_dl) "
                   "for the core, gives a fingerprint of the data for checkpoints and rebuilds "
                   "itself for a process's shard under Horovod.");
  // This process's shard under Horovod: a new loader over the same dataset
  // with a DistributedSampler; the old loader is left as it is.
  cls.method("mutate_for_horovod", [m](py::object self) {
    py::object hvd = m.attr("torch_horovod_manager").attr("get_hvd")();
    py::object data = m.attr("torch").attr("utils").attr("data");
    py::object native = self.attr("native_dl");
    if (!py::isinstance(native, data.attr("DataLoader"))) {
      throw std::runtime_error(
          "Cannot use Torch Horovod if DataLoader is not an instance of the Torch DataLoader");
    }
    py::object sampler = py::module_::import("torch.utils.data.distributed")
                             .attr("DistributedSampler")(native.attr("dataset"),
                                                         py::arg("num_replicas") = hvd.attr("size")(),
                                                         py::arg("rank") = hvd.attr("rank")());
    py::object new_native = data.attr("DataLoader")(
        py::arg("dataset") = native.attr("dataset"), py::arg("batch_size") = native.attr("batch_size"),
        py::arg("collate_fn") = native.attr("collate_fn"),
        py::arg("num_workers") = native.attr("num_workers"),
        py::arg("worker_init_fn") = native.attr("worker_init_fn"), py::arg("sampler") = sampler);
    py::object loader = m.attr("TorchDataLoader")(new_native, py::none());
    loader.attr("_forward_pass") = self.attr("forward_pass");
    return py::make_tuple(loader, sampler);
  },
             "This process's shard of the data under Horovod: returns (a new TorchDataLoader over "
             "the same dataset with the same batch size, collate function and workers, reading "
             "through the new sampler, the DistributedSampler for this process's rank). Horovod "
             "must be initialised; the loader itself is not changed. Raises RuntimeError when "
             "native_dl is not a torch.utils.data.DataLoader, HorovodImportError when Horovod "
             "cannot be imported.");
  // The loader's share of a checkpoint's fingerprint: how much data, what shape.
  cls.method("checkpoint_hash", [](py::object self) {
    std::string size = py::str(self.attr("dataset_size"));
    std::string shapes = py::str(self.attr("forward_pass").attr("get_model_input_shapes")());
    return size + "__" + shapes;
  },
             "The data's fingerprint for checkpoints: the dataset size and the model input "
             "shapes, joined by \"__\".");
  cls.build();
}
