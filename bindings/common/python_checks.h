// Checks that behave as the Python statements they stand for.
#pragma once

#include <pybind11/pybind11.h>

namespace orrery::bind {

// `assert condition[, message]`: AssertionError (without arguments when there
// is no message), skipped when Python runs with -O like any assert statement.
inline void python_assert(bool condition, const char* message = nullptr) {
  namespace py = pybind11;
  if (condition) return;
  if (py::module_::import("sys").attr("flags").attr("optimize").cast<int>() > 0) return;
  if (message == nullptr) {
    PyErr_SetNone(PyExc_AssertionError);
  } else {
    PyErr_SetString(PyExc_AssertionError, message);
  }
  throw py::error_already_set();
}

}  // namespace orrery::bind
