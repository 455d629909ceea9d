// orrery.torch: the installed version of orrery-torch, read through the core.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(torch, m) {
  m.attr("__version__") =
      py::module_::import("orrery.core.tools").attr("package_version")("orrery-torch");
}
