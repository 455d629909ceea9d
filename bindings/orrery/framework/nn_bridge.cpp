// orrery.framework.nn_bridge: layer wrappers and the NN backend.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

PYBIND11_MODULE(nn_bridge, m) {
  import_names(m, "orrery.framework.nn",
               {"NN", "BaseWeightsBiasLayer", "Convolution1D", "Convolution2D", "Convolution3D",
                "IdentityLayer"});
  py::module_::import("orrery.framework.ext_bridge");
  py::module_::import("orrery.framework.quant_bridge");
  ClassBuilder(m, "TorchNN", {m.attr("NN")}).build();
  ClassBuilder(m, "TorchLayer", {m.attr("BaseWeightsBiasLayer")}).build();
  ClassBuilder(m, "TorchConv1D", {m.attr("Convolution1D"), m.attr("TorchLayer")}).build();
  ClassBuilder(m, "TorchConv2D", {m.attr("Convolution2D"), m.attr("TorchLayer")}).build();
  ClassBuilder(m, "TorchConv3D", {m.attr("Convolution3D"), m.attr("TorchLayer")}).build();
  ClassBuilder(m, "TorchIdentityLayer", {m.attr("IdentityLayer")}).build();
}
