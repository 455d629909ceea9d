// orrery.framework.loader_bridge: the backend's data loader.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_from;
using orrery::bind::import_names;

namespace {

std::string type_name(const py::handle& value) {
  return py::str(py::type::of(value).attr("__qualname__"));
}

// A stream (IterableDataset) has no indices for a sampler to share out.
void refuse_stream(const py::module_& m, const py::object& dataset, const char* what) {
  if (!py::isinstance(dataset, m.attr("torch").attr("utils").attr("data").attr("IterableDataset"))) {
    return;
  }
  throw std::runtime_error(std::string(what) + " needs a map-style dataset (__len__ and "
                           "__getitem__), got the IterableDataset " + type_name(dataset) +
                           "; wrap the data in a torch.utils.data.Dataset, or read a stream "
                           "without Horovod or checkpoints");
}

// The forward pass; when the loader was given none, the base derives one
// from the first sample, which must be (input tensor, ...). Each way that
// derivation can fail is refused here with what to do instead.
py::object checked_forward_pass(const py::module_& m, const py::object& self, const char* what) {
  if (!py::getattr(self, "_forward_pass", py::none()).is_none()) return self.attr("forward_pass");
  const std::string fix = "; or give the loader its input shapes: TorchDataLoader(native_dl, "
                          "TorchForwardPass([shape_without_batch, ...]))";
  py::object dataset = self.attr("native_dl").attr("dataset");
  refuse_stream(m, dataset, what);
  if (py::len(dataset) == 0) {
    throw py::value_error(std::string(what) + " cannot take the input shape from an empty "
                          "dataset; give the loader samples" + fix);
  }
  py::object sample = dataset[py::int_(0)];
  bool indexable = !py::isinstance(sample, py::module_::import("collections.abc").attr("Mapping")) &&
                   py::hasattr(sample, "__getitem__");
  if (indexable && (py::isinstance<py::tuple>(sample) || py::isinstance<py::list>(sample))) {
    indexable = py::len(sample) > 0;
  }
  if (!indexable || !py::hasattr(sample[py::int_(0)], "shape")) {
    throw py::type_error(std::string(what) + " takes the input shape from the first sample, "
                         "which must be a tuple or list whose first entry is the input tensor, "
                         "got a " + type_name(sample) + "; return (input, target) samples" + fix);
  }
  return self.attr("forward_pass");
}

// The batch size of the sharded loader. A loader made with a batch_sampler
// reports batch_size None; its sampler's batch_size is used instead, as None
// would turn batching off.
py::object shard_batch_size(const py::object& native) {
  py::object batch_size = native.attr("batch_size");
  py::object batch_sampler = native.attr("batch_sampler");
  if (!batch_size.is_none() || batch_sampler.is_none()) return batch_size;
  py::object sampler_size = py::getattr(batch_sampler, "batch_size", py::none());
  if (PyLong_Check(sampler_size.ptr()) && !PyBool_Check(sampler_size.ptr()) &&
      sampler_size.cast<long long>() > 0) {
    return sampler_size;
  }
  throw py::value_error("mutate_for_horovod cannot shard a loader whose batch_sampler (" +
                        type_name(batch_sampler) + ") has no positive int batch_size; build the "
                        "loader with batch_size=... instead of batch_sampler, or give the batch "
                        "sampler a batch_size attribute");
}

}  // namespace

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
    py::object dataset = native.attr("dataset");
    refuse_stream(m, dataset, "mutate_for_horovod");
    if (py::len(dataset) == 0) {
      throw py::value_error("mutate_for_horovod cannot shard an empty dataset: every process "
                            "would train on nothing; give the loader samples");
    }
    py::object batch_size = shard_batch_size(native);
    py::object forward_pass = checked_forward_pass(m, self, "mutate_for_horovod");
    py::object sampler = py::module_::import("torch.utils.data.distributed")
                             .attr("DistributedSampler")(native.attr("dataset"),
                                                         py::arg("num_replicas") = hvd.attr("size")(),
                                                         py::arg("rank") = hvd.attr("rank")());
    py::object new_native = data.attr("DataLoader")(
        py::arg("dataset") = native.attr("dataset"), py::arg("batch_size") = batch_size,
        py::arg("collate_fn") = native.attr("collate_fn"),
        py::arg("num_workers") = native.attr("num_workers"),
        py::arg("worker_init_fn") = native.attr("worker_init_fn"), py::arg("sampler") = sampler);
    py::object loader = m.attr("TorchDataLoader")(new_native, py::none());
    loader.attr("_forward_pass") = forward_pass;
    return py::make_tuple(loader, sampler);
  },
             "This process's shard of the data under Horovod: returns (a new TorchDataLoader over "
             "the same dataset with the same batch size, collate function and workers, reading "
             "through the new sampler, the DistributedSampler for this process's rank). A loader "
             "made with a batch_sampler lends its sampler's batch_size. Horovod must be "
             "initialised; the loader itself is not changed. Raises RuntimeError when native_dl "
             "is not a torch.utils.data.DataLoader or reads an IterableDataset, ValueError for an "
             "empty dataset or a batch sampler without batch_size, TypeError when the loader has "
             "no forward pass and its samples are not (input, ...) pairs, HorovodImportError when "
             "Horovod cannot be imported.");
  // The loader's share of a checkpoint's fingerprint: how much data, what shape.
  cls.method("checkpoint_hash", [m](py::object self) {
    py::object native = self.attr("native_dl");
    // The size needs a sized dataset; a stream that knows its length passes
    // when the loader was given its forward pass.
    if (py::isinstance(native, m.attr("torch").attr("utils").attr("data").attr("DataLoader")) &&
        !py::hasattr(native.attr("dataset"), "__len__")) {
      refuse_stream(m, native.attr("dataset"), "checkpoint_hash");
    }
    std::string size = py::str(self.attr("dataset_size"));
    py::object forward_pass = checked_forward_pass(m, self, "checkpoint_hash");
    std::string shapes = py::str(forward_pass.attr("get_model_input_shapes")());
    return size + "__" + shapes;
  },
             "The data's fingerprint for checkpoints: the dataset size and the model input "
             "shapes, joined by \"__\". Raises RuntimeError for an IterableDataset without "
             "__len__, or one whose shapes must be read from a sample; ValueError for an empty "
             "dataset and TypeError for samples that are not (input, ...) pairs when "
             "the loader has no forward pass to read the shapes from.");
  cls.build();
}
