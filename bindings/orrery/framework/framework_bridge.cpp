// orrery.framework.framework_bridge: the backend object through which the core
// enters, the device-cast callback, distillation and the weight average.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

namespace {

constexpr const char* kDeviceCastDoc =
    "\n"
    "    It is essential in pytorch to cast the model into the device it will be used before "
    "creating objects\n"
    "    that depend on it (ex.: optimizer)\n"
    "    ";

void load_imports(py::module_& m) {
  import_names(m, "corvex.profiler.utils", {"Device"});
  import_names(m, "corvex.torch_profiler.loader_bridge", {"TorchForwardPass"});
  import_names(m, "corvex.torch_profiler.torch_inference",
               {"get_accuracy", "cpufy", "cudafy", "EvalLossFunction"});
  m.attr("torch") = py::module_::import("torch");
  m.attr("math") = py::module_::import("math");
  m.attr("F") = py::module_::import("torch.nn.functional");
  import_names(m, "orrery.core.loop.helper", {"PreMakeCallback", "ExtensionsInjection"});
  import_names(m, "orrery.framework.dist_bridge", {"torch_horovod_manager"});
  import_names(m, "orrery.framework.framework", {"Framework", "EvalModelNativeTrainer"});
  import_names(m, "orrery.framework.functions", {"KnowledgeDistillation"});
  import_names(m, "orrery.framework.loader_bridge", {"TorchDataLoader"});
  import_names(m, "orrery.framework.ext_bridge", {"Setup"});
  import_names(m, "orrery.framework.model_bridge", {"TorchModel"});
  import_names(m, "orrery.framework.nn_bridge",
               {"TorchNN", "TorchConv1D", "TorchConv2D", "TorchConv3D", "TorchIdentityLayer"});
  import_names(m, "orrery.framework.surgeon_bridge", {"TorchGraphSurgeon"});
  import_names(m, "orrery.ologger", {"getLogger"});
  m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));
}

void make_torch_framework(py::module_& m) {
  ClassBuilder cls(m, "TorchFramework", {m.attr("Framework")});
  auto self_cls = cls.ref();
  // Accessors look their value up in the module when called, so the module
  // namespace stays the single place that decides what the backend hands out.
  auto module_value = [m](const char* name) {
    return [m, name](py::object) -> py::object { return m.attr(name); };
  };

  cls.static_method(
      "__new__",
      [self_cls](py::object klass, py::args, py::kwargs) {
        // Deferred: prims_bridge imports this module, and loading it registers
        // TorchLSQ with the framework (once: the import system caches it).
        py::module_::import("orrery.framework.prims_bridge");
        return self_cls.super(klass).attr("__new__")(klass);
      },
      py::arg("cls"));
  cls.method(
      "initialize",
      [self_cls, m](py::object self, py::object config) {
        self_cls.super(self).attr("initialize")(config);
        self.attr("get_accuracy") = m.attr("get_accuracy");
        self.attr("get_loss_evaluator_cls") = m.attr("EvalLossFunction");
        if (m.attr("torch").attr("cuda").attr("is_available")().cast<bool>()) {
          py::module_ cudnn = py::module_::import("torch.backends.cudnn");
          cudnn.attr("benchmark") = true;
        } else {
          m.attr("logger").attr("warning")("Torch cannot use GPU");
        }
      },
      py::arg("config"));
  cls.method(
      "create_nn", [m](py::object, py::object config) { return m.attr("TorchNN")(config); },
      py::arg("config"));
  cls.property("horovod_manager", module_value("torch_horovod_manager"));
  cls.property("mdl_cls", module_value("TorchModel"));
  cls.property("identity_layer_cls", module_value("TorchIdentityLayer"));
  cls.property("conv2d_cls", module_value("TorchConv2D"));
  cls.method(
      "get_conv_forward_cls",
      [m](py::object, py::object convlayer) -> py::object {
        // DIM is read afresh for each test, as the equivalent if/elif chain would.
        if (py::object(convlayer.attr("DIM")).equal(py::int_(1))) return m.attr("TorchConv1D");
        if (py::object(convlayer.attr("DIM")).equal(py::int_(2))) return m.attr("TorchConv2D");
        if (py::object(convlayer.attr("DIM")).equal(py::int_(3))) return m.attr("TorchConv3D");
        PyErr_SetNone(PyExc_TypeError);  // the message-less TypeError callers expect
        throw py::error_already_set();
      },
      py::arg("convlayer"));
  cls.property("knowledge_distillation_cls", module_value("TorchKnowledgeDistillation"));
  cls.method("get_default_trainer_pre_make_callbacks",
             [m](py::object) { return py::make_tuple(m.attr("DeviceCast")()); });
  cls.method("get_default_trainer_post_make_callbacks", [m](py::object) {
    py::object injection = m.attr("ExtensionsInjection");
    py::object setup = m.attr("Setup")();
    return py::make_tuple(injection(setup));
  });
  cls.property("dl_cls", module_value("TorchDataLoader"));
  cls.property("fp_cls", module_value("TorchForwardPass"));
  cls.property("ema_cls", module_value("TorchEMA"));
  cls.method(
      "graph_surgeon",
      [m](py::object, py::object model, py::object model_args) {
        return m.attr("TorchGraphSurgeon")(model, model_args);
      },
      py::arg("model"), py::arg("model_args"));
  cls.build();
}

void make_device_cast(py::module_& m) {
  ClassBuilder cls(m, "DeviceCast", {m.attr("PreMakeCallback")}, kDeviceCastDoc);
  cls.method(
      "__call__",
      [m](py::object, py::object params, py::object model) {
        py::object native = model.attr("native_model");
        const bool to_gpu = py::object(params[py::str("device")])
                                .equal(m.attr("Device").attr("GPU"));
        model.attr("native_model") = to_gpu ? native.attr("cuda")() : native.attr("cpu")();
      },
      py::arg("params"), py::arg("model"));
  cls.build();
}

}  // namespace

PYBIND11_MODULE(framework_bridge, m) {
  load_imports(m);
  make_torch_framework(m);
  make_device_cast(m);
  ClassBuilder(m, "TorchKnowledgeDistillation", {m.attr("KnowledgeDistillation")}).build();
  ClassBuilder(m, "TorchEMA", {m.attr("EvalModelNativeTrainer")}).build();
}
