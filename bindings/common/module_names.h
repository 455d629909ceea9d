// Qualified names of modules inside a model, as named_modules() gives them.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace orrery::bind {

namespace py = pybind11;

// The qualified name of `module` inside `root` ("layer1.0.conv1"; "" for the
// root itself), or None when `module` is not part of `root`.
inline py::object qualified_name(py::handle root, py::handle module) {
  for (py::handle item : root.attr("named_modules")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    if (py::handle(pair[1]).is(module)) return pair[0];
  }
  return py::none();
}

// Every module of `root` by identity: {id(module): qualified name}. One walk
// for callers that name many modules.
inline py::dict qualified_names(py::handle root) {
  py::dict names;
  py::object id = py::module_::import("builtins").attr("id");
  for (py::handle item : root.attr("named_modules")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    names[id(pair[1])] = pair[0];
  }
  return names;
}

}  // namespace orrery::bind
