// Checks of the files an export is about to write. Every file is written by the
// companion package's corvex._atomic (a temporary file beside the target,
// renamed over it); the check here is that same one, run before any work, so
// that an empty or over-long name, a missing directory, or a target that is a
// directory, device, FIFO or socket is refused before the model is converted
// or changed.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "python_checks.h"

namespace orrery::bind {

// `path` as a str once corvex._atomic would write it; raises its error otherwise.
inline pybind11::str check_output_file(const pybind11::handle& path) {
  namespace py = pybind11;
  return py::module_::import("corvex._atomic").attr("check_destination")(path);
}

// A str or os.PathLike path prefix as a str; TypeError or ValueError naming
// `argument` for anything else, or for an empty one.
inline pybind11::str output_prefix(const pybind11::handle& path, const char* argument) {
  namespace py = pybind11;
  if (!py::isinstance<py::str>(path) &&
      !py::isinstance(path, py::module_::import("os").attr("PathLike"))) {
    throw py::type_error(std::string(argument) + " must be a str or os.PathLike, got " +
                         type_name(path) + "; nothing was written");
  }
  py::object text = py::module_::import("os").attr("fspath")(path);
  if (!py::isinstance<py::str>(text)) {
    throw py::type_error(std::string(argument) + " must name a file as text, got " +
                         type_name(text) + "; nothing was written");
  }
  if (py::len(text) == 0) {
    throw py::value_error(std::string(argument) + " is empty; give a file name (prefix)");
  }
  return py::str(text);
}

}  // namespace orrery::bind
