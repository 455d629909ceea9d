// orrery.framework.framework_bridge: the backend object through which the core
// enters, the device-cast callback, distillation and the weight average.
#include <torch/extension.h>

#include <cmath>

#include <array>
#include <sstream>
#include <unordered_map>

#include "class_builder.h"
#include "python_checks.h"
#include "orrery_engine/weight_average.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;
using orrery::bind::type_name;

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

// An accessor that looks its value up in the module when called, so the module
// namespace stays the single place that decides what the backend hands out.
auto module_value(const py::module_& m, const char* name) {
  return [m, name](py::object) -> py::object { return m.attr(name); };
}

void initialize_backend(const orrery::bind::ClassRef& self_cls, const py::module_& m,
                        const py::object& self, const py::object& config) {
  self_cls.super(self).attr("initialize")(config);
  self.attr("get_accuracy") = m.attr("get_accuracy");
  self.attr("get_loss_evaluator_cls") = m.attr("EvalLossFunction");
  if (m.attr("torch").attr("cuda").attr("is_available")().cast<bool>()) {
    py::module_ cudnn = py::module_::import("torch.backends.cudnn");
    cudnn.attr("benchmark") = true;
  } else {
    m.attr("logger").attr("warning")("Torch cannot use GPU");
  }
}

// Creation and set-up: __new__, initialize and create_nn.
void framework_setup_methods(ClassBuilder& cls, py::module_& m) {
  auto self_cls = cls.ref();
  cls.static_method(
      "__new__",
      [self_cls](py::object klass, py::args, py::kwargs) {
        // Deferred: prims_bridge imports this module, and loading it registers
        // TorchLSQ with the framework (once: the import system caches it).
        py::module_::import("orrery.framework.prims_bridge");
        return self_cls.super(klass).attr("__new__")(klass);
      },
      py::arg("cls"),
      "Creates the backend object. The first call imports orrery.framework.prims_bridge, which "
      "registers TorchLSQ as the backend's LSQ quantization method; the arguments go on to "
      "__init__ as usual.");
  cls.method(
      "initialize",
      [self_cls, m](py::object self, py::object config) {
        initialize_backend(self_cls, m, self, config);
      },
      py::arg("config"),
      "Initialises the backend with the core's configuration `config` (a dict, which the base "
      "checks and keeps): sets get_accuracy and get_loss_evaluator_cls (the profiler's accuracy "
      "function and loss evaluator class), and turns on cuDNN's auto-tuner when CUDA is available "
      "or logs the warning \"Torch cannot use GPU\" when it is not. Returns None; raises the "
      "base's TypeError when `config` is not a dict.");
  cls.method(
      "create_nn", [m](py::object, py::object config) { return m.attr("TorchNN")(config); },
      py::arg("config"),
      "A new TorchNN for the core's configuration `config`: the backend's optimiser and scheduler "
      "classes and factories.");
}

py::object conv_forward_cls(const py::module_& m, const py::object& convlayer) {
  // DIM is read afresh for each test, as the equivalent if/elif chain would.
  if (py::object(convlayer.attr("DIM")).equal(py::int_(1))) return m.attr("TorchConv1D");
  if (py::object(convlayer.attr("DIM")).equal(py::int_(2))) return m.attr("TorchConv2D");
  if (py::object(convlayer.attr("DIM")).equal(py::int_(3))) return m.attr("TorchConv3D");
  PyErr_SetNone(PyExc_TypeError);  // the message-less TypeError callers expect
  throw py::error_already_set();
}

