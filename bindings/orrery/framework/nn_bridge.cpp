// orrery.framework.nn_bridge: layer wrappers of torch.nn modules and the NN backend.
#include <torch/extension.h>

#include "class_builder.h"
#include "module_names.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

namespace {

// `from orrery.framework.nn import *`: every public name of the core's layer module.
void star_import(py::module_& m, const char* module) {
  py::module_ source = py::module_::import(module);
  py::object names = py::hasattr(source, "__all__") ? source.attr("__all__")
                                                     : source.attr("__dict__").attr("keys")();
  for (py::handle name : names) {
    std::string text = py::str(name);
    if (!text.empty() && text[0] != '_') m.attr(name) = source.attr(name);
  }
}

// The caller's array as a tensor the layer can take: a copy (the layer never
// shares the caller's memory), checked against `shape`, in the layer tensor's
// own dtype and device. Refused values leave the layer untouched.
py::object checked_tensor(const py::object& m, const py::object& self, const char* name,
                          const py::object& value, const std::vector<int64_t>& shape,
                          const py::object& like) {
  py::object np = py::module_::import("numpy");
  const std::string where = std::string(py::str(py::type::of(self).attr("__name__"))) + "." + name;
  if (!py::isinstance(value, np.attr("ndarray"))) {
    throw py::type_error(where + " expects a NumPy array, got " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  }
  const std::string kind = py::str(value.attr("dtype").attr("kind"));
  if (kind != "f" && kind != "i" && kind != "u") {
    throw py::type_error(where + " expects a real-valued array, got dtype " +
                         std::string(py::str(value.attr("dtype"))));
  }
  std::vector<int64_t> got = value.attr("shape").cast<std::vector<int64_t>>();
  if (got != shape) {
    auto text = [](const std::vector<int64_t>& dims) {
      std::string out = "(";
      for (size_t i = 0; i < dims.size(); ++i) out += (i ? ", " : "") + std::to_string(dims[i]);
      return out + (dims.size() == 1 ? ",)" : ")");
    };
    throw py::value_error(where + " expects an array of shape " + text(shape) + ", got shape " +
                          text(got));
  }
  py::object tensor = m.attr("torch").attr("from_numpy")(value.attr("copy")());
  return tensor.attr("to")(py::arg("device") = like.attr("device"),
                           py::arg("dtype") = like.attr("dtype"));
}

std::vector<int64_t> shape_of(const py::object& tensor) {
  return tensor.attr("shape").cast<std::vector<int64_t>>();
}

// .data.cpu().numpy(): no autograd history; shares memory for CPU tensors.
py::object to_numpy(const py::object& tensor) {
  return tensor.attr("data").attr("cpu")().attr("numpy")();
}

// A getter/setter pair over one tensor attribute of the native layer; a
// missing (None) tensor reads as None.
void tensor_property(ClassBuilder& cls, const char* name, const char* native_name, py::module_ m,
                     const char* doc) {
  cls.property(
      name,
      [native_name](py::object self) -> py::object {
        py::object tensor = self.attr("native_layer").attr(native_name);
        return tensor.is_none() ? py::none() : to_numpy(tensor);
      },
      [m, name, native_name](py::object self, py::object value) {
        py::object tensor = self.attr("native_layer").attr(native_name);
        if (tensor.is_none()) {
          throw py::value_error(std::string(name) + " cannot be set: the layer does not keep it");
        }
        tensor.attr("data") = checked_tensor(m, self, name, value, shape_of(tensor), tensor);
      },
      doc);
}

// Output units of a native layer: what a bias has one entry per.
int64_t output_units(const py::object& native) {
  for (const char* attr : {"out_channels", "out_features", "num_features"}) {
    if (py::hasattr(native, attr)) return native.attr(attr).cast<int64_t>();
  }
  return shape_of(native.attr("weight")).at(0);
}

// "<TorchConv2D 'layer1.0.conv1' Conv2d(64, 64, kernel_size=(3, 3), ...)>": the
// wrapper's type, the qualified name of its native module in its model's
// network and the module on one line (its type and settings, not its
// children), so that log lines read well. Never raises.
std::string layer_repr(const py::object& self) {
  std::string text = "<" + std::string(py::str(py::type::of(self).attr("__name__")));
  try {
    py::object native = py::getattr(self, "native_layer", py::none());
    py::object model = py::getattr(self, "model", py::none());
    py::object root = model.is_none() ? py::object(py::none()) : py::getattr(model, "native_model", py::none());
    if (!native.is_none() && py::hasattr(root, "named_modules")) {
      py::object name = orrery::bind::qualified_name(root, native);
      if (name.is_none()) text += " (not in its model)";
      else if (py::len(name) == 0) text += " (the whole model)";
      else text += " " + std::string(py::repr(name));
    }
    if (native.is_none()) {
      text += " (no native layer)";
    } else if (py::hasattr(native, "extra_repr")) {
      text += " " + std::string(py::str(py::type::of(native).attr("__name__"))) + "(" +
              std::string(py::str(native.attr("extra_repr")())) + ")";
    } else {
      text += " " + std::string(py::repr(native));
    }
  } catch (py::error_already_set&) {
    text += " ...";
  }
  return text + ">";
}

void make_torch_layer(py::module_& m) {
  ClassBuilder cls(m, "TorchLayer", {m.attr("BaseWeightsBiasLayer")},
                   "Base of the PyTorch layer wrappers with weights: the framework layer of one "
                   "torch.nn module, held as native_layer, whose weight and bias cross to the "
                   "core as NumPy arrays. Getters return the data on the CPU (sharing memory with "
                   "a layer on the CPU); setters copy the caller's array into the layer's dtype "
                   "and device. Printed as '<wrapper 'qualified name' native module>'.");
  cls.method("to_cpu", [](py::object self) {
    self.attr("native_layer") = self.attr("native_layer").attr("cpu")();
    return self;
  },
             "Moves the native layer to the CPU in place and returns the wrapper itself.");
  cls.property(
      "weights", [](py::object self) { return to_numpy(self.attr("native_layer").attr("weight")); },
      [m](py::object self, py::object value) {
        py::object weight = self.attr("native_layer").attr("weight");
        weight.attr("data") = checked_tensor(m, self, "weights", value, shape_of(weight), weight);
      },
      "The native layer's weight as a NumPy array: the data itself for a layer on the CPU, a CPU "
      "copy otherwise. Setting it copies a real-valued NumPy array of the weight's shape into the "
      "weight, in its dtype and on its device; raises TypeError for a non-array or a non-real "
      "dtype and ValueError for another shape, leaving the layer unchanged.");
  cls.property(
      "bias",
      [](py::object self) -> py::object {
        py::object bias = self.attr("native_layer").attr("bias");
        return bias.is_none() ? py::none() : to_numpy(bias);
      },
      [m](py::object self, py::object value) {
        py::object native = self.attr("native_layer");
        py::object bias = native.attr("bias");
        py::object weight = native.attr("weight");
        const std::vector<int64_t> shape = {output_units(native)};
        // Checked first, so a refused value never leaves a half-made bias behind.
        py::object tensor = checked_tensor(m, self, "bias", value, shape,
                                           bias.is_none() ? weight : bias);
        if (bias.is_none()) {
          // A layer built without bias gets one, sized by its output units,
          // once: later assignments update that parameter in place, so an
          // optimiser made in between keeps training it.
          native.attr("bias") = m.attr("torch").attr("nn").attr("Parameter")(tensor);
        } else {
          bias.attr("data") = tensor;
        }
      },
      "The native layer's bias as a NumPy array, or None when it has none. Setting it copies a "
      "real-valued NumPy array with one entry per output unit into the bias; a layer without a "
      "bias gets a new bias parameter the first time (use_bias is left as it is), which later "
      "assignments update in place. Raises TypeError for a "
      "non-array or a non-real dtype and ValueError for another shape, leaving the layer "
      "unchanged.");
  cls.method(
      "norm",
      [m](py::object self, py::object n) {
        py::object rows = self.attr("weights").attr("shape")[py::int_(0)];
        // reshape, not view: a channels-last weight has no flat view of its rows.
        py::object flat = self.attr("native_layer").attr("weight").attr("reshape")(rows, -1);
        return to_numpy(m.attr("torch").attr("norm")(flat, py::arg("p") = n, py::arg("dim") = 1));
      },
      py::arg("n"),
      "The norm of order `n` (as torch.norm takes it, e.g. 1 or 2) of each output unit's weights: "
      "the weight is reshaped to one row per entry of its first dimension and normed along each "
      "row. Returns a 1-D NumPy array.");
  cls.method("__repr__", [](py::object self) { return layer_repr(self); },
             "'<TorchConv2D 'features.0' Conv2d(3, 8, kernel_size=(3, 3), stride=(1, 1))>': the "
             "wrapper's type, its native module's qualified name in the model (or a note that it "
             "is not in one) and the module's type and settings.");
  cls.method("__quantized__", [m](py::object self) -> py::object {
    py::object native = self.attr("native_layer");
    if (!py::isinstance(native, m.attr("QuantizedModule"))) return py::none();
    py::object name = py::isinstance(native, m.attr("LSQConv2D")) ? py::object(py::str("lsq"))
                                                                   : py::object(py::none());
    return m.attr("TorchQuantizationStub")(self, py::arg("name") = name);
  },
             "A TorchQuantizationStub standing for the quantized native layer (named \"lsq\" for "
             "an LSQConv2D, None for another QuantizedModule), or None when the native layer is "
             "not quantized.");
  cls.build();
}

py::dict ordered_map(std::initializer_list<std::pair<const char*, const char*>> entries) {
  py::dict map;
  for (const auto& [core_name, native_name] : entries) map[core_name] = native_name;
  return map;
}

void make_base_conv(py::module_& m) {
  ClassBuilder cls(m, "TorchBaseConv", {m.attr("BaseConvolution"), m.attr("TorchLayer")},
                   "Base of the convolution wrappers, plain and transposed, 1-D to 3-D: builds "
                   "the torch.nn convolution from the core's arguments (use_bias becomes bias), "
                   "expanding sizes given as ints to one value per spatial dimension.");
  auto self_cls = cls.ref();
  cls.attr("native_map", ordered_map({{"in_channels", "in_channels"},
                                      {"out_channels", "out_channels"},
                                      {"kernel_size", "kernel_size"},
                                      {"stride", "stride"},
                                      {"use_bias", "bias"},
                                      {"padding", "padding"},
                                      {"dilation", "dilation"},
                                      {"groups", "groups"}}));
  cls.class_method(
      "build",
      [self_cls, m](py::object klass, py::object in_channels, py::object out_channels,
                    py::object kernel_size, py::object stride, py::object padding,
                    py::object dilation, py::object groups, py::object use_bias) {
        py::object int_to_tuple = m.attr("int_to_tuple");
        // DIM is read once per expanded argument, in this order.
        auto expand = [&](const py::object& value) {
          return int_to_tuple(value, py::arg("n") = klass.attr("DIM"));
        };
        py::object kernel = expand(kernel_size);
        py::object strides = expand(stride);
        py::object paddings = expand(padding);
        py::object dilations = expand(dilation);
        return self_cls.super(klass).attr("build")(
            py::arg("in_channels") = in_channels, py::arg("out_channels") = out_channels,
            py::arg("kernel_size") = kernel, py::arg("stride") = strides,
            py::arg("padding") = paddings, py::arg("dilation") = dilations,
            py::arg("groups") = groups, py::arg("use_bias") = use_bias);
      },
      py::arg("in_channels"), py::arg("out_channels"), py::arg("kernel_size"),
      py::arg("stride") = 1, py::arg("padding") = 0, py::arg("dilation") = 1,
      py::arg("groups") = 1, py::arg("use_bias") = true,
      "Creates a wrapper around a new native convolution from `in_channels` to `out_channels`, "
      "with `kernel_size`, `stride`, `padding` and `dilation` (an int is repeated for each of the "
      "class's DIM spatial dimensions), `groups`, and a bias when `use_bias`. Raises ValueError "
      "for a size tuple of the wrong length and PyTorch's errors for settings it refuses.");
  cls.build();
}

void make_base_batch_norm(py::module_& m) {
  ClassBuilder cls(m, "TorchBaseBatchNorm", {m.attr("BaseBatchNorm"), m.attr("TorchLayer")},
                   "Base of the batch-norm wrappers, 1-D to 3-D: builds the torch.nn batch norm "
                   "from the core's arguments (dimensions becomes num_features) and serves the "
                   "running statistics as NumPy arrays; the affine scale and shift are the "
                   "inherited weights and bias.");
  auto self_cls = cls.ref();
  cls.attr("native_map", ordered_map({{"dimensions", "num_features"}, {"eps", "eps"}}));
  cls.class_method(
      "build",
      [self_cls](py::object klass, py::object dimensions, py::object eps) {
        return self_cls.super(klass).attr("build")(py::arg("dimensions") = dimensions,
                                                   py::arg("eps") = eps);
      },
      py::arg("dimensions"), py::arg("eps") = 1e-5,
      "Creates a wrapper around a new native batch norm over `dimensions` features, with `eps` "
      "added to the variance for stability.");
  tensor_property(cls, "running_mean", "running_mean", m,
                  "The running mean of the batch norm as a NumPy array, or None when the layer keeps "
                  "no running statistics. Setting it copies a real-valued NumPy array of one entry "
                  "per feature into the buffer; raises TypeError for a non-array or a non-real dtype "
                  "and ValueError for another shape or a layer without running statistics, leaving "
                  "the layer unchanged.");
  tensor_property(cls, "running_var", "running_var", m,
                  "The running variance of the batch norm as a NumPy array, or None when the layer "
                  "keeps no running statistics. Setting it copies a real-valued NumPy array of one "
                  "entry per feature into the buffer; raises TypeError or ValueError as running_mean "
                  "does, leaving the layer unchanged.");
  cls.build();
}

// The concrete wrappers differ only in their bases and native class, and all
// pass through the core's define_abstract_properties.
void make_concrete_layer(py::module_& m, const char* name, const char* core_base,
                         const char* torch_base, const char* native_cls, const char* doc) {
  ClassBuilder cls(m, name, {m.attr(core_base), m.attr(torch_base)}, doc);
  cls.attr("native_layer_cls", m.attr("nn").attr(native_cls));
  m.attr(name) = m.attr("define_abstract_properties")(cls.build());
}

void make_linear(py::module_& m) {
  ClassBuilder cls(m, "TorchLinear", {m.attr("Linear"), m.attr("TorchLayer")},
                   "The framework layer of a torch.nn.Linear; in_dimensions, out_dimensions and "
                   "use_bias become in_features, out_features and bias.");
  auto self_cls = cls.ref();
  cls.attr("native_layer_cls", m.attr("nn").attr("Linear"));
  cls.attr("native_map", ordered_map({{"in_dimensions", "in_features"},
                                      {"out_dimensions", "out_features"},
                                      {"use_bias", "bias"}}));
  cls.class_method(
      "build",
      [self_cls](py::object klass, py::object in_dimensions, py::object out_dimensions,
                 py::object use_bias) {
        return self_cls.super(klass).attr("build")(py::arg("in_dimensions") = in_dimensions,
                                                   py::arg("out_dimensions") = out_dimensions,
                                                   py::arg("use_bias") = use_bias);
      },
      py::arg("in_dimensions"), py::arg("out_dimensions"), py::arg("use_bias") = true,
      "Creates a wrapper around a new torch.nn.Linear from `in_dimensions` inputs to "
      "`out_dimensions` outputs, with a bias when `use_bias`.");
  m.attr("TorchLinear") = m.attr("define_abstract_properties")(cls.build());
}

void make_identity(py::module_& m) {
  ClassBuilder native(m, "NativeTorchIdentityLayer", {m.attr("nn").attr("Module")},
                      "A torch.nn.Module without parameters that returns its input itself.");
  native.method("forward", [](py::object, py::object x) { return x; }, py::arg("x"),
                "Returns `x` itself, not a copy.");
  native.build();

  ClassBuilder cls(m, "TorchIdentityLayer", {m.attr("IdentityLayer")},
                   "The framework identity layer; its native layer is a NativeTorchIdentityLayer.");
  cls.attr("native_layer_cls", m.attr("NativeTorchIdentityLayer"));
  cls.attr("native_map", py::dict());
  cls.method("__repr__", [](py::object self) { return layer_repr(self); },
             "'<TorchIdentityLayer 'name' NativeTorchIdentityLayer()>', as for the other layers.");
  cls.build();
}

void make_quantization_stub(py::module_& m) {
  ClassBuilder cls(m, "TorchQuantizationStub", {m.attr("QuantizationStub")},
                   "The framework's view of a quantized native layer: made by "
                   "TorchLayer.__quantized__ for the wrapper `layer` whose native layer is a "
                   "QuantizedModule, it hands on export preparation, bit widths and the runtime "
                   "record.");
  auto quantized = [](const py::object& self) { return self.attr("layer").attr("native_layer"); };
  cls.method("prepare_for_export",
             [quantized](py::object self) { quantized(self).attr("prepare_for_export")(); },
             "Puts the quantized native layer into its integer export form (the conversion "
             "happens once). Returns None.");
  cls.property("weights_nbits", [quantized](py::object self) { return quantized(self).attr("wbits"); },
               "The weight bit width of the quantized native layer (its wbits).");
  cls.property("activations_nbits",
               [quantized](py::object self) { return quantized(self).attr("abits"); },
               "The activation bit width of the quantized native layer (its abits).");
  cls.method("vexa_format",
             [quantized](py::object self) { return quantized(self).attr("vexa_format")(); },
             "The quantized native layer's record for the vexa runtime: a dict of its type, bit "
             "widths, quantization kind and shape.");
  cls.build();
}

// f(**param_dict), with the interpreter's checks on the mapping.
py::object call_with_mapping(const py::object& f, const py::object& param_dict) {
  py::dict kwargs;
  if (PyDict_Merge(kwargs.ptr(), param_dict.ptr(), 1) != 0) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      throw py::type_error(std::string(py::str("{}() argument after ** must be a mapping, not {}")
                                           .format(f.attr("__qualname__"),
                                                   py::type::of(param_dict).attr("__name__"))));
    }
    throw py::error_already_set();
  }
  return f(**kwargs);
}

