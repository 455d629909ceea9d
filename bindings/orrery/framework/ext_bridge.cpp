// orrery.framework.ext_bridge: training-loop extensions. Setup keeps the model
// and the loss on the loop's device; TorchLRScheduler steps a native
// learning-rate scheduler; WarmupLR raises the learning rate linearly over the
// first epochs while the scheduler is muted.
#include <torch/extension.h>

#include "class_builder.h"
#include "python_checks.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;
using orrery::bind::python_assert;

namespace {

py::object param_groups(const py::object& self) {
  return self.attr("main_loop").attr("optimizer").attr("native_optimizer").attr("param_groups");
}

// zip(param_groups, targets): pairs side by side, stopping at the shorter.
template <typename F>
void for_each_group_target(const py::object& groups, const py::object& targets, F f) {
  py::iterator group_it = py::iter(groups);
  py::iterator target_it = py::iter(targets);
  while (group_it != py::iterator::sentinel() && target_it != py::iterator::sentinel()) {
    f(py::reinterpret_borrow<py::object>(*group_it),
      py::reinterpret_borrow<py::object>(*target_it));
    ++group_it;
    ++target_it;
  }
}

void make_setup(py::module_& m) {
  ClassBuilder cls(m, "Setup", {m.attr("EventSubscriber")},
                   "The training-loop extension that keeps the model and the loss on the loop's "
                   "device: moves both there before training and at the start of every epoch, "
                   "when it also puts the model in training mode.");
  auto self_cls = cls.ref();
  cls.method("__init__", [self_cls](py::object self) {
    self_cls.super(self).attr("__init__")(py::arg("before_training") = true,
                                          py::arg("before_epoch") = true);
  },
             "Subscribes to the loop's \"before_training\" and \"before_epoch\" events.");
  cls.property("device", [](py::object self) { return self.attr("main_loop").attr("device"); },
               "The device of the main loop the extension is attached to, read on every access.");
  cls.method(
      "event_do",
      [](py::object self, py::object event) {
        auto to_device = [&self] {
          // The device is read for each move, as the loop may change it.
          py::object loop = self.attr("main_loop");
          loop.attr("model").attr("to_device")(self.attr("device"));
          py::object loss = self.attr("main_loop").attr("loss_function");
          loss.attr("to_device")(self.attr("device"));
        };
        if (event.equal(py::str("before_training"))) {
          to_device();
        } else if (event.equal(py::str("before_epoch"))) {
          self.attr("main_loop").attr("model").attr("train")();
          to_device();
        }
      },
      py::arg("event"),
      "Handles the loop event named `event`: \"before_training\" moves the model and the loss "
      "function to the loop's device; \"before_epoch\" puts the model in training mode and moves "
      "both again. Other events change nothing. Returns None.");
  cls.build();
}

py::dict scheduler_dict(int patience, double factor, double vanish_lr) {
  py::dict factory;
  factory["name"] = "ReduceLROnPlateau";
  factory["mode"] = "max";
  factory["patience"] = patience;
  factory["factor"] = factor;
  py::dict result;
  result["factory"] = factory;
  result["eval_based"] = true;
  result["vanish_lr"] = vanish_lr;
  return result;
}

void make_lr_scheduler(py::module_& m) {
  ClassBuilder cls(m, "TorchLRScheduler", {m.attr("AbstractLRScheduler")},
                   "The training-loop extension that steps a native PyTorch learning-rate "
                   "scheduler (native_scheduler) and carries its state in and out of checkpoints; "
                   "a WarmupLR mutes it while it warms up.");
  cls.method("dump_native_info",
             [](py::object self) { return self.attr("native_scheduler").attr("state_dict")(); },
             "The native scheduler's state_dict(), for a checkpoint.");
  cls.method(
      "load_native_info",
      [](py::object self, py::object native_state) {
        py::object scheduler = self.attr("native_scheduler");
        scheduler.attr("load_state_dict")(native_state);
        return scheduler;
      },
      py::arg("native_state"),
      "Loads `native_state`, a state made by dump_native_info, into the native scheduler and "
      "returns the scheduler.");
  cls.method(
      "_step_lr",
      [](py::object self, py::object scheduler_step_arg) {
        py::object scheduler = self.attr("native_scheduler");
        if (scheduler_step_arg.is_none()) {
          scheduler.attr("step")();
        } else {
          scheduler.attr("step")(scheduler_step_arg);
        }
        return param_groups(self)[py::int_(0)][py::str("lr")];
      },
      py::arg("scheduler_step_arg") = py::none(),
      "Steps the native scheduler, with `scheduler_step_arg` (a monitored metric) when it is not "
      "None, and returns the learning rate of the optimiser's first parameter group.");
  // The default task is Task.CLS as it was when the class was made.
  py::object task_enum = m.attr("Task");
  cls.class_method(
      "get_default_scheduler_dict",
      [task_enum](py::object, py::object task) -> py::object {
        if (task.equal(task_enum.attr("CLS"))) return scheduler_dict(10, 0.2, 1e-4);
        if (task.equal(task_enum.attr("OD")) || task.equal(task_enum.attr("SEG"))) {
          return scheduler_dict(3, 0.1, 1e-6);
        }
        return py::none();
      },
      py::arg("task") = task_enum.attr("CLS"),
      "The default scheduler description for a kind of task, as a new dict: for Task.CLS a "
      "ReduceLROnPlateau (mode \"max\", patience 10, factor 0.2) with vanish_lr 1e-4, for Task.OD "
      "and Task.SEG one with patience 3 and factor 0.1 and vanish_lr 1e-6, each evaluation-based; "
      "None for any other task.");
  cls.build();
}

// The rate each parameter group warms up to, from target_lr: the group's
// current rate for None, one entry per group for a list or tuple, else the
// one value for every group.
void set_group_targets(const py::object& self) {
  py::object target_lr = self.attr("target_lr");
  if (target_lr.is_none()) {
    py::object targets = self.attr("_pgroup_target_lr");
    for (py::handle group : param_groups(self)) targets.attr("append")(group["lr"]);
  } else if (py::isinstance<py::list>(target_lr) || py::isinstance<py::tuple>(target_lr)) {
    py::object targets = self.attr("_pgroup_target_lr");
    for_each_group_target(param_groups(self), target_lr,
                          [&](const py::object&, const py::object& target) {
                            targets.attr("append")(target);
                          });
  } else {
    py::list targets;
    for (py::size_t i = 0, n = py::len(param_groups(self)); i < n; ++i) {
      targets.append(target_lr);
    }
    self.attr("_pgroup_target_lr") = targets;
  }
}

// Mutes the loop's TorchLRScheduler, if any, for the warm-up.
void mute_scheduler(const py::module_& m, const py::object& self) {
  py::object sched_ext = self.attr("main_loop").attr("get_extension")(
      py::arg("instance_type") = m.attr("TorchLRScheduler"));
  if (sched_ext.is_none()) return;
  m.attr("logger").attr("debug")(py::str("Putting {} on mute").format(sched_ext));
  sched_ext.attr("muted") = true;
  self.attr("_scheduler_extension") = sched_ext;
}

// The last warm-up iteration: every group gets its target, the extension
// leaves the loop and the scheduler speaks again.
void finish_warmup(const py::module_& m, const py::object& self) {
  py::object logger = m.attr("logger");
  logger.attr("debug")("Warmup done!");
  for_each_group_target(param_groups(self), self.attr("_pgroup_target_lr"),
                        [](const py::object& group, const py::object& target) {
                          group[py::str("lr")] = target;
                        });
  self.attr("unsubscribe")(self.attr("main_loop").attr("event_publisher"));
  self.attr("_done") = true;
  py::object sched_ext = self.attr("_scheduler_extension");
  if (!sched_ext.is_none()) {
    logger.attr("debug")(py::str("Removing {} from mute").format(sched_ext));
    sched_ext.attr("muted") = false;
  }
}

void warmup_step(const py::module_& m, const py::object& self, const py::object& event) {
  python_assert(event.equal(py::str("before_iteration")) && !py::bool_(self.attr("_done")));
  const py::int_ one(1);
  py::object next = py::object(self.attr("current_iteration_nb")) + one;
  // A run resumed past the warm-up (the counter comes from a checkpoint)
  // ends it at once, so the rate never climbs beyond its target.
  if (next >= py::object(self.attr("total_iterations"))) {
    finish_warmup(m, self);
    return;
  }
  for_each_group_target(
      param_groups(self), self.attr("_pgroup_target_lr"),
      [&self, &one](const py::object& group, const py::object& target) {
        // (i + 1) * target first, then true division.
        py::object step = py::object(self.attr("current_iteration_nb")) + one;
        group[py::str("lr")] = (step * target) / py::object(self.attr("total_iterations"));
      });
}

void make_warmup(py::module_& m) {
  ClassBuilder cls(m, "WarmupLR", {m.attr("EventSubscriber")},
                   "The training-loop extension that raises the learning rate linearly over the "
                   "first `recovery_epoch_time` epochs, from target / N at the first iteration to "
                   "the target at the N-th (N iterations in all), while the loop's "
                   "TorchLRScheduler is muted; then it leaves the loop and unmutes the scheduler.");
  auto self_cls = cls.ref();
  cls.method(
      "__init__",
      [self_cls](py::object self, py::object recovery_epoch_time, py::object target_lr) {
        self_cls.super(self).attr("__init__")(py::arg("before_iteration") = true);
        self.attr("recovery_epoch_time") = recovery_epoch_time;
        self.attr("target_lr") = target_lr;
        self.attr("_pgroup_target_lr") = py::list();
        self.attr("total_iterations") = py::none();
        self.attr("_done") = false;
        self.attr("_scheduler_extension") = py::none();
      },
      py::arg("recovery_epoch_time") = 1, py::arg("target_lr") = py::none(),
      "Subscribes to the loop's \"before_iteration\" event. `recovery_epoch_time` is the length "
      "of the warm-up in epochs; `target_lr` the rate to reach: None for each parameter group's "
      "current rate, a list or tuple for one rate per group, or one number for all.");
  cls.method("setup", [self_cls, m](py::object self) {
    self_cls.super(self).attr("setup")();
    set_group_targets(self);
    py::object loop = self.attr("main_loop");
    self.attr("total_iterations") =
        py::int_(py::len(loop.attr("main_split"))) * py::object(self.attr("recovery_epoch_time"));
    mute_scheduler(m, self);
  },
             "Prepares the warm-up once the extension is attached to a loop whose optimiser "
             "exists: fixes the target rate of every parameter group and the number of warm-up "
             "iterations (batches per epoch of the main split times recovery_epoch_time), and "
             "mutes the loop's TorchLRScheduler, if any. Returns None.");
  cls.method(
      "event_do",
      [m](py::object self, py::object event) { warmup_step(m, self, event); },
      py::arg("event"),
      "Sets the learning rate of every parameter group before an iteration: (i + 1) / N of its "
      "target at iteration i, the target itself at the last one (N - 1) or at any later one (a "
      "run resumed past the warm-up), when the extension also leaves the loop and unmutes the "
      "scheduler. Returns None. Raises AssertionError for another "
      "event or after the warm-up ended.");
  cls.build();
}

}  // namespace

PYBIND11_MODULE(ext_bridge, m) {
  m.attr("ologger") = py::module_::import("orrery.ologger");
  import_names(m, "orrery.conductor", {"Task"});
  import_names(m, "orrery.core.loop.extension", {"EventSubscriber", "AbstractLRScheduler"});
  m.attr("logger") = m.attr("ologger").attr("getLogger")(m.attr("__name__"));
  make_setup(m);
  make_lr_scheduler(m);
  make_warmup(m);
}