// The Horovod manager and the model and layer classes.
void framework_model_members(ClassBuilder& cls, py::module_& m) {
  cls.property("horovod_manager", module_value(m, "torch_horovod_manager"),
               "The process's one Horovod manager (torch_horovod_manager of "
               "orrery.framework.dist_bridge); the same object on every access.");
  cls.property("mdl_cls", module_value(m, "TorchModel"),
               "The model wrapper class, TorchModel.");
  cls.property("identity_layer_cls", module_value(m, "TorchIdentityLayer"),
               "The identity layer class, TorchIdentityLayer.");
  cls.property("conv2d_cls", module_value(m, "TorchConv2D"),
               "The 2-D convolution layer class, TorchConv2D.");
  cls.method(
      "get_conv_forward_cls",
      [m](py::object, py::object convlayer) { return conv_forward_cls(m, convlayer); },
      py::arg("convlayer"),
      "The convolution wrapper class for the dimensionality of the framework convolution "
      "`convlayer` (its DIM): TorchConv1D, TorchConv2D or TorchConv3D for 1, 2 or 3. Raises "
      "TypeError, without a message, for any other DIM.");
  cls.property("knowledge_distillation_cls", module_value(m, "TorchKnowledgeDistillation"),
               "The knowledge distillation class, TorchKnowledgeDistillation.");
}

// The trainer's default callbacks, its data and averaging classes and the
// graph surgeon.
void framework_training_members(ClassBuilder& cls, py::module_& m) {
  cls.method("get_default_trainer_pre_make_callbacks",
             [m](py::object) { return py::make_tuple(m.attr("DeviceCast")()); },
             "The trainer's default pre-make callbacks: a new tuple holding a new DeviceCast, "
             "which moves the model to the training device before the optimiser is made.");
  cls.method("get_default_trainer_post_make_callbacks", [m](py::object) {
    py::object injection = m.attr("ExtensionsInjection");
    py::object setup = m.attr("Setup")();
    return py::make_tuple(injection(setup));
  },
             "The trainer's default post-make callbacks: a new tuple holding "
             "ExtensionsInjection(Setup()), which attaches a fresh Setup extension to the "
             "trainer's main loop.");
  cls.property("dl_cls", module_value(m, "TorchDataLoader"),
               "The data loader class, TorchDataLoader.");
  cls.property("fp_cls", module_value(m, "TorchForwardPass"),
               "The profiler's forward-pass class, TorchForwardPass.");
  cls.property("ema_cls", module_value(m, "TorchEMA"),
               "The weight-average class, TorchEMA.");
  cls.method(
      "graph_surgeon",
      [m](py::object, py::object model, py::object model_args, py::object drop_view_op) {
        return m.attr("TorchGraphSurgeon")(model, model_args,
                                           py::arg("drop_view_op") = drop_view_op);
      },
      py::arg("model"), py::arg("model_args"), py::kw_only(), py::arg("drop_view_op") = true,
      "A new TorchGraphSurgeon that prunes channels of the framework model `model` (a "
      "TorchModel), tracing its network with the example inputs `model_args`; `drop_view_op` "
      "(keyword-only) is passed to the surgeon. Inputs the network cannot run are refused "
      "at once with ValueError.");
}

void make_torch_framework(py::module_& m) {
  ClassBuilder cls(m, "TorchFramework", {m.attr("Framework")},
                   "The PyTorch backend of the core: the one object through which the core gets "
                   "every PyTorch class and object it needs (the model wrapper, the layer "
                   "classes, the distillation and weight-average trainers, the data loader and "
                   "forward-pass classes, the graph surgeon, the Horovod manager and the default "
                   "training-loop callbacks). Creating the first one registers the LSQ "
                   "quantization primitive TorchLSQ with the framework.");
  framework_setup_methods(cls, m);
  framework_model_members(cls, m);
  framework_training_members(cls, m);
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
      py::arg("params"), py::arg("model"),
      "Moves the framework model's network to the training device: to the default GPU when "
      "params[\"device\"] is Device.GPU, to the CPU otherwise, and installs the moved module as "
      "model.native_model. Returns None. Raises KeyError when `params` has no \"device\", and "
      "PyTorch's error when CUDA is asked for and absent (the model is then left as it was).");
  cls.build();
}