// The native factories: `name` picks a class of `source`, every other keyword
// is stored for its constructor. Arguments are parsed by hand so that a
// missing name reads as Python's own error. An optimiser factory is made with
// the model's parameters, a scheduler factory with the native optimiser.
struct FactoryKind {
  const char* name;
  const char* base;
  const char* source;
  const char* cls_attr;
  const char* kwargs_attr;
  const char* made_from;
  const char* doc;       // the class's
  const char* make_doc;  // make()'s
};

void make_native_factory(py::module_& m, const FactoryKind& kind) {
  ClassBuilder cls(m, kind.name, {m.attr(kind.base)}, kind.doc);
  py::object source = py::module_::import(kind.source);
  cls.method("__init__", [source, kind](py::object self, py::args args, py::kwargs kwargs) {
    if (args.size() > 1) {
      throw py::type_error("__init__() takes 2 positional arguments but " +
                           std::to_string(args.size() + 1) + " were given");
    }
    const bool named = kwargs.contains("name");
    if (args.size() == 1 && named) {
      throw py::type_error("__init__() got multiple values for argument 'name'");
    }
    if (args.size() == 0 && !named) {
      throw py::type_error("__init__() missing 1 required positional argument: 'name'");
    }
    py::object native_name = named ? kwargs.attr("pop")("name") : py::object(args[0]);
    self.attr(kind.cls_attr) = py::getattr(source, native_name);
    self.attr(kind.kwargs_attr) = kwargs;
  },
             "Chooses the class named `name` in the factory's PyTorch module and keeps every "
             "other keyword argument for its constructor, unchecked. Raises TypeError when `name` "
             "is missing or given twice, AttributeError when the module has no such class.");
  cls.method_signature("__init__", "(self, name, **kwargs)");
  const bool from_model = std::string(kind.made_from) == "native_model";
  cls.method(
      "make",
      [kind, from_model](py::object self, py::object native) {
        py::object first = from_model ? py::object(native.attr("parameters")()) : native;
        py::dict kwargs = self.attr(kind.kwargs_attr);
        return self.attr(kind.cls_attr)(first, **kwargs);
      },
      py::arg(kind.made_from), kind.make_doc);
  cls.build();
}

