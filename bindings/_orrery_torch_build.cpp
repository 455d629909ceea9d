// _orrery_torch_build: what orrery-torch was built against, and the check that
// this process imports that PyTorch.
//
// The other modules link libtorch: in a process with another PyTorch they fail
// inside the dynamic loader (undefined symbols, or a libtorch of the wrong
// version), before any code of theirs runs. This module links no libtorch (it
// reads only the version macros of its headers), so it loads whatever PyTorch
// is installed, and _orrery_torch_guard calls check_torch() before any of the
// others is loaded.
#include <pybind11/pybind11.h>
#include <torch/version.h>

#include <sstream>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// The release numbers at the head of a version: "2.1.0+cu121" and "2.1.0a0"
// give {2, 1, 0}.
std::vector<long> release_of(const std::string& version) {
  std::vector<long> parts;
  std::string digits;
  for (char c : version) {
    if (c >= '0' && c <= '9') {
      digits += c;
      continue;
    }
    if (digits.empty()) break;
    parts.push_back(std::stol(digits));
    digits.clear();
    if (c != '.') break;
  }
  if (!digits.empty()) parts.push_back(std::stol(digits));
  parts.resize(3, 0);
  return parts;
}

void check_torch() {
  py::module_ torch = py::module_::import("torch");
  const std::string found = py::str(py::getattr(torch, "__version__", py::str("(no __version__)")));
  const std::vector<long> built{TORCH_VERSION_MAJOR, TORCH_VERSION_MINOR, TORCH_VERSION_PATCH};
  if (release_of(found) == built) return;
  std::ostringstream text;
  text << "orrery-torch was built against PyTorch " << TORCH_VERSION << ", but this process imports "
       << "PyTorch " << found << " (" << std::string(py::str(py::getattr(torch, "__file__", py::none())))
       << "); its compiled modules only load with the PyTorch they were built against. Install "
       << "PyTorch " << TORCH_VERSION << ", or rebuild orrery-torch with this one (make build, or "
       << "pip install --no-build-isolation . in its source tree).";
  throw py::import_error(text.str());
}

py::tuple split(const std::string& list) {
  py::list items;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) items.append(item);
  return py::tuple(items);
}

}  // namespace

PYBIND11_MODULE(_orrery_torch_build, m) {
  m.doc() = "What orrery-torch was built against; check_torch() compares it with this process.";
  m.attr("torch_version") = TORCH_VERSION;
  m.attr("pybind11_version") = std::to_string(PYBIND11_VERSION_MAJOR) + "." +
                               std::to_string(PYBIND11_VERSION_MINOR) + "." +
                               std::to_string(PYBIND11_VERSION_PATCH);
  m.attr("build_type") = ORRERY_BUILD_TYPE;
  // The modules that link libtorch, which the check guards.
  m.attr("torch_modules") = split(ORRERY_TORCH_MODULES);
  m.def("check_torch", &check_torch,
        "Raises ImportError, naming both versions, unless the PyTorch this process imports "
        "has the release (major.minor.patch) orrery-torch was built against.");
}
