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
  ClassBuilder cls(m, "Setup", {m.attr("EventSubscriber")});
  auto self_cls = cls.ref();
  cls.method("__init__", [self_cls](py::object self) {
    self_cls.super(self).attr("__init__")(py::arg("before_training") = true,
                                          py::arg("before_epoch") = true);
  });
  cls.property("device", [](py::object self) { return self.attr("main_loop").attr("device"); });
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
      py::arg("event"));
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
  ClassBuilder cls(m, "TorchLRScheduler", {m.attr("AbstractLRScheduler")});
  cls.method("dump_native_info",
             [](py::object self) { return self.attr("native_scheduler").attr("state_dict")(); });
  cls.method(
      "load_native_info",
      [](py::object self, py::object native_state) {
        py::object scheduler = self.attr("native_scheduler");
        scheduler.attr("load_state_dict")(native_state);
        return scheduler;
      },
      py::arg("native_state"));
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
      py::arg("scheduler_step_arg") = py::none());
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
      py::arg("task") = task_enum.attr("CLS"));
  cls.build();
}

void make_warmup(py::module_& m) {
  ClassBuilder cls(m, "WarmupLR", {m.attr("EventSubscriber")});
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
      py::arg("recovery_epoch_time") = 1, py::arg("target_lr") = py::none());
  cls.method("setup", [self_cls, m](py::object self) {
    self_cls.super(self).attr("setup")();
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
    py::object loop = self.attr("main_loop");
    self.attr("total_iterations") =
        py::int_(py::len(loop.attr("main_split"))) * py::object(self.attr("recovery_epoch_time"));
    py::object sched_ext =
        loop.attr("get_extension")(py::arg("instance_type") = m.attr("TorchLRScheduler"));
    if (sched_ext.is_none()) return;
    m.attr("logger").attr("debug")(py::str("Putting {} on mute").format(sched_ext));
    sched_ext.attr("muted") = true;
    self.attr("_scheduler_extension") = sched_ext;
  });
  cls.method(
      "event_do",
      [m](py::object self, py::object event) {
        python_assert(event.equal(py::str("before_iteration")) && !py::bool_(self.attr("_done")));
        const py::int_ one(1);
        py::object next = py::object(self.attr("current_iteration_nb")) + one;
        if (next.equal(self.attr("total_iterations"))) {
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
          return;
        }
        for_each_group_target(
            param_groups(self), self.attr("_pgroup_target_lr"),
            [&self, &one](const py::object& group, const py::object& target) {
              // (i + 1) * target first, then true division.
              py::object step = py::object(self.attr("current_iteration_nb")) + one;
              group[py::str("lr")] = (step * target) / py::object(self.attr("total_iterations"));
            });
      },
      py::arg("event"));
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
