// orrery.framework.dist_bridge: data-parallel training with Horovod. The
// manager initialises Horovod and rewrites a training loop for it (sharded
// data, distributed optimiser, learning rate scaled by the number of
// processes); the extension warms the scaled rate up, broadcasts rank 0's
// state and keeps the sampler's epoch in step. horovod.torch is imported only
// when it is first needed.
#include <torch/extension.h>

#include "class_builder.h"
#include "python_checks.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;
using orrery::bind::python_assert;

namespace {

// The loop's native optimiser's parameter groups.
py::object loop_param_groups(const py::object& loop) {
  return loop.attr("optimizer").attr("native_optimizer").attr("param_groups");
}

// The native scheduler that must steer `hvd_optimizer` once the loop is
// rewritten (None when there is none): a new one from `scheduler_factory`,
// or the loop's own when it steered `native_optimizer`.
py::object steering_scheduler(const py::object& sched_ext, const py::object& scheduler_factory,
                              const py::object& native_optimizer,
                              const py::object& hvd_optimizer) {
  if (!scheduler_factory.is_none()) {
    python_assert(!sched_ext.is_none());
    sched_ext.attr("native_scheduler") = scheduler_factory.attr("make")(hvd_optimizer);
    return sched_ext.attr("native_scheduler");
  }
  if (sched_ext.is_none()) return py::none();
  // Without a factory the loop's scheduler must still steer the
  // optimiser that trains: left on the old one it loses its hold as
  // soon as a checkpoint reload replaces the parameter groups.
  py::object existing = sched_ext.attr("native_scheduler");
  if (py::hasattr(existing, "optimizer") &&
      py::object(existing.attr("optimizer")).is(native_optimizer)) {
    existing.attr("optimizer") = hvd_optimizer;
    return existing;
  }
  return py::none();
}

// Multiplies the scheduler's base rates and every group's rate by the
// number of processes.
void scale_learning_rates(const py::object& hvd, const py::object& loop,
                          const py::object& scheduler) {
  if (!scheduler.is_none() && py::hasattr(scheduler, "base_lrs")) {
    py::object base_lrs = scheduler.attr("base_lrs");
    py::list values(base_lrs);
    for (size_t i = 0; i < values.size(); ++i) {
      base_lrs[py::int_(i)] = py::object(values[i]) * py::object(hvd.attr("size")());
    }
  }
  for (py::handle group : loop_param_groups(loop)) {
    py::object new_lr = py::object(group["lr"]) * py::object(hvd.attr("size")());
    group["lr"] = new_lr;
  }
}

py::object mutate_training_loop(const py::module_& m, const py::object& self, py::object loop,
                                const py::object& scheduler_factory) {
  py::object hvd = self.attr("get_hvd")();
  // A loop that cannot take the scheduler is refused before it changes.
  if (!scheduler_factory.is_none()) {
    python_assert(
        !loop.attr("get_extension")(py::arg("instance_type") = m.attr("TorchLRScheduler"))
             .is_none());
  }
  m.attr("logger").attr("debug")("Mutating training loop for horovod");
  // Everything that can fail is built before the loop changes.
  py::tuple sharded = loop.attr("main_split").attr("mutate_for_horovod")();
  py::object compression = hvd.attr("Compression").attr("none");
  py::object native_optimizer = loop.attr("optimizer").attr("native_optimizer");
  py::object hvd_optimizer = hvd.attr("DistributedOptimizer")(
      native_optimizer, py::arg("compression") = compression,
      py::arg("named_parameters") =
          loop.attr("model").attr("native_model").attr("named_parameters")());
  loop.attr("change_main_split")(sharded[0], "__horovod__");
  loop.attr("optimizer").attr("native_optimizer") = hvd_optimizer;
  py::object sched_ext =
      loop.attr("get_extension")(py::arg("instance_type") = m.attr("TorchLRScheduler"));
  scale_learning_rates(
      hvd, loop, steering_scheduler(sched_ext, scheduler_factory, native_optimizer, hvd_optimizer));
  loop.attr("add_extension")(m.attr("HorovodExtension")());
  return loop;
}

// horovod.torch, or HorovodImportError with the ImportError as its context
// (as a raise inside an except block would leave it).
py::object import_horovod(const py::module_& m) {
  try {
    return py::module_::import("horovod.torch");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    py::object import_error = error.value();
    if (error.trace()) PyException_SetTraceback(import_error.ptr(), error.trace().ptr());
    py::object horovod_error = m.attr("HorovodImportError")("Importing horovod.torch failed");
    PyException_SetContext(horovod_error.ptr(), import_error.release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(horovod_error.ptr())),
                    horovod_error.ptr());
    throw py::error_already_set();
  }
}

