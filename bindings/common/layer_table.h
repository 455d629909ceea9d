// The engine's table of prunable layer kinds, read against live torch.nn
// modules: which kind a module is, and its sizes.
#pragma once

#include <torch/extension.h>

#include <string>
#include <vector>

#include "orrery_engine/layer_kinds.h"
#include "python_checks.h"

namespace orrery::bind {

namespace py = pybind11;
namespace dep = orrery::dependency;

// The class every layer of `row` derives from (None for tensor attributes),
// imported once. Leaked on purpose: static py::objects would be released
// after the interpreter has shut down.
inline const py::object& kind_class(const dep::LayerKind& row) {
  static const std::vector<py::object>& classes = *new std::vector<py::object>([] {
    std::vector<py::object> out;
    for (const dep::LayerKind& r : dep::layer_kinds())
      out.push_back(r.module == nullptr ? py::object(py::none()) : py::object(py::module_::import(r.module).attr(r.base_class)));
    return out;
  }());
  return classes[&row - dep::layer_kinds().data()];
}

// Whether `module` is the torch.nn layer its kind stands for. A module that
// calls conv2d, linear or a norm on its own parameters is not one: its size
// attributes are its own business.
inline bool is_layer_of_kind(const py::handle& module, dep::ModuleKind kind) {
  const dep::LayerKind& row = dep::layer_kind(kind);
  if (row.module == nullptr) return true;
  return py::isinstance(module, kind_class(row));
}

// The kind of a torch.nn layer, or null for modules of no prunable kind.
inline const dep::LayerKind* kind_of(const py::handle& module) {
  for (const dep::LayerKind& row : dep::layer_kinds())
    if (row.module != nullptr && py::isinstance(module, kind_class(row))) return &row;
  return nullptr;
}

// A size attribute as a width: a tuple (a LayerNorm's normalized_shape) gives
// its last entry; `whole` is set to whether it was a single number or a
// tuple of one.
// A size that is not an int (a float, None) is a TypeError naming it.
inline int64_t size_attribute(const py::handle& module, const char* name, bool* whole = nullptr) {
  py::object value = module.attr(name);
  const std::string what = type_name(module) + "." + name;
  if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
    py::tuple shape(value);
    if (whole != nullptr) *whole = shape.size() == 1;
    return shape.empty() ? 0 : to_int64(shape[shape.size() - 1], what);
  }
  if (whole != nullptr) *whole = true;
  return to_int64(value, what);
}

// The sizes of a layer of kind `row` as they are now.
inline dep::ModuleSizes layer_sizes(const py::handle& module, const dep::LayerKind& row) {
  dep::ModuleSizes s;
  s.out = size_attribute(module, row.out_size);
  s.in = row.in_size != nullptr ? size_attribute(module, row.in_size) : s.out;
  s.groups = row.groups_size != nullptr ? size_attribute(module, row.groups_size) : 1;
  return s;
}

// The channels a layer reads (Side::Input) or produces (Side::Output), or -1
// for modules of no prunable kind and for layers whose width is not a
// channel count (one shared PReLU slope, a layer norm over several
// dimensions).
inline int64_t layer_width(const py::handle& module, dep::Side side) {
  const dep::LayerKind* row = kind_of(module);
  if (row == nullptr) return -1;
  // A norm with neither affine parameters nor running statistics (an
  // InstanceNorm's default) normalises each channel on its own, whatever
  // their number: it has no width the channels must keep.
  if (row->kind == dep::ModuleKind::BatchNorm && py::getattr(module, "weight", py::none()).is_none() &&
      py::getattr(module, "running_mean", py::none()).is_none())
    return -1;
  bool whole = true;
  const char* name = side == dep::Side::Input && row->in_size != nullptr ? row->in_size : row->out_size;
  const int64_t width = size_attribute(module, name, &whole);
  if (!whole || (row->one_is_shared && width == 1)) return -1;
  return width;
}

inline int64_t input_width(const py::handle& module) { return layer_width(module, dep::Side::Input); }

// The size attributes pruning lowers, as a tuple of their values now (None
// where the module has no such attribute).
inline py::tuple size_signature(const py::handle& module) {
  py::list values;
  for (const char* name : dep::size_attributes()) values.append(py::getattr(module, name, py::none()));
  return py::tuple(values);
}

}  // namespace orrery::bind