void make_torch_nn(py::module_& m) {
  ClassBuilder cls(m, "TorchNN", {m.attr("NN")},
                   "The backend's optimisation services for the core: the loop optimiser and "
                   "scheduler classes, and native optimiser and scheduler factories made from "
                   "configuration dictionaries. Keeps no state.");
  // Stateless: the core's config is accepted and not kept.
  cls.method("__init__", [](py::object, py::object) {}, py::arg("config"),
             "Accepts the core's configuration `config` and keeps nothing of it.");
  cls.property("loop_optimizer_cls", [m](py::object) { return m.attr("TorchOptimizer"); },
               "The loop optimiser class, TorchOptimizer.");
  cls.property("loop_scheduler_cls", [m](py::object) { return m.attr("TorchLRScheduler"); },
               "The loop scheduler class, TorchLRScheduler.");
  cls.method(
      "native_optimizer_factory_from_dict",
      [m](py::object, py::object param_dict) {
        return call_with_mapping(m.attr("DefaultTorchNativeOptimizerFactory"), param_dict);
      },
      py::arg("param_dict"),
      "A DefaultTorchNativeOptimizerFactory made from the mapping `param_dict`: its \"name\" "
      "names a class of torch.optim and every other entry becomes a keyword argument of that "
      "class. Raises TypeError when `param_dict` is not a mapping or lacks \"name\", and "
      "AttributeError when torch.optim has no such class.");
  cls.method(
      "native_scheduler_factory_from_dict",
      [m](py::object, py::object param_dict) {
        return call_with_mapping(m.attr("DefaultTorchNativeSchedulerFactory"), param_dict);
      },
      py::arg("param_dict"),
      "A DefaultTorchNativeSchedulerFactory made from the mapping `param_dict`: its \"name\" "
      "names a class of torch.optim.lr_scheduler and every other entry becomes a keyword argument "
      "of that class. Raises TypeError when `param_dict` is not a mapping or lacks \"name\", and "
      "AttributeError when torch.optim.lr_scheduler has no such class.");
  cls.build();
}