// `a, b = value`, with the interpreter's errors for the wrong number of items.
std::pair<py::object, py::object> unpack_pair(const py::object& value) {
  PyObject* it = PyObject_GetIter(value.ptr());
  if (it == nullptr) {
    PyErr_Clear();
    throw py::type_error("cannot unpack non-iterable " + type_name(value) + " object");
  }
  py::iterator items = py::reinterpret_steal<py::iterator>(it);
  std::vector<py::object> got;
  for (py::handle item : items) {
    if (got.size() == 2) throw py::value_error("too many values to unpack (expected 2)");
    got.push_back(py::reinterpret_borrow<py::object>(item));
  }
  if (got.size() < 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " +
                          std::to_string(got.size()) + ")");
  }
  return {got[0], got[1]};
}

at::Tensor tensor_argument(const py::object& value, const char* name) {
  if (!THPVariable_Check(value.ptr())) {
    throw py::type_error(std::string("kd_cross_entropy(): ") + name + " must be a Tensor, not " +
                         type_name(value));
  }
  return THPVariable_Unpack(value.ptr());
}

// Device.GPU selects cudafy, anything else cpufy; moves happen with be_nice.
py::object device_mover(const py::module_& m, const py::object& device) {
  return m.attr(device.equal(m.attr("Device").attr("GPU")) ? "cudafy" : "cpufy");
}