void make_manager(py::module_& m) {
  ClassBuilder cls(m, "_TorchHorovodManager", {m.attr("HorovodManager")},
                   "The PyTorch Horovod manager (one per process, torch_horovod_manager): imports "
                   "and initialises Horovod, pins the process to its GPU, broadcasts objects from "
                   "the first process and rewrites a training loop for data-parallel training.");
  cls.attr("_TorchHorovodManager__instanced", py::bool_(false));
  cls.method("_initialize", [m](py::object self) {
    py::object hvd = self.attr("get_hvd")();
    hvd.attr("init")();
    if (py::object(self.attr("device")).equal(m.attr("Device").attr("GPU"))) {
      m.attr("torch").attr("cuda").attr("set_device")(hvd.attr("local_rank")());
    }
    py::object rank = hvd.attr("rank")();
    py::object local_rank = hvd.attr("local_rank")();
    self.attr("_ranks") = py::make_tuple(rank, local_rank);
    self.attr("_size") = hvd.attr("size")();
  },
             "Initialises Horovod for this process and, when training on Device.GPU, selects the "
             "GPU of the process's local rank; records the ranks and the number of processes. "
             "Returns None.");
  cls.method(
      "broadcast_from_master",
      [](py::object self, py::object obj, py::object name) {
        py::object hvd = self.attr("get_hvd")();
        return hvd.attr("broadcast_object")(obj, py::arg("root_rank") = 0,
                                            py::arg("name") = name);
      },
      py::arg("obj"), py::arg("name"),
      "The object `obj` of the process of rank 0, received by every process; `name` identifies "
      "the operation and must be the same in all processes. Raises HorovodImportError when "
      "Horovod cannot be imported.");
  cls.method(
      "mutate_training_loop",
      [m](py::object self, py::object loop, py::object scheduler_factory) {
        return mutate_training_loop(m, self, loop, scheduler_factory);
      },
      py::arg("loop"), py::arg("scheduler_factory") = py::none(),
      "Rewrites the training loop `loop` in place for Horovod and returns it: the main split "
      "becomes this process's shard (\"__horovod__\"), the optimiser Horovod's distributed one, "
      "every learning rate (and the scheduler's base rates) is multiplied by the number of "
      "processes, and a HorovodExtension is attached. With `scheduler_factory` the loop's "
      "TorchLRScheduler gets a new native scheduler made from it. Raises AssertionError when a "
      "factory is given and the loop has no TorchLRScheduler, before the loop changes.");
  cls.class_method("get_hvd", [m](py::object) { return import_horovod(m); },
                   "The horovod.torch module (imported, not initialised). Raises "
                   "HorovodImportError, with the ImportError as its context, when it cannot be "
                   "imported.");
  // The one manager of the process, handed to the core by TorchFramework.
  m.attr("torch_horovod_manager") = cls.build()();
}

// Before training, with use_warmup: a WarmupLR towards every group's
// (scaled) rate, over 5 epochs (1 for runs of at most 5), unless the run
// resumes past its end.
void attach_warmup(const py::module_& m, const py::object& self) {
  py::object loop = self.attr("main_loop");
  // Every group warms up to its own (scaled) rate, not the first group's.
  py::list target_lr;
  for (py::handle group : loop_param_groups(loop)) target_lr.append(group[py::str("lr")]);
  py::object max_steps = loop.attr("get_extension")(py::arg("instance_type") = m.attr("MaxSteps"));
  int recovery_epochs = 5;
  if (!max_steps.is_none()) {
    py::object epochs = max_steps.attr("max_value");
    if (!py::bool_(max_steps.attr("is_epoch_based"))) {
      py::object batches = py::int_(py::len(loop.attr("data_splits")["__horovod__"]));
      epochs = py::reinterpret_steal<py::object>(PyNumber_FloorDivide(epochs.ptr(), batches.ptr()));
      if (!epochs) throw py::error_already_set();
    }
    recovery_epochs = epochs > py::int_(5) ? 5 : 1;
  }
  // A run resumed past the warm-up's last iteration has nothing to warm
  // up; a warm-up attached there would never reach its end.
  const py::int_ warmup_iterations(py::len(loop.attr("data_splits")["__horovod__"]) *
                                   recovery_epochs);
  if (py::object(self.attr("current_iteration_nb")) < warmup_iterations) {
    py::object warmup = m.attr("WarmupLR")(py::arg("recovery_epoch_time") = recovery_epochs,
                                           py::arg("target_lr") = target_lr);
    self.attr("main_loop").attr("add_extension")(warmup);
    warmup.attr("setup")();
  }
}

