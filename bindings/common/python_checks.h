// Checks that behave as the Python statements they stand for.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <vector>

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

// `value` as an int64 (an int, or anything with __index__). TypeError naming
// `what` for anything else (a float, None), ValueError beyond int64.
inline int64_t to_int64(const pybind11::handle& value, const std::string& what) {
  namespace py = pybind11;
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::type_error(what + " must be an int, got " + std::string(py::repr(value)) + " (" +
                         type_name(value) + ")");
  }
  int overflow = 0;
  const long long out = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow != 0) {
    throw py::value_error(what + " is " + std::string(py::repr(value)) +
                          ", far beyond any size a tensor can have");
  }
  return out;
}

// The arguments of a call to `fn(names...)`, bound as Python binds them:
// positionally, then by keyword. The first `required` names have no default;
// a parameter left out comes back as a null object. A missing, repeated,
// surplus or unknown argument raises the TypeError Python would raise.
inline std::vector<pybind11::object> bind_arguments(const char* fn, const pybind11::args& args,
                                                    const pybind11::kwargs& kwargs,
                                                    std::initializer_list<const char*> names,
                                                    size_t required) {
  namespace py = pybind11;
  const std::vector<const char*> params(names);
  const std::string who = std::string(fn) + "() ";
  if (args.size() > params.size()) {
    const std::string takes = required == params.size()
                                  ? std::to_string(required)
                                  : "from " + std::to_string(required) + " to " + std::to_string(params.size());
    throw py::type_error(who + "takes " + takes + " positional arguments but " +
                         std::to_string(args.size()) + " were given");
  }
  std::vector<py::object> bound(params.size());
  for (size_t i = 0; i < args.size(); ++i) bound[i] = args[i];
  for (auto item : kwargs) {
    const std::string key = py::str(item.first);
    size_t i = 0;
    while (i < params.size() && key != params[i]) ++i;
    if (i == params.size()) throw py::type_error(who + "got an unexpected keyword argument '" + key + "'");
    if (bound[i]) throw py::type_error(who + "got multiple values for argument '" + key + "'");
    bound[i] = py::reinterpret_borrow<py::object>(item.second);
  }
  std::vector<std::string> missing;
  for (size_t i = 0; i < required; ++i)
    if (!bound[i]) missing.push_back("'" + std::string(params[i]) + "'");
  if (!missing.empty()) {
    std::string list = missing[0];
    for (size_t i = 1; i < missing.size(); ++i) list += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
    throw py::type_error(who + "missing " + std::to_string(missing.size()) + " required positional argument" +
                         (missing.size() == 1 ? "" : "s") + ": " + list);
  }
  return bound;
}

}  // namespace orrery::bind