// An int or a float, not a bool.
bool is_real_number(const py::handle& value) {
  return (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
}

// The teacher, given first or as `teacher`, must be a framework model.
void check_teacher(const py::module_& m, const py::args& args, const py::kwargs& kwargs) {
  py::object teacher = py::len(args) > 0 ? py::object(args[0])
                       : kwargs.contains("teacher") ? py::object(kwargs["teacher"])
                                                    : py::object(py::none());
  py::object teacher_native = py::getattr(teacher, "native_model", py::none());
  if (!py::isinstance(teacher_native, m.attr("torch").attr("nn").attr("Module"))) {
    throw py::type_error(
        "TorchKnowledgeDistillation expects the teacher as a framework model "
        "(framework.mdl_cls(teacher_module)), got " + type_name(teacher));
  }
}

// tau must be a finite number > 0, alpha one between 0 and 1.
void check_distillation_settings(const py::object& self) {
  for (const char* name : {"tau", "alpha"}) {
    py::object value = self.attr(name);
    const bool number = is_real_number(value);
    const double v = number ? value.cast<double>() : 0.0;
    const bool fits = number && std::isfinite(v) &&
                      (std::string(name) == "tau" ? v > 0 : (v >= 0 && v <= 1));
    if (!fits) {
      throw py::value_error(std::string("TorchKnowledgeDistillation expects ") + name +
                            (std::string(name) == "tau" ? " to be a finite number > 0"
                                                        : " to be a number between 0 and 1") +
                            ", got " + std::string(py::repr(value)) + "; set " + name +
                            (std::string(name) == "tau" ? " to a temperature such as 4.0"
                                                        : " to the weight of the distillation term"));
    }
  }
}

// One batch (x, y) on the training device: the teacher's outputs without
// gradients, the student's with them, and their losses.
py::object distillation_step(const py::module_& m, const py::object& self,
                             const py::object& student, const py::object& batch) {
  auto [x, y] = unpack_pair(batch);
  py::object moved =
      device_mover(m, self.attr("device"))(py::make_tuple(x, y), py::arg("be_nice") = true);
  std::tie(x, y) = unpack_pair(moved);
  py::object teacher_out;
  {
    // The teacher's activations are never needed for the backward pass.
    torch::NoGradGuard no_grad;
    teacher_out = self.attr("_teacher")(x);
  }
  py::object student_out = student(x);
  return self.attr("kd_cross_entropy")(student_out, teacher_out, y);
}

// The teacher must score the same samples over the same classes as the
// student: broadcasting a teacher batch of 1 against the student's would
// distil every sample towards one sample's output.
void check_logit_shapes(const at::Tensor& student, const at::Tensor& teacher) {
  if (student.dim() >= 2 && teacher.sizes() == student.sizes()) return;
  throw py::value_error(
      "TorchKnowledgeDistillation expects teacher and student logits of one shape (batch, "
      "classes), got student " + c10::str(student.sizes()) + " and teacher " +
      c10::str(teacher.sizes()) + "; give the teacher the student's batch and make both "
      "networks output one score per class of the same classes");
}

py::dict distillation_losses(const py::object& self, const py::object& student_logits,
                             const py::object& teacher_logits, const py::object& targets) {
  const at::Tensor student = tensor_argument(student_logits, "student_logits");
  const at::Tensor teacher = tensor_argument(teacher_logits, "teacher_logits");
  const at::Tensor labels = tensor_argument(targets, "targets");
  check_logit_shapes(student, teacher);
  // tau and alpha may have been reassigned since the constructor checked them.
  check_distillation_settings(self);
  const at::Tensor task_loss = at::cross_entropy_loss(student, labels);
  const double tau = py::float_(self.attr("tau"));
  const at::Tensor log_p_student = at::log_softmax(student / tau, 1);
  const at::Tensor p_teacher = at::softmax(teacher / tau, 1);
  // Cross-entropy of the softened teacher against the softened student,
  // scaled by tau^2 so its gradients keep their size as tau grows.
  const at::Tensor kd_loss =
      at::mean(-at::sum(log_p_student * p_teacher, 1) * std::pow(tau, 2.0));
  const double alpha = py::float_(self.attr("alpha"));
  py::dict losses;
  losses["kd_loss"] = alpha * kd_loss;
  losses["task_loss"] = (1 - alpha) * task_loss;
  return losses;
}

void make_knowledge_distillation(py::module_& m) {
  ClassBuilder cls(m, "TorchKnowledgeDistillation", {m.attr("KnowledgeDistillation")},
                   "Knowledge distillation in PyTorch: trains a student network against the "
                   "softened outputs of a teacher framework model. Created with the core's "
                   "arguments (teacher, tau, alpha), it puts the teacher's network in evaluation "
                   "mode at once; called on (student, batch) it returns the two weighted loss "
                   "terms {\"kd_loss\", \"task_loss\"} of that batch.");
  auto self_cls = cls.ref();
  cls.method("__init__", [self_cls, m](py::object self, py::args args, py::kwargs kwargs) {
    check_teacher(m, args, kwargs);
    self_cls.super(self).attr("__init__")(*args, **kwargs);
    check_distillation_settings(self);
    self.attr("_teacher").attr("eval")();
  },
             "Passes every argument on to the core's KnowledgeDistillation (teacher, tau, alpha), "
             "then puts the teacher's network in evaluation mode.");
  cls.method_signature("__init__", "(self, teacher, tau=1.0, alpha=0.5)");
  cls.property("_teacher",
               [](py::object self) { return self.attr("teacher").attr("native_model"); },
               "The teacher's native torch.nn.Module.");
  cls.method(
      "to_device",
      [self_cls, m](py::object self, py::object device) {
        self_cls.super(self).attr("to_device")(device);
        device_mover(m, device)(self.attr("_teacher"), py::arg("be_nice") = true);
      },
      py::arg("device"),
      "Records `device` (a Device) as the training device through the base, then moves the "
      "teacher's network there in place: to the default GPU for Device.GPU (left where it is when "
      "CUDA is absent), to the CPU otherwise. Returns None.");
  cls.method(
      "__call__",
      [m](py::object self, py::object student, py::object batch) {
        return distillation_step(m, self, student, batch);
      },
      py::arg("student"), py::arg("batch"),
      "The weighted losses of one batch. `batch` is a pair (x, y) of inputs and class targets; it "
      "is moved to the training device, the teacher runs on x without recording gradients and the "
      "student network `student` (a torch.nn.Module) runs on x with them. Returns "
      "kd_cross_entropy of the two outputs and y. Raises ValueError when `batch` is not a pair.");
  cls.method(
      "kd_cross_entropy",
      [](py::object self, py::object student_logits, py::object teacher_logits,
         py::object targets) {
        return distillation_losses(self, student_logits, teacher_logits, targets);
      },
      py::arg("student_logits"), py::arg("teacher_logits"), py::arg("targets"),
      "The distillation losses for logits of shape (batch, classes): a dict whose \"kd_loss\" is "
      "alpha times the batch mean of tau squared times the cross-entropy of the teacher's softmax "
      "at temperature tau against the student's, and whose \"task_loss\" is (1 - alpha) times the "
      "cross-entropy of the student logits and the class indices `targets`. Raises TypeError when "
      "an argument is not a tensor, ValueError when the teacher's logits differ in shape from the "
      "student's or when tau is not a finite number > 0 or alpha not one between 0 and 1.");
  cls.build();
}

// The entries module.state_dict() would return, gathered without building
// the dictionary: the weight average runs after every iteration, and on a
// network of many small layers state_dict() costs more than the arithmetic.
// Only modules that keep the default state (no override of state_dict,
// _save_to_state_dict or get_extra_state, no state-dict hooks) are walked;
// gather_default_state returns false for any other network.
class StateWalker {
 public:
  StateWalker()
      : module_cls_(py::module_::import("torch.nn").attr("Module")),
        attrs_{"state_dict", "_save_to_state_dict", "get_extra_state"} {}

  bool gather(const py::handle& module, const std::string& prefix,
              std::vector<std::pair<std::string, py::object>>* out) {
    if (!default_state(module)) return false;
    // Straight from the instance dictionary: an attribute lookup per field
    // would walk the class hierarchy each time.
    py::object fields = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(module.ptr(), nullptr));
    if (!fields) throw py::error_already_set();
    auto field = [&fields](const char* name) -> PyObject* {
      return PyDict_GetItemString(fields.ptr(), name);  // borrowed, or null
    };
    PyObject* hooks = field("_state_dict_hooks");
    PyObject* parameters = field("_parameters");
    PyObject* buffers = field("_buffers");
    PyObject* transient = field("_non_persistent_buffers_set");
    PyObject* children = field("_modules");
    if (hooks == nullptr || PyObject_Length(hooks) != 0 || parameters == nullptr ||
        !PyDict_Check(parameters) || buffers == nullptr || !PyDict_Check(buffers) ||
        transient == nullptr || !PyAnySet_Check(transient) || children == nullptr ||
        !PyDict_Check(children)) {
      return false;
    }
    for (PyObject* store : {parameters, buffers}) {
      for (auto item : py::reinterpret_borrow<py::dict>(store)) {
        if (item.second.is_none()) continue;
        if (store == buffers && PySet_Contains(transient, item.first.ptr()) == 1) continue;
        out->emplace_back(prefix + std::string(py::str(item.first)),
                          py::reinterpret_borrow<py::object>(item.second));
      }
    }
    for (auto item : py::reinterpret_borrow<py::dict>(children)) {
      if (item.second.is_none()) continue;
      if (!gather(item.second, prefix + std::string(py::str(item.first)) + ".", out)) {
        return false;
      }
    }
    return true;
  }

 private:
  bool default_state(const py::handle& module) {
    PyTypeObject* type = Py_TYPE(module.ptr());
    auto known = default_types_.find(type);
    if (known != default_types_.end()) return known->second;
    bool plain = py::isinstance(module, module_cls_);
    for (const char* name : attrs_) {
      plain = plain && py::getattr(py::handle(reinterpret_cast<PyObject*>(type)), name)
                           .is(module_cls_.attr(name));
    }
    default_types_.emplace(type, plain);
    return plain;
  }

  py::object module_cls_;
  std::array<const char*, 3> attrs_;
  std::unordered_map<PyTypeObject*, bool> default_types_;
};

