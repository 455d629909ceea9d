// orrery.framework.prims_bridge: the PyTorch half of the core's LSQ primitive.
// Loading the module registers TorchLSQ as the backend's LSQ quantization method.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

namespace {

constexpr const char* kUndefinedPolarity =
    "activation polarity was supposed to be inferred from layer but value is undefined";

void make_torch_lsq(py::module_& m) {
  ClassBuilder cls(m, "TorchLSQ", {m.attr("LSQ")},
                   "Turns 2-D convolutions into LSQ-quantized convolutions.");
  auto self_cls = cls.ref();
  cls.method("__init__", [self_cls, m](py::object self, py::args args, py::kwargs kwargs) {
    self_cls.super(self).attr("__init__")(*args, **kwargs);
    // Refused at creation rather than at the first layer transformed.
    m.attr("_check_bit_widths")(self.attr("wbits"), self.attr("abits"), self.attr("polarity"));
  },
             "Passes every argument to the core's LSQ primitive (wbits, abits, polarity, "
             "channel_quant, act_polarity and the rest of its settings), then checks the bit "
             "widths. Raises ValueError for a bit width out of range, at creation rather than at "
             "the first layer.");
  cls.method(
      "concrete_transform_layer",
      [m](py::object self, py::object layer) {
        py::object act_polarity = self.attr("act_polarity");
        const bool inferred = act_polarity.equal(py::str("inferred"));
        if (inferred) {
          py::object found = layer.attr("meta").attr("get")("act_polarity", py::none());
          if (found.is_none()) throw std::runtime_error(kUndefinedPolarity);
          act_polarity = py::bool_(found) ? py::object(py::str("bipolar")) : py::object(py::bool_(false));
        }
        py::str name("bipolar");
        PyObject* equal = PyObject_RichCompare(act_polarity.ptr(), name.ptr(), Py_EQ);
        if (equal == nullptr) throw py::error_already_set();
        py::object bipolar = py::reinterpret_steal<py::object>(equal);
        m.attr("logger").attr("debug")(
            py::str("Quantizing {} with: wbits={}, abits={}, polarity={}, channelwise={}, "
                    "act_bipolar={}")
                .format(layer, self.attr("wbits"), self.attr("abits"), self.attr("polarity"),
                        self.attr("channel_quant"), bipolar));
        py::object native = m.attr("LSQConv2D")(layer.attr("native_layer"), self.attr("wbits"),
                                                self.attr("abits"), self.attr("polarity"),
                                                self.attr("channel_quant"), bipolar);
        py::object result = m.attr("TorchConv2D")(native);
        // The first layer transformed decides for the primitive's whole
        // lifetime; a failed transform decides nothing.
        if (inferred) self.attr("act_polarity") = act_polarity;
        return result;
      },
      py::arg("layer"),
      "A new TorchConv2D around an LSQConv2D made from the native convolution of the framework "
      "layer `layer` with the primitive's settings; `layer` itself is not changed (the new layer "
      "shares its weight storage). An \"inferred\" act_polarity is read from layer.meta "
      "[\"act_polarity\"] and then fixed for the primitive. Raises RuntimeError when it must be "
      "inferred and the layer's meta has none, AssertionError when the native layer is not "
      "exactly a Conv2d.");
  m.attr("TorchLSQ") = m.attr("TorchFramework").attr("register_quantization_method")(cls.build());
}

}  // namespace

PYBIND11_MODULE(prims_bridge, m) {
  import_names(m, "orrery.core.optimus.primitives.quantization", {"LSQ"});
  import_names(m, "orrery.framework.framework_bridge", {"TorchFramework"});
  import_names(m, "orrery.framework.nn_bridge", {"TorchConv2D"});
  import_names(m, "orrery.framework.quant_bridge", {"LSQConv2D", "_check_bit_widths"});
  import_names(m, "orrery.ologger", {"getLogger"});
  m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));
  make_torch_lsq(m);
}