void make_torch_optimizer(py::module_& m) {
  ClassBuilder cls(m, "TorchOptimizer", {m.attr("LoopOptimizer")},
                   "The loop optimiser: runs one step of its native optimiser (native_optimizer, "
                   "a torch.optim optimiser) per optimize_step, and carries the optimiser's state "
                   "in and out of checkpoints.");
  cls.method(
      "optimize_step",
      [](py::object self, py::object step) {
        py::object optimizer = self.attr("native_optimizer");
        optimizer.attr("zero_grad")();
        py::object loss = step.attr("compute")();
        loss.attr("backward")();
        self.attr("native_optimizer").attr("step")();
        // Plain numbers: the step's losses no longer hold the graph.
        py::dict numbers;
        py::object items = step.attr("loss_dict").attr("items")();
        for (py::handle item : items) {
          py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
          numbers[pair[0]] = pair[1].attr("item")();
        }
        step.attr("loss_dict") = numbers;
      },
      py::arg("step"),
      "One training step for the core's step object `step`: zeroes the gradients, computes the "
      "loss with step.compute(), back-propagates it and steps the native optimiser, then replaces "
      "step.loss_dict by a new dict of the same keys holding plain Python numbers. Returns None.");
  cls.method("dump_native_info",
             [](py::object self) { return self.attr("native_optimizer").attr("state_dict")(); },
             "The native optimiser's state_dict(), for a checkpoint.");
  cls.method(
      "load_native_info",
      [](py::object self, py::object native_state) {
        self.attr("native_optimizer").attr("load_state_dict")(native_state);
      },
      py::arg("native_state"),
      "Loads `native_state`, a state made by dump_native_info, into the native optimiser. Returns "
      "None; raises PyTorch's error for a state that does not fit the optimiser.");
  cls.build();
}

}  // namespace