using StateEntries = std::vector<std::pair<std::string, py::object>>;

StateEntries state_entries(const py::object& network, StateWalker* walker) {
  StateEntries entries;
  if (walker->gather(network, "", &entries)) return entries;
  entries.clear();
  for (py::handle item : network.attr("state_dict")().attr("items")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    entries.emplace_back(std::string(py::str(pair[0])), pair[1]);
  }
  return entries;
}

// Floating-point entries of the averaged state and the trained tensors under
// the same keys (a missing key raises KeyError); the engine checks shapes and
// devices before it changes anything.
void average_pairs(const py::object& averaged_network, const py::object& training_model,
                   std::vector<at::Tensor>* averaged, std::vector<at::Tensor>* trained,
                   std::vector<std::string>* names) {
  StateWalker walker;
  const StateEntries averaged_state = state_entries(averaged_network, &walker);
  const StateEntries trained_state = state_entries(training_model, &walker);
  std::unordered_map<std::string, const py::object*> trained_by_key;
  for (const auto& [key, value] : trained_state) trained_by_key.emplace(key, &value);
  for (const auto& [key, value] : averaged_state) {
    // Non-tensor entries (a module's extra state) have no average.
    if (!THPVariable_Check(value.ptr())) continue;
    // No detach: the update runs without gradient recording, and a detached
    // alias per entry would cost more than the arithmetic on small layers.
    const at::Tensor& v = THPVariable_Unpack(value.ptr());
    if (!v.is_floating_point()) continue;
    auto found = trained_by_key.find(key);
    if (found == trained_by_key.end()) {
      PyErr_SetObject(PyExc_KeyError, py::str(key).ptr());
      throw py::error_already_set();
    }
    if (!THPVariable_Check(found->second->ptr())) {
      throw py::type_error("the trained network's entry " + key + " is not a tensor");
    }
    averaged->push_back(v);
    trained->push_back(THPVariable_Unpack(found->second->ptr()));
    names->push_back(key);
  }
}

