// Checks that behave as the Python statements they stand for.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

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

// AssertionError with `message` whatever the -O setting: for checks of what a
// caller handed in, which keep the exception type an assert statement gave.
[[noreturn]] inline void raise_assertion_error(const std::string& message) {
  PyErr_SetString(PyExc_AssertionError, message.c_str());
  throw pybind11::error_already_set();
}

// The class name of `value`, for messages: "Tensor", "NoneType".
inline std::string type_name(const pybind11::handle& value) {
  return pybind11::str(pybind11::type::of(value).attr("__name__"));
}

}  // namespace orrery::bind
