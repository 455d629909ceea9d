// Running a model in eval (or training) mode for a moment and giving every
// module its own train/eval mode back afterwards, whether or not the run
// raised.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

namespace orrery::bind {

namespace py = pybind11;

// Records the mode of every module of `root` and switches the whole model to
// training mode or to eval mode; the destructor puts each module's own mode
// back, so deliberately mixed modes (frozen batch norms in a training model)
// survive.
class ModeGuard {
 public:
  ModeGuard(const py::handle& root, bool training) {
    for (py::handle module : root.attr("modules")())
      modes_.emplace_back(py::reinterpret_borrow<py::object>(module), module.attr("training"));
    root.attr("train")(training);
  }
  ModeGuard(const ModeGuard&) = delete;
  ModeGuard& operator=(const ModeGuard&) = delete;

  ~ModeGuard() {
    // An error already on its way out keeps going; a failure to restore
    // cannot be raised from here.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    for (auto& [module, training] : modes_) PyObject_SetAttrString(module.ptr(), "training", training.ptr());
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
  }

 private:
  std::vector<std::pair<py::object, py::object>> modes_;
};

class EvalModeGuard : public ModeGuard {
 public:
  explicit EvalModeGuard(const py::handle& root) : ModeGuard(root, false) {}
};

}  // namespace orrery::bind
