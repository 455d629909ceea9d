// Putting modules back exactly as they were. Pruning replaces a module's
// parameters, buffers and size attributes but never writes into a tensor, so
// a copy of the module's attribute dictionaries (not of its tensors) is enough
// to undo it. The structured pruning functions, pruning plans and the surgeon
// all undo their changes through Rollback.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace orrery::bind {

namespace py = pybind11;

class ModuleSnapshot {
 public:
  explicit ModuleSnapshot(py::object module) : module_(std::move(module)) {
    py::dict d = module_.attr("__dict__");
    attrs_ = copy_of(d);
    parameters_ = copy_of(d["_parameters"]);
    buffers_ = copy_of(d["_buffers"]);
  }

  const py::object& module() const { return module_; }

  void restore() const {
    py::dict d = module_.attr("__dict__");
    for (const char* store : {"_parameters", "_buffers"}) {
      py::object live = d[store];
      live.attr("clear")();
      live.attr("update")(std::string(store) == "_parameters" ? parameters_ : buffers_);
    }
    py::list keys(d.attr("keys")());
    for (py::handle key : keys) {
      if (!attrs_.contains(key)) PyDict_DelItem(d.ptr(), key.ptr());
    }
    for (auto item : attrs_) {
      const std::string key = py::str(item.first);
      if (key != "_parameters" && key != "_buffers") d[item.first] = item.second;
    }
  }

 private:
  // A new plain dict with the same items (py::dict(d) would alias a dict).
  static py::dict copy_of(const py::handle& mapping) {
    return py::reinterpret_steal<py::dict>(PyDict_Copy(mapping.ptr()));
  }

  py::object module_;
  py::dict attrs_, parameters_, buffers_;
};

// Snapshots of every module about to change, each taken once, before its
// first change; restore() puts them all back, newest first, and keeps an
// error already on its way out.
class Rollback {
 public:
  void keep(const py::object& module) {
    for (const ModuleSnapshot& s : snapshots_)
      if (s.module().is(module)) return;
    snapshots_.emplace_back(module);
  }

  void restore() const {
    py::error_scope pending;
    for (auto it = snapshots_.rbegin(); it != snapshots_.rend(); ++it) it->restore();
  }

  // Runs `change`; if it raises, every kept module is put back and the error goes on.
  template <typename F>
  auto guard(F&& change) -> decltype(change()) {
    try {
      return change();
    } catch (...) {
      restore();
      throw;
    }
  }

 private:
  std::vector<ModuleSnapshot> snapshots_;
};

}  // namespace orrery::bind