PYBIND11_MODULE(nn_bridge, m) {
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  import_names(m, "orrery.core.tools", {"int_to_tuple"});
  star_import(m, "orrery.framework.nn");
  import_names(m, "orrery.framework.ext_bridge", {"TorchLRScheduler"});
  import_names(m, "orrery.framework.quant_bridge", {"QuantizedModule", "LSQConv2D"});

  make_torch_nn(m);
  make_torch_optimizer(m);
  make_native_factory(m, {"DefaultTorchNativeOptimizerFactory", "NativeOptimizerFactory",
                          "torch.optim", "optimizer_cls", "optimizer_kwargs", "native_model",
                          "Makes native optimisers from configuration: the class of torch.optim "
                          "named at creation (optimizer_cls), with the keyword arguments given "
                          "with it (optimizer_kwargs).",
                          "A new optimiser of the configured class over the parameters of "
                          "`native_model` (a torch.nn.Module), with the configured keyword "
                          "arguments; raises the class's TypeError for keywords it does not "
                          "take."});
  make_native_factory(m, {"DefaultTorchNativeSchedulerFactory", "NativeSchedulerFactory",
                          "torch.optim.lr_scheduler", "scheduler_cls", "scheduler_kwargs",
                          "native_optimizer",
                          "Makes native learning-rate schedulers from configuration: the class "
                          "of torch.optim.lr_scheduler named at creation (scheduler_cls), with "
                          "the keyword arguments given with it (scheduler_kwargs).",
                          "A new scheduler of the configured class steering `native_optimizer` "
                          "(a torch.optim optimiser), with the configured keyword arguments; "
                          "raises the class's TypeError for keywords it does not take."});
  make_torch_layer(m);
  make_base_conv(m);
  make_concrete_layer(m, "TorchConv1D", "Convolution1D", "TorchBaseConv", "Conv1d",
                      "The framework layer of a torch.nn.Conv1d (1-D convolution).");
  make_concrete_layer(m, "TorchConv2D", "Convolution2D", "TorchBaseConv", "Conv2d",
                      "The framework layer of a torch.nn.Conv2d (2-D convolution).");
  make_concrete_layer(m, "TorchConv3D", "Convolution3D", "TorchBaseConv", "Conv3d",
                      "The framework layer of a torch.nn.Conv3d (3-D convolution).");
  make_concrete_layer(m, "TorchConvTranspose1D", "ConvolutionTranspose1D", "TorchBaseConv",
                      "ConvTranspose1d",
                      "The framework layer of a torch.nn.ConvTranspose1d (1-D transposed convolution).");
  make_concrete_layer(m, "TorchConvTranspose2D", "ConvolutionTranspose2D", "TorchBaseConv",
                      "ConvTranspose2d",
                      "The framework layer of a torch.nn.ConvTranspose2d (2-D transposed convolution).");
  make_concrete_layer(m, "TorchConvTranspose3D", "ConvolutionTranspose3D", "TorchBaseConv",
                      "ConvTranspose3d",
                      "The framework layer of a torch.nn.ConvTranspose3d (3-D transposed convolution).");
  make_base_batch_norm(m);
  make_concrete_layer(m, "TorchBatchNorm1D", "BatchNorm1D", "TorchBaseBatchNorm", "BatchNorm1d",
                      "The framework layer of a torch.nn.BatchNorm1d (1-D batch norm).");
  make_concrete_layer(m, "TorchBatchNorm2D", "BatchNorm2D", "TorchBaseBatchNorm", "BatchNorm2d",
                      "The framework layer of a torch.nn.BatchNorm2d (2-D batch norm).");
  make_concrete_layer(m, "TorchBatchNorm3D", "BatchNorm3D", "TorchBaseBatchNorm", "BatchNorm3d",
                      "The framework layer of a torch.nn.BatchNorm3d (3-D batch norm).");
  make_linear(m);
  make_identity(m);
  make_quantization_stub(m);
}