void check_average_arguments(const py::module_& m, const py::object& model,
                             const py::object& decay_rate, const py::object& period) {
  if (!py::isinstance(model, m.attr("torch").attr("nn").attr("Module"))) {
    throw py::type_error(
        "TorchEMA averages a torch.nn.Module (a copy of the network being trained, e.g. "
        "copy.deepcopy(model.native_model)), got " + type_name(model) +
        (py::hasattr(model, "native_model") ? "; pass its native_model's copy instead" : ""));
  }
  if (!is_real_number(decay_rate) ||
      !(decay_rate.cast<double>() > 0 && decay_rate.cast<double>() <= 1)) {
    throw py::value_error("TorchEMA expects decay_rate to be a number in (0, 1], got " +
                          std::string(py::repr(decay_rate)));
  }
  if (!is_real_number(period) || !(period.cast<double>() > 0) ||
      !std::isfinite(period.cast<double>())) {
    throw py::value_error("TorchEMA expects period to be a number > 0, got " +
                          std::string(py::repr(period)));
  }
}

// At the end of an "iteration" interval, pulls the averaged network towards
// `training_model`; any other interval changes nothing.
void update_average(const py::object& self, const py::object& interval,
                    const py::object& training_model) {
  if (!interval.is_none() && !PyUnicode_CheckExact(interval.ptr())) {
    throw py::type_error(
        "type of argument \"interval\" must be either str or NoneType; got " +
        std::string(py::str(py::type::of(interval).attr("__qualname__"))) + " instead");
  }
  if (interval.is_none() || !interval.equal(py::str("iteration"))) return;
  torch::NoGradGuard no_grad;
  std::vector<at::Tensor> averaged, trained;
  std::vector<std::string> names;
  average_pairs(self.attr("model"), training_model, &averaged, &trained, &names);
  // `updates` advances only once the average has: a refused update changes nothing.
  py::object updates = py::object(self.attr("updates")) + py::int_(1);
  const double d = py::float_(self.attr("decay")(updates));
  try {
    orrery::engine::ema_update_(averaged, trained, d, names);
  } catch (const c10::Error& e) {
    throw std::runtime_error(e.what_without_backtrace());
  }
  self.attr("updates") = updates;
}