void horovod_event(const py::module_& m, const py::object& self, const py::object& event) {
  py::object hvd = m.attr("torch_horovod_manager").attr("get_hvd")();
  const bool before_training = event.equal(py::str("before_training"));
  if (before_training && py::bool_(self.attr("use_warmup"))) attach_warmup(m, self);
  if (before_training || event.equal(py::str("at_reloading"))) {
    py::object loop = self.attr("main_loop");
    hvd.attr("broadcast_parameters")(loop.attr("model").attr("native_model").attr("state_dict")(),
                                     py::arg("root_rank") = 0);
    hvd.attr("broadcast_optimizer_state")(loop.attr("optimizer").attr("native_optimizer"),
                                          py::arg("root_rank") = 0);
  }
  if (event.equal(py::str("before_epoch"))) {
    self.attr("hvd_sampler").attr("set_epoch")(self.attr("current_epoch_nb"));
  }
  if (event.equal(py::str("after_training"))) {
    m.attr("logger").attr("debug")("Clearing all_reduce backward hooks");
    for (py::handle handle : self.attr("hvd_optimizer").attr("bw_hook_handles")) {
      handle.attr("remove")();
    }
  }
}

void make_extension(py::module_& m) {
  ClassBuilder cls(m, "HorovodExtension", {m.attr("EventSubscriber")},
                   "The training-loop extension for data-parallel training under Horovod: warms "
                   "the scaled learning rate up, broadcasts the first process's model and "
                   "optimiser state before training and after a reload, sets the sampler's epoch "
                   "and removes Horovod's gradient hooks at the end.");
  auto self_cls = cls.ref();
  cls.attr("fixed_horovod", py::bool_(false));
  cls.method(
      "__init__",
      [self_cls](py::object self, py::object use_warmup) {
        self_cls.super(self).attr("__init__")(
            py::arg("before_training") = true, py::arg("before_epoch") = true,
            py::arg("after_training") = true, py::arg("at_reloading") = true);
        self.attr("use_warmup") = use_warmup;
      },
      py::arg("use_warmup") = true,
      "Subscribes to the loop's \"before_training\", \"before_epoch\", \"after_training\" and "
      "\"at_reloading\" events; `use_warmup` adds a WarmupLR to the loop before training.");
  cls.property("hvd_optimizer", [](py::object self) {
    return self.attr("main_loop").attr("optimizer").attr("native_optimizer");
  },
               "The loop's optimiser: Horovod's distributed optimiser once the loop is rewritten.");
  cls.property("hvd_sampler", [](py::object self) {
    return self.attr("main_loop").attr("main_split").attr("native_dl").attr("sampler");
  },
               "The sampler of the loop's main split (a DistributedSampler under Horovod).");
  cls.method(
      "event_do",
      [m](py::object self, py::object event) { horovod_event(m, self, event); },
      py::arg("event"),
      "Handles the loop event named `event`. \"before_training\": attaches a WarmupLR to every "
      "group's scaled rate (over 5 epochs, or 1 for runs of at most 5 epochs) unless the run is "
      "past it, then broadcasts the model's state and the optimiser's state from rank 0, as "
      "\"at_reloading\" does; \"before_epoch\" sets the sampler's epoch; \"after_training\" "
      "removes the optimiser's gradient hooks. Returns None.");
  cls.build();
}

}  // namespace

PYBIND11_MODULE(dist_bridge, m) {
  m.attr("torch") = py::module_::import("torch");
  import_names(m, "corvex.profiler", {"Device"});
  m.attr("ologger") = py::module_::import("orrery.ologger");
  import_names(m, "orrery.core.loop.extension", {"EventSubscriber", "MaxSteps"});
  import_names(m, "orrery.framework.distributed", {"HorovodManager"});
  import_names(m, "orrery.framework.ext_bridge", {"WarmupLR", "TorchLRScheduler"});
  import_names(m, "orrery.oexceptions", {"HorovodImportError"});
  m.attr("logger") = m.attr("ologger").attr("getLogger")(m.attr("__name__"));
  make_manager(m);
  make_extension(m);
}
