// orrery.framework.prims_bridge: the PyTorch half of the core's LSQ primitive.
// Loading the module registers TorchLSQ as the backend's LSQ quantization method.
#include <torch/extension.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "class_builder.h"
#include "module_modes.h"
#include "python_checks.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;
using orrery::bind::raise_assertion_error;
using orrery::bind::type_name;

namespace {

constexpr const char* kUndefinedPolarity =
    "activation polarity was supposed to be inferred from layer but value is undefined";

// The slot where the primitive remembers the polarity it wrote while
// inferring, so later layers can still be told apart by their own inputs.
constexpr const char* kInferredPolarity = "_inferred_act_polarity";

// The layer's native convolution, or an AssertionError (the type LSQConv2D
// itself raises) that says which layers LSQ takes. Raised whatever the
// interpreter's -O setting: it checks what the caller handed in.
void check_convolution(const py::module_& m, const py::object& layer) {
  if (!py::hasattr(layer, "native_layer") || !py::hasattr(layer, "meta")) {
    throw py::type_error("concrete_transform_layer() expects a framework layer (an item of "
                         "model.flat_view()), got " + type_name(layer) +
                         "; wrap the model with framework.mdl_cls(module) first");
  }
  py::object native = layer.attr("native_layer");
  if (!py::type::of(native).is(m.attr("nn").attr("Conv2d"))) {
    raise_assertion_error("LSQ quantizes torch.nn.Conv2d layers only, got " + type_name(native) +
                          " in " + std::string(py::repr(layer)) + "; leave other layers in float");
  }
}

// The positional inputs of one item of calibration data: a batch tensor, an
// (inputs, targets) pair, or a tuple of input tensors as first element.
py::tuple batch_inputs(const py::handle& item) {
  if (THPVariable_Check(item.ptr())) return py::make_tuple(item);
  if (py::isinstance<py::tuple>(item) || py::isinstance<py::list>(item)) {
    py::sequence seq = py::reinterpret_borrow<py::sequence>(item);
    if (py::len(seq) > 0) {
      py::object first = seq[0];
      if (THPVariable_Check(first.ptr())) return py::make_tuple(first);
      if (py::isinstance<py::tuple>(first) || py::isinstance<py::list>(first)) {
        py::tuple inputs(first);
        bool tensors = py::len(inputs) > 0;
        for (py::handle t : inputs) tensors = tensors && THPVariable_Check(t.ptr());
        if (tensors) return inputs;
      }
    }
  }
  throw py::type_error("calibrate() expects data yielding input batches (tensors) or "
                       "(inputs, targets) pairs, got an item of type " + type_name(item));
}

// Sum of magnitudes and element count of every input an LSQ layer received.
struct InputStatistics {
  double magnitude = 0.0;
  int64_t count = 0;
};

using Statistics = std::unordered_map<PyObject*, InputStatistics>;

// The network inside `model` (a framework model or a torch.nn.Module).
py::object calibrated_network(const py::module_& m, const py::object& model) {
  if (py::isinstance(model, m.attr("Model"))) return model.attr("native_model");
  if (py::isinstance(model, m.attr("nn").attr("Module"))) return model;
  throw py::type_error("calibrate() expects the model as a framework model "
                       "(framework.mdl_cls(module)) or a torch.nn.Module, got " +
                       type_name(model));
}

int64_t batch_count(const py::object& batches) {
  if (!PyLong_Check(batches.ptr()) || PyBool_Check(batches.ptr()) || batches.cast<int64_t>() < 1) {
    throw py::value_error("calibrate() expects batches to be an int >= 1, got " +
                          std::string(py::repr(batches)));
  }
  return batches.cast<int64_t>();
}

// The (name, module) items of every LSQ layer of `native`, all in training form.
py::list lsq_layers(const py::module_& m, const py::object& native) {
  py::object lsq_cls = m.attr("LSQConv2D");
  py::list layers;
  for (py::handle item : native.attr("named_modules")()) {
    py::object module = item[py::int_(1)];
    if (!py::isinstance(module, lsq_cls)) continue;
    if (py::bool_(module.attr("_prepared_for_export"))) {
      throw py::value_error("calibrate() needs LSQ layers in training form, but '" +
                            std::string(py::str(item[py::int_(0)])) +
                            "' is prepared for export; calibrate before "
                            "prepare_quantization_export()");
    }
    layers.append(item);
  }
  if (py::len(layers) == 0) {
    throw py::value_error("calibrate() found no LSQ layer in the model: replace its "
                          "convolutions first (model.replace_layer(layer, "
                          "lsq.concrete_transform_layer(layer)))");
  }
  return layers;
}

// An iterator over the batches of `data`: a loader's native loader, a single
// batch tensor, or any iterable.
py::iterator calibration_batches(const py::object& data) {
  py::object source = data;
  if (py::hasattr(data, "native_dl")) source = data.attr("native_dl");
  if (THPVariable_Check(data.ptr())) source = py::make_tuple(data);
  try {
    return py::iter(source);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    throw py::type_error("calibrate() expects a data loader or an iterable of input batches, "
                         "got " + type_name(data));
  }
}

// The device of the network's first parameter; None for a network without any.
py::object first_parameter_device(const py::object& native) {
  for (py::handle p : native.attr("parameters")()) return p.attr("device");
  return py::none();
}

// Runs at most `most` batches of `items` through `native` in eval mode and
// without gradients, every LSQ layer of `layers` computing as the float
// convolution it wraps while its inputs are added to `stats`. Hooks and
// modes are put back whatever happens. Returns the number of batches run.
int64_t run_float_batches(const py::module_& m, const py::object& native, const py::list& layers,
                          py::iterator& items, int64_t most,
                          const std::shared_ptr<Statistics>& stats) {
  py::object conv_forward = m.attr("nn").attr("Conv2d").attr("forward");
  py::cpp_function measure([stats](py::object module, py::tuple args) {
    const at::Tensor x = THPVariable_Unpack(args[0].ptr()).detach();
    InputStatistics& s = (*stats)[module.ptr()];
    s.magnitude += x.abs().sum().item<double>();
    s.count += x.numel();
  });
  py::cpp_function as_float([conv_forward](py::object module, py::tuple args, py::object) {
    return conv_forward(module, args[0]);
  });
  std::vector<py::object> hooks;
  py::object device = first_parameter_device(native);
  int64_t seen = 0;
  orrery::bind::EvalModeGuard eval_mode(native);
  auto restore = [&] {
    for (py::object& hook : hooks) hook.attr("remove")();
  };
  try {
    for (py::handle item : layers) {
      py::object module = item[py::int_(1)];
      hooks.push_back(module.attr("register_forward_pre_hook")(measure));
      hooks.push_back(module.attr("register_forward_hook")(as_float));
    }
    torch::NoGradGuard no_grad;
    for (; seen < most && items != py::iterator::sentinel(); ++items, ++seen) {
      py::tuple inputs = batch_inputs(*items);
      py::list moved;
      for (py::handle t : inputs) moved.append(device.is_none() ? t : t.attr("to")(device));
      native(*py::tuple(moved));
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return seen;
}

// Sets every layer's weight step from its weights and its activation step
// from the mean magnitude of its inputs; returns the names of the layers the
// data never reached, whose activation steps stay as they were.
py::list set_steps(const py::list& layers, const Statistics& stats) {
  py::list unreached;
  torch::NoGradGuard no_grad;
  for (py::handle item : layers) {
    py::object module = item[py::int_(1)];
    module.attr("quan_w_fn").attr("init_from")(module.attr("weight"));
    auto found = stats.find(module.ptr());
    if (found == stats.end() || found->second.count == 0) {
      unreached.append(item[py::int_(0)]);
      continue;
    }
    const double mean = found->second.magnitude / static_cast<double>(found->second.count);
    py::object quan_a = module.attr("quan_a_fn");
    at::Tensor s = THPVariable_Unpack(py::object(quan_a.attr("s")).ptr());
    quan_a.attr("init_from")(at::full({}, mean, s.options()));
  }
  return unreached;
}

py::object calibrate(const py::module_& m, py::object self, py::object model, py::object data,
                     py::object batches) {
  py::object native = calibrated_network(m, model);
  const int64_t most = batch_count(batches);
  py::list layers = lsq_layers(m, native);
  py::iterator items = calibration_batches(data);

  auto stats = std::make_shared<Statistics>();
  const int64_t seen = run_float_batches(m, native, layers, items, most, stats);
  if (seen == 0) throw py::value_error("calibrate() received no batch: the data is empty");

  // Every forward pass has run; only now do the step sizes change.
  py::list unreached = set_steps(layers, *stats);
  if (py::len(unreached) > 0) {
    m.attr("logger").attr("warning")(
        py::str("calibrate(): the data never reached the LSQ layers {}; their activation step "
                "sizes are left as they were").format(unreached));
  }
  m.attr("logger").attr("info")(
      py::str("Calibrated {} LSQ layers on {} batches").format(py::len(layers), seen));
  return model;
}

// A new TorchConv2D around an LSQConv2D made from `layer`'s convolution with
// the primitive's settings (see concrete_transform_layer's docstring).
py::object transform_layer(const py::module_& m, py::object self, const py::object& layer) {
  check_convolution(m, layer);
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
  // The first layer decides the primitive's polarity, but a later layer
  // whose own inputs are signed still gets signed codes: unsigned ones
  // would zero its negative inputs.
  if (!inferred && !py::bool_(bipolar) && py::hasattr(self, kInferredPolarity) &&
      act_polarity.is(self.attr(kInferredPolarity)) &&
      py::bool_(layer.attr("meta").attr("get")("act_polarity", false))) {
    bipolar = py::bool_(true);
  }
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
  if (inferred) {
    self.attr("act_polarity") = act_polarity;
    py::setattr(self, kInferredPolarity, act_polarity);
  }
  return result;
}

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
  // The core's LSQ parses the settings; these are its parameters.
  cls.method_signature("__init__",
                       "(self, wbits=8, abits=8, polarity='bipolar', channel_quant=True, "
                       "act_polarity='bipolar')");
  cls.method(
      "concrete_transform_layer",
      [m](py::object self, py::object layer) { return transform_layer(m, self, layer); },
      py::arg("layer"),
      "A new TorchConv2D around an LSQConv2D made from the native convolution of the framework "
      "layer `layer` with the primitive's settings; `layer` itself is not changed (the new layer "
      "shares its weight storage). An \"inferred\" act_polarity is read from layer.meta "
      "[\"act_polarity\"] and then fixed for the primitive, except that a later layer whose "
      "meta says its inputs are signed still gets signed codes. Raises RuntimeError when it "
      "must be inferred and the layer's meta has none, TypeError when `layer` is not a "
      "framework layer, AssertionError when the native layer is not exactly a Conv2d.");
  cls.method(
      "calibrate",
      [m](py::object self, py::object model, py::object data, py::object batches) {
        return calibrate(m, self, model, data, batches);
      },
      py::arg("model"), py::arg("data"), py::arg("batches") = 4,
      "Initialises the step size of every LSQ layer of `model` (a framework model or a "
      "torch.nn.Module) from data: the weight steps from the weights, the activation steps "
      "from the inputs each layer receives over the first `batches` batches of `data` (a "
      "DataLoader, a TorchDataLoader, a batch tensor, or an iterable of batches or of "
      "(inputs, targets) pairs), with every layer computing in float meanwhile. Call it after "
      "replacing the convolutions and before quantization-aware training; it keeps every "
      "module's train/eval mode and changes no step size if a batch fails. Returns `model`.");
  m.attr("TorchLSQ") = m.attr("TorchFramework").attr("register_quantization_method")(cls.build());
}

}  // namespace

PYBIND11_MODULE(prims_bridge, m) {
  import_names(m, "orrery.core.optimus.primitives.quantization", {"LSQ"});
  import_names(m, "orrery.framework.framework_bridge", {"TorchFramework"});
  import_names(m, "orrery.framework.nn_bridge", {"TorchConv2D"});
  import_names(m, "orrery.framework.model", {"Model"});
  m.attr("nn") = py::module_::import("torch.nn");
  import_names(m, "orrery.framework.quant_bridge", {"LSQConv2D", "_check_bit_widths"});
  import_names(m, "orrery.ologger", {"getLogger"});
  m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));
  make_torch_lsq(m);
}