void make_ema(py::module_& m) {
  ClassBuilder cls(m, "TorchEMA", {m.attr("EvalModelNativeTrainer")},
                   "An exponential moving average of a network's weights. The network given at "
                   "creation holds the average; after each training iteration update() pulls its "
                   "floating-point parameters and buffers towards those of the trained network, "
                   "with a decay that rises from 0 towards decay_rate over about `period` "
                   "updates. Its bookkeeping goes into checkpoints through dump_native_info and "
                   "load_native_info.");
  cls.method(
      "__init__",
      [m](py::object self, py::object model, py::object decay_rate, py::object period) {
        check_average_arguments(m, model, decay_rate, period);
        self.attr("updates") = 0;
        self.attr("decay_rate") = decay_rate;
        self.attr("period") = period;
        self.attr("model") = model;
        self.attr("model").attr("eval")();
      },
      py::arg("model"), py::arg("decay_rate") = 0.9999, py::arg("period") = 2000,
      "Keeps `model` (a torch.nn.Module, not copied: pass a network separate from the one being "
      "trained) as the averaged network and puts it in evaluation mode; `decay_rate` is the "
      "ceiling of the decay and `period` its time constant, in updates.");
  cls.method(
      "decay",
      [m](py::object self, py::object x) {
        const py::int_ one(1);
        py::object exponent = -x / py::object(self.attr("period"));
        py::object decay_rate = self.attr("decay_rate");
        return decay_rate * (one - py::object(m.attr("math").attr("exp")(exponent)));
      },
      py::arg("x"),
      "The decay after `x` updates: decay_rate * (1 - exp(-x / period)), 0 at first and rising "
      "towards decay_rate.");
  cls.method(
      "update",
      [](py::object self, py::object interval, py::object interval_nb,
         py::object training_model) { update_average(self, interval, training_model); },
      py::arg("interval"), py::arg("interval_nb"), py::arg("training_model"),
      "Updates the average when a training interval ends. Only `interval` \"iteration\" does "
      "anything: every floating-point entry e of the averaged network's state becomes d * e + (1 "
      "- d) * t, with t the same entry of `training_model` (the torch.nn.Module being trained) "
      "and d = decay(updates + 1), and `updates` advances by one. `interval_nb` is not used. "
      "Returns None. Raises TypeError when `interval` is neither a str nor None, KeyError when "
      "the trained network lacks an averaged entry and RuntimeError for mismatched shapes, the "
      "last two before anything changes.");
  cls.method("dump_native_info", [](py::object self) {
    // A copy: the object keeps every attribute, its model included.
    py::dict state = py::reinterpret_steal<py::dict>(PyDict_Copy(self.attr("__dict__").ptr()));
    if (!state) throw py::error_already_set();
    if (state.contains("model")) PyDict_DelItemString(state.ptr(), "model");
    return state;
  },
             "The bookkeeping for a checkpoint: a new dict of the object's attributes without the "
             "averaged network (updates, decay_rate, period).");
  cls.method(
      "load_native_info",
      [](py::object self, py::object dumped_state) {
        py::print(dumped_state);
        self.attr("__dict__").attr("update")(dumped_state);
      },
      py::arg("dumped_state"),
      "Restores the bookkeeping from `dumped_state`, a dict made by dump_native_info: prints it, "
      "then sets each entry as an attribute. The averaged network is left as it is.");
  cls.build();
}

}  // namespace

PYBIND11_MODULE(framework_bridge, m) {
  load_imports(m);
  make_torch_framework(m);
  make_device_cast(m);
  make_knowledge_distillation(m);
  make_ema(m);
}
