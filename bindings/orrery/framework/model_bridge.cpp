// orrery.framework.model_bridge: the model wrapper, its layer tree and graph hooks.
#include <torch/extension.h>

#include "class_builder.h"
#include "module_snapshot.h"
#include "output_files.h"
#include "python_checks.h"

namespace py = pybind11;
using orrery::bind::check_output_file;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;
using orrery::bind::output_prefix;
using orrery::bind::Rollback;
using orrery::bind::type_name;

namespace {

void load_imports(py::module_& m) {
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("pickle") = py::module_::import("pickle");
  import_names(m, "corvex.profiler", {"Device"});
  import_names(m, "corvex.torch_profiler.torch_profiler",
               {"TorchProfiler", "ComputeComplexity", "ComputeExecutionTime"});
  import_names(m, "corvex.model_converter.pytorch_converter",
               {"PyTorch2ONNX", "PyTorch2JIT", "PyTorch2VEXA"});
  import_names(m, "corvex.corvex_encryption", {"encrypt", "check_key"});
  import_names(m, "orrery.framework.nn", {"UnknownLayer", "GraphLayer"});
  import_names(m, "orrery.framework.model", {"Model", "LayerGroup"});
  import_names(m, "orrery.framework.graph_bridge", {"TorchGraphParser"});
  import_names(m, "orrery.framework.quant_bridge", {"_check_step_sizes"});
  import_names(m, "orrery.framework.nn_bridge",
               {"BaseLayer", "BaseConvolution", "TorchConv1D", "TorchConv2D", "TorchConv3D",
                "TorchConvTranspose1D", "TorchConvTranspose2D", "TorchConvTranspose3D",
                "TorchBatchNorm1D", "TorchLinear", "TorchBatchNorm2D", "TorchBatchNorm3D"});
  import_names(m, "orrery.ologger", {"getLogger"});
  m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));
  // TensorFlow is optional: without it only the TFLite export is unavailable.
  try {
    import_names(m, "corvex.model_converter.tf_converter", {"TF2ONNX", "TF2TFLite"});
    m.attr("TF_CONVERTER_IMPORT") = true;
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    m.attr("TF_CONVERTER_IMPORT") = false;
    m.attr("logger").attr("warning")("Tensorflow is not installed, exporting to it will fail");
  }
}

// Native leaf types and their wrappers, tested in this order with isinstance.
constexpr std::pair<const char*, const char*> kLeafClasses[] = {
    {"Conv1d", "TorchConv1D"},
    {"Conv2d", "TorchConv2D"},
    {"Conv3d", "TorchConv3D"},
    {"Linear", "TorchLinear"},
    {"ConvTranspose1d", "TorchConvTranspose1D"},
    {"ConvTranspose2d", "TorchConvTranspose2D"},
    {"ConvTranspose3d", "TorchConvTranspose3D"},
    {"BatchNorm1d", "TorchBatchNorm1D"},
    {"BatchNorm2d", "TorchBatchNorm2D"},
    {"BatchNorm3d", "TorchBatchNorm3D"},
};

// Records where a layer's native module sits in the network. The key order
// is part of what readers of meta see: a parsed layer gets "native_id" first,
// a replacement (PlaceOrder::ParentFirst) "native_parent" first.
enum class PlaceOrder { IdFirst, ParentFirst };

void set_native_place(const py::object& layer, const py::object& native_id,
                      const py::object& native_parent, PlaceOrder order = PlaceOrder::IdFirst) {
  py::object meta = layer.attr("meta");
  if (order == PlaceOrder::ParentFirst) meta[py::str("native_parent")] = native_parent;
  meta[py::str("native_id")] = native_id;
  if (order == PlaceOrder::IdFirst) meta[py::str("native_parent")] = native_parent;
}

void tree_methods(ClassBuilder& cls, py::module_ m) {
  cls.method("_parse_native", [](py::object self) {
    py::object root = self.attr("layer_group");
    py::object native_model = self.attr("native_model");
    if (!py::isinstance(native_model, py::module_::import("torch.nn").attr("Module"))) {
      throw py::type_error("TorchModel wraps a torch.nn.Module, got " +
                           type_name(native_model) +
                           (py::isinstance<py::str>(native_model)
                                ? " (build the network first, e.g. torchvision.models.resnet18())"
                                : ""));
    }
    for (py::handle item : native_model.attr("named_children")()) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      self.attr("_add_layer")(root, pair[1], pair[0], native_model);
    }
  },
             "Builds the layer tree under layer_group, one layer per child of the network, "
             "recursively. Returns None.");
  cls.method(
      "_add_layer",
      [m](py::object self, py::object lg, py::object n_layer, py::object native_id,
          py::object native_parent) {
        py::object layer_cls = self.attr("_get_layer_cls")(n_layer);
        py::object new_layer;
        if (layer_cls.equal(m.attr("LayerGroup"))) {
          new_layer = m.attr("LayerGroup")();
          new_layer.attr("model") = lg.attr("model");
          for (py::handle item : n_layer.attr("named_children")()) {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            self.attr("_add_layer")(new_layer, pair[1], pair[0], n_layer);
          }
        } else {
          new_layer = layer_cls(n_layer);
        }
        set_native_place(new_layer, native_id, native_parent);
        lg.attr("append")(new_layer);
      },
      py::arg("lg"), py::arg("n_layer"), py::arg("native_id"), py::arg("native_parent"),
      "Adds to the group `lg` the framework layer of the native module `n_layer` (a LayerGroup "
      "filled recursively when it has children), recording `native_id` and `native_parent` in its "
      "meta. Returns None.");
  cls.method(
      "_get_layer_cls",
      [m](py::object, py::object native_layer) -> py::object {
        // One step of named_children() tells whether the module has children.
        py::object children = native_layer.attr("named_children")();
        PyObject* first = PyIter_Next(children.ptr());
        if (first != nullptr) {
          Py_DECREF(first);
          return m.attr("LayerGroup");
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        py::object nn = m.attr("nn");
        for (const auto& [native_name, wrapper_name] : kLeafClasses) {
          if (py::isinstance(native_layer, nn.attr(native_name))) return m.attr(wrapper_name);
        }
        return m.attr("UnknownLayer");
      },
      py::arg("native_layer"),
      "The framework class for the native module `native_layer`: LayerGroup when it has children, "
      "else the wrapper of the first matching known torch.nn type, else UnknownLayer.");
  cls.method("flat_native_dict_view", [](py::object self) {
    py::dict view;
    for (py::handle item : self.attr("native_model").attr("named_modules")()) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      view[pair[0]] = pair[1];
    }
    return view;
  },
             "A new dict of every module of the network by qualified name, in named_modules() "
             "order, the network itself under \"\".");
}

void device_methods(ClassBuilder& cls, py::module_ m) {
  auto self_cls = cls.ref();
  cls.method("get_parameters",
             [](py::object self) { return self.attr("native_model").attr("parameters")(); },
             "The network's parameters() iterator.");
  cls.method(
      "to_device",
      [self_cls](py::object self, py::object device) {
        // Through the class itself: a subclass's model_to_device is not used.
        self_cls.get().attr("model_to_device")(self.attr("native_model"), device);
      },
      py::arg("device"),
      "Moves the network to `device` (a Device) in place through TorchModel.model_to_device. "
      "Returns None; raises PyTorch's error when CUDA is asked for and absent.");
  cls.static_method(
      "model_to_device",
      [m](py::object module, py::object device) {
        return device.equal(py::object(m.attr("Device").attr("CPU"))) ? module.attr("cpu")()
                                                          : module.attr("cuda")();
      },
      py::arg("m"), py::arg("device"),
      "Moves the torch.nn.Module `m` to the CPU when `device` is Device.CPU, to the default GPU "
      "otherwise, and returns it (moved in place).");
  cls.method("train", [](py::object self) { self.attr("native_model").attr("train")(); },
             "Puts the network in training mode. Returns None.");
  cls.method("eval", [](py::object self) { self.attr("native_model").attr("eval")(); },
             "Puts the network in evaluation mode. Returns None.");
}

// A data loader for the profiler: the loader itself when it makes example
// inputs, a TorchDataLoader around a torch DataLoader, or a stand-in whose
// "random" inputs are the example tensors given, cut to the batch asked for.
py::object measuring_loader(const py::object& inputs) {
  if (py::hasattr(inputs, "forward_pass")) return inputs;
  py::object data = py::module_::import("torch.utils.data");
  if (py::isinstance(inputs, data.attr("DataLoader"))) {
    return py::module_::import("orrery.framework.loader_bridge").attr("TorchDataLoader")(inputs,
                                                                                       py::none());
  }
  py::tuple tensors = py::isinstance<py::tuple>(inputs) || py::isinstance<py::list>(inputs)
                          ? py::tuple(inputs)
                          : py::make_tuple(inputs);
  bool all_tensors = py::len(tensors) > 0;
  for (py::handle t : tensors) all_tensors = all_tensors && THPVariable_Check(t.ptr());
  if (!all_tensors) {
    throw py::type_error("measure() expects example inputs (a tensor or a tuple of tensors), a "
                         "DataLoader or a TorchDataLoader, got " +
                         type_name(inputs));
  }
  py::cpp_function make([tensors](py::object batch_size) {
    py::list cut;
    for (py::handle t : tensors) cut.append(t[py::slice(py::int_(0), batch_size, py::none())]);
    return py::tuple(cut);
  });
  py::object namespace_cls = py::module_::import("types").attr("SimpleNamespace");
  return namespace_cls(py::arg("forward_pass") =
                           namespace_cls(py::arg("create_random_model_inputs") = make));
}

// The profiler's figures for the model on `inputs` (see measure's docstring).
py::dict measure(const py::object& self, const py::object& inputs) {
  py::object loader = measuring_loader(inputs);
  py::dict splits;
  splits["measure"] = loader;
  py::dict results = self.attr("_make_profiler")(splits).attr("profile")();
  py::dict complexity = results["ComputeComplexity"];
  py::dict timing = results["ComputeExecutionTime"];
  py::dict out;
  out["params"] = complexity["params"];
  out["macs"] = complexity["macs"];
  out["seconds_per_sample"] = timing["seconds_per_sample"];
  out["layers"] = complexity["layers"];
  return out;
}

// Loads `dumped_state` into the network `native`, or leaves it as it was.
// PyTorch copies every matching tensor before it reports missing, unexpected
// or mis-shaped entries; a copy of the current state puts the model back as it
// was before the error goes on.
void load_state_or_restore(const py::object& native, const py::object& dumped_state) {
  py::dict saved;
  {
    torch::NoGradGuard no_grad;
    for (auto item : py::dict(native.attr("state_dict")())) {
      saved[item.first] = THPVariable_Check(item.second.ptr())
                              ? py::object(item.second.attr("clone")())
                              : py::reinterpret_borrow<py::object>(item.second);
    }
  }
  try {
    native.attr("load_state_dict")(dumped_state);
  } catch (py::error_already_set& error) {
    native.attr("load_state_dict")(saved);
    throw;
  }
}

void state_methods(ClassBuilder& cls, py::module_ m) {
  cls.method(
      "_make_profiler",
      [m](py::object self, py::object data_splits) {
        py::object profiler = m.attr("TorchProfiler")(self.attr("native_model"), data_splits,
                                                      py::arg("name") = self.attr("name"));
        profiler.attr("register_profiler_function")(m.attr("ComputeComplexity")());
        profiler.attr("register_profiler_function")(m.attr("ComputeExecutionTime")());
        return profiler;
      },
      py::arg("data_splits"),
      "A new TorchProfiler of the network over `data_splits` (split name to data loader), named "
      "after the model, with complexity and execution-time measurements registered in that order.");
  cls.method(
      "measure",
      [](py::object self, py::object inputs) { return measure(self, inputs); },
      py::arg("inputs"),
      "Measures the model at batch 1 on `inputs` (an example input tensor, a tuple of them, a "
      "DataLoader or a TorchDataLoader): returns {\"params\": total parameters, \"macs\": total "
      "multiply-accumulates, quantized layers included, \"seconds_per_sample\": median forward "
      "time, \"layers\": {qualified name: {\"params\", \"macs\"}}}. Runs in eval mode and "
      "without gradients, leaving every module's mode as it was.");
  cls.method("dump_native_info",
             [](py::object self) { return self.attr("native_model").attr("state_dict")(); },
             "The network's state_dict(), for a checkpoint.");
  cls.method(
      "load_native_info",
      [](py::object self, py::object dumped_state) {
        load_state_or_restore(self.attr("native_model"), dumped_state);
        return self;
      },
      py::arg("dumped_state"),
      "Loads `dumped_state`, a state dict made by dump_native_info, into the network and returns "
      "the model itself. Raises PyTorch's error for missing, unexpected or mis-shaped entries, "
      "after putting back the weights the network had before the call.");
  // The printed architecture: class names, settings and nesting, not weights;
  // a data-parallel wrapper prints as the model it wraps.
  cls.method("checkpoint_hash", [m](py::object self) {
    py::object native = self.attr("native_model");
    py::object nn = m.attr("nn");
    if (py::isinstance(native, nn.attr("DataParallel")) ||
        py::isinstance(native, nn.attr("parallel").attr("DistributedDataParallel"))) {
      native = native.attr("module");
    }
    return py::str(native);
  },
             "The architecture's fingerprint for checkpoints: the printed network (types, "
             "settings and nesting, not weights), a data-parallel wrapper printing as the network "
             "it wraps.");
}

void graph_methods(ClassBuilder& cls, py::module_ m) {
  cls.method(
      "_parse_into_graph",
      [m](py::object self, py::object args) {
        py::object graph = self.attr("graph_parser").attr("parse_model")(self, args);
        py::object flat_view = self.attr("flat_view")();
        py::object nn = m.attr("nn");
        const py::tuple must_be_linked = py::make_tuple(nn.attr("Conv1d"), nn.attr("Conv2d"),
                                                        nn.attr("Conv3d"), nn.attr("Linear"));
        for (py::handle node : graph) {
          py::object native = node.attr("layer");
          if (py::isinstance(native, m.attr("BaseLayer"))) continue;
          bool linked = false;
          for (py::handle layer : flat_view) {
            if (py::object(layer.attr("native_layer")).is(native)) {
              node.attr("layer") = layer;
              linked = true;
              break;
            }
          }
          if (linked) continue;
          if (PyObject_IsInstance(native.ptr(), must_be_linked.ptr()) == 1) {
            throw std::runtime_error("Base Layer types should have been linked");
          }
          node.attr("layer") = m.attr("GraphLayer")(native);
        }
        return graph;
      },
      py::arg("args"),
      "The dataflow graph of the network traced on the example inputs `args`, each node's layer "
      "replaced by the tree's layer that wraps the same module (a new GraphLayer when none does). "
      "Raises RuntimeError when a convolution or linear module of the graph is not in the tree, "
      "and GraphParsingError when tracing fails.");
  cls.method(
      "_replace_native_layer",
      [m](py::object, py::object old_layer, py::object new_layer) {
        py::object meta = old_layer.attr("meta");
        py::object native_parent = meta[py::str("native_parent")];
        py::object native_id = meta[py::str("native_id")];
        py::object new_native;
        if (py::isinstance(new_layer, m.attr("LayerGroup"))) {
          py::list children(new_layer);
          py::list natives;
          for (py::handle child : children) natives.append(child.attr("native_layer"));
          new_native = m.attr("nn").attr("Sequential")(*natives);
          for (size_t i = 0; i < children.size(); ++i) {
            set_native_place(children[i], py::str(std::to_string(i)), new_native,
                             PlaceOrder::ParentFirst);
          }
        } else {
          new_native = new_layer.attr("native_layer");
        }
        py::setattr(native_parent, native_id, new_native);
        set_native_place(new_layer, native_id, native_parent, PlaceOrder::ParentFirst);
      },
      py::arg("old_layer"), py::arg("new_layer"),
      "Installs the native module of `new_layer` (for a LayerGroup, an nn.Sequential of its "
      "children's modules) in the place of `old_layer`'s in its native parent, and records that "
      "place in the new layer's meta. Returns None; raises KeyError when `old_layer` has no place "
      "recorded, before anything changes.");
}


// Refusals every export makes before anything is converted or written.
void check_precision(const py::object& precision) {
  if (py::str("fp32").equal(precision) || py::str("int8").equal(precision)) return;
  throw py::value_error("precision must be 'fp32' or 'int8' (integer QDQ form of the LSQ "
                        "layers), got " + std::string(py::repr(precision)) +
                        "; nothing was written");
}

void check_exportable(const py::module_& m, const py::object& self) {
  m.attr("_check_step_sizes")(self.attr("native_model"));
}

// The export methods hand the native model to the companion converters.
void onnx_export_method(ClassBuilder& cls, py::module_ m) {
  py::object cpu = m.attr("Device").attr("CPU");
  cls.method(
      "export_to_onnx",
      [m](py::object self, py::object dataloader, py::object batch_size, py::object path,
          py::object precision, py::object device, py::object dynamic_input,
          py::object annotate) {
        check_precision(precision);
        check_exportable(m, self);
        if (!device.is(m.attr("Device").attr("CPU"))) {
          m.attr("logger").attr("debug")(
              "Passing another device than 'CPU' to export_to_onnx is now silenced");
        }
        m.attr("PyTorch2ONNX").attr("export")(
            self.attr("native_model"), path, py::arg("dataloader") = dataloader,
            py::arg("precision") = precision, py::arg("batch_size") = batch_size,
            py::arg("dynamic_input") = dynamic_input, py::arg("annotate") = annotate);
      },
      py::arg("dataloader"), py::arg("batch_size") = 1, py::arg("path") = "output.onnx",
      py::arg("precision") = "fp32", py::arg("device") = cpu, py::arg("dynamic_input") = "b",
      py::arg("annotate") = false,
      "Writes the network to the ONNX file `path` through PyTorch2ONNX, with example inputs of "
      "`batch_size` from `dataloader`: at `precision` \"fp32\", or \"int8\" for the LSQ layers in "
      "integer form; `dynamic_input` names the dynamic input dimensions (\"b\": the batch) and "
      "`annotate` records the quantized layers' bit widths. `device` is accepted and not used. "
      "Returns None. Raises ValueError for another precision or an LSQ layer with an unusable "
      "step size, before anything is written.");
}

// The runtime record of every convolution of the tree, by native module.
py::dict vexa_mapping(const py::module_& m, const py::object& self) {
  py::dict mapping;
  for (py::handle layer : self.attr("flat_view")()) {
    if (py::isinstance(layer, m.attr("BaseConvolution"))) {
      mapping[layer.attr("native_layer")] = layer.attr("vexa_format")();
    }
  }
  return mapping;
}

// `path` + "WxH" for a (W, H) resolution, `path` itself for any other.
py::object vexa_export_path(const py::object& path, const py::handle& resolution) {
  const int truthy = PyObject_IsTrue(resolution.ptr());
  if (truthy < 0) throw py::error_already_set();
  if (truthy == 1 && py::isinstance<py::tuple>(resolution) && py::len(resolution) == 2) {
    return py::str("{}{}x{}").format(path, resolution[py::int_(0)], resolution[py::int_(1)]);
  }
  return path;
}

// Two-element tuples of `resolutions` name files: each must be two positive ints.
void check_resolutions(const py::object& resolutions) {
  if (!py::isinstance<py::list>(resolutions)) {
    throw py::type_error("resolutions must be a list of (W, H) tuples (None, the model as "
                         "converted, is added to it), got " + type_name(resolutions) +
                         "; nothing was changed or written");
  }
  for (py::handle resolution : resolutions) {
    if (!py::isinstance<py::tuple>(resolution) || py::len(resolution) != 2) continue;
    for (py::handle side : resolution) {
      if (!py::isinstance<py::int_>(side) || py::isinstance<py::bool_>(side) ||
          side.cast<long long>() <= 0) {
        throw py::value_error("a resolution (W, H) of resolutions must hold two positive ints, "
                              "got " + std::string(py::repr(resolution)) +
                              "; nothing was changed or written");
      }
    }
  }
}

// What export_to_vexa can refuse before it changes the model: the path prefix and
// the resolutions, and, when it encrypts, the key and every file it will write.
py::str check_vexa_export(const py::module_& m, const py::object& path,
                          const py::object& resolutions, bool encrypt) {
  py::str prefix = output_prefix(path, "path");
  check_resolutions(resolutions);
  if (!encrypt) return prefix;
  m.attr("check_key")();
  for (py::handle resolution : resolutions) {
    check_output_file(vexa_export_path(prefix, resolution) + py::str(".orq"));
  }
  check_output_file(prefix + py::str(".orq"));  // the file of the None entry
  return prefix;
}

// Converts the model and writes one encrypted file per resolution (see the docstring).
void write_vexa_files(const py::module_& m, const py::object& self, const py::object& dataloader,
                      const py::object& batch_size, const py::str& prefix,
                      const py::object& dynamic_input, bool encrypt,
                      const py::object& simplify_model, const py::object& resolutions) {
  py::dict mapping = vexa_mapping(m, self);
  py::object converter_cls = m.attr("PyTorch2VEXA");
  py::object converter = converter_cls(self.attr("native_model"), py::arg("prep_fn") = py::none());
  py::object vexa_tuple = converter.attr("convert")(
      py::arg("vexa_mapping") = mapping, py::arg("dataloader") = dataloader,
      py::arg("dynamic_input") = dynamic_input, py::arg("batch_size") = batch_size,
      py::arg("simplify_model") = false, py::arg("resolution") = py::none());
  py::object input_tuple =
      dataloader.attr("forward_pass").attr("create_random_model_inputs")(batch_size);
  py::object pickle = m.attr("pickle");
  py::cpp_function pickler_function(
      [pickle](py::object file) { return pickle.attr("Pickler")(file, py::arg("protocol") = 3); },
      py::arg("file"));
  for (py::handle resolution : resolutions) {
    py::object out_tuple = vexa_tuple;
    if (py::bool_(simplify_model)) {
      try {
        py::object simpl_model = m.attr("PyTorch2VEXA").attr("simplify_model")(
            vexa_tuple[py::int_(0)], input_tuple, resolution);
        out_tuple = py::make_tuple(simpl_model, vexa_tuple[py::int_(1)]);
      } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        m.attr("logger").attr("warning")(
            "Unable to prepare model for vexa export at specified resolution");
        continue;
      }
    }
    if (encrypt) {
      py::object target = vexa_export_path(prefix, resolution) + py::str(".orq");
      m.attr("encrypt")(out_tuple, target, py::arg("pickler_function") = pickler_function);
    }
  }
}

void export_to_vexa(const py::module_& m, py::object self, py::object dataloader,
                    py::object batch_size, py::object path, py::object dynamic_input,
                    py::object prepare_quantization, py::object encrypt_files,
                    py::object simplify_model, py::object resolutions) {
  check_exportable(m, self);
  const bool encrypt = py::bool_(encrypt_files);
  py::str prefix = check_vexa_export(m, path, resolutions, encrypt);
  if (!resolutions.contains(py::none())) resolutions.attr("append")(py::none());
  // Preparing and converting change modules (export form, tracing); a failure
  // from here on puts every module of the network back as it was.
  Rollback rollback;
  for (py::handle module : self.attr("native_model").attr("modules")()) {
    rollback.keep(py::reinterpret_borrow<py::object>(module));
  }
  rollback.guard([&] {
    if (py::bool_(prepare_quantization)) self.attr("prepare_quantization_export")();
    write_vexa_files(m, self, dataloader, batch_size, prefix, dynamic_input, encrypt,
                     simplify_model, resolutions);
  });
}

void vexa_export_method(ClassBuilder& cls, py::module_ m) {
  // One list for every call, as a default written in a def statement would be.
  py::list shared_resolutions;
  cls.method(
      "export_to_vexa",
      [m](py::object self, py::object dataloader, py::object batch_size, py::object path,
          py::object dynamic_input, py::object prepare_quantization, py::object encrypt_files,
          py::object simplify_model, py::object resolutions) {
        export_to_vexa(m, self, dataloader, batch_size, path, dynamic_input,
                       prepare_quantization, encrypt_files, simplify_model, resolutions);
      },
      py::arg("dataloader"), py::arg("batch_size") = 1, py::arg("path") = "output",
      py::arg("dynamic_input") = "b", py::arg("prepare_quantization") = true,
      py::arg("encrypt_files") = true, py::arg("simplify_model") = true,
      py::arg("resolutions") = shared_resolutions,
      "Writes the network for the vexa runtime: puts quantized layers in export form when "
      "`prepare_quantization`, converts the network with the convolutions' runtime records, then "
      "for each entry of `resolutions` (None, the model as converted, is appended to the list) "
      "fixes the shapes when `simplify_model` (a resolution that fails is skipped with a warning) "
      "and, when `encrypt_files`, writes the encrypted file `path` + \"WxH\" + \".orq\" (just "
      "`path` + \".orq\" for None). Returns None. Before the model changes it refuses an LSQ "
      "layer with an unusable step size, an empty or non-text `path`, `resolutions` that is not "
      "a list or holds a (W, H) tuple of anything but positive ints, and, when `encrypt_files`, "
      "a missing or bad key and any target that cannot be written (a directory, device or FIFO, "
      "a missing directory, a name too long). A failure after that (converter, encryption, file "
      "errors, which propagate) puts every module of the network back as it was; files already "
      "written stay.");
}

void jit_export_method(ClassBuilder& cls, py::module_ m) {
  py::object cpu = m.attr("Device").attr("CPU");
  cls.method(
      "export_to_jit",
      [m](py::object self, py::object dataloader, py::object batch_size, py::object path,
          py::object device) {
        check_exportable(m, self);
        m.attr("PyTorch2JIT").attr("export")(self.attr("native_model"), path,
                                             py::arg("dataloader") = dataloader,
                                             py::arg("batch_size") = batch_size,
                                             py::arg("device") = device);
      },
      py::arg("dataloader"), py::arg("batch_size") = 1, py::arg("path") = "output_jit.pt",
      py::arg("device") = cpu,
      "Writes the network traced with TorchScript on example inputs of `batch_size` from "
      "`dataloader`, on `device`, to `path`, through PyTorch2JIT. Returns None. Raises ValueError "
      "for an LSQ layer with an unusable step size, before anything is written.");
}

void tflite_export_method(ClassBuilder& cls, py::module_ m) {
  py::object cpu = m.attr("Device").attr("CPU");
  cls.method(
      "export_to_tflite",
      [m](py::object self, py::object dataloader, py::object batch_size, py::object path,
          py::object precision, py::object device, py::object dynamic_input) {
        if (!py::bool_(m.attr("TF_CONVERTER_IMPORT"))) {
          throw std::runtime_error(
              "Tensorflow backend was not installed. Please install `pip install "
              "corvex-model-converter[all]`");
        }
        check_precision(precision);
        check_exportable(m, self);
        py::object logger = m.attr("logger");
        logger.attr("debug")("Converting to onnx...");
        py::object onnx_converter = m.attr("PyTorch2ONNX")(self.attr("native_model"));
        py::object onnx_model = onnx_converter.attr("convert")(
            py::arg("batch_size") = batch_size, py::arg("precision") = precision,
            py::arg("dataloader") = dataloader, py::arg("dynamic_input") = dynamic_input);
        logger.attr("debug")("Converting to tf...");
        py::object tf_converter = m.attr("TF2ONNX")(onnx_model, py::arg("mode") = "target");
        py::object tf_model = tf_converter.attr("convert")();
        m.attr("TF2TFLite").attr("export")(tf_model, path);
      },
      py::arg("dataloader"), py::arg("batch_size") = 1, py::arg("path") = "output.tflite",
      py::arg("precision") = "fp32", py::arg("device") = cpu, py::arg("dynamic_input") = "b",
      "Writes the network as TFLite to `path`: converts it to ONNX (at `precision`, example "
      "inputs of `batch_size` from `dataloader`, `dynamic_input` dynamic), then to TensorFlow and "
      "to TFLite. `device` is accepted and not used. Returns None. Raises RuntimeError when the "
      "TensorFlow converters are not installed, ValueError for another precision or an unusable "
      "LSQ step size.");
}

void export_methods(ClassBuilder& cls, py::module_ m) {
  onnx_export_method(cls, m);
  vexa_export_method(cls, m);
  jit_export_method(cls, m);
  tflite_export_method(cls, m);
}

// "<TorchModel ResNet, 62 layers>" (with the model's name when it is not the
// default one): the type of the network and the number of leaf layers of the
// tree. Never raises.
std::string model_repr(const py::object& self) {
  std::string text = "<" + type_name(self);
  try {
    py::object name = py::getattr(self, "name", py::none());
    if (!name.is_none() && !name.equal(py::str("model"))) text += " " + std::string(py::repr(name));
    py::object native = py::getattr(self, "native_model", py::none());
    text += " " + type_name(native);
    const size_t layers = py::len(self.attr("flat_view")());
    text += ", " + std::to_string(layers) + (layers == 1 ? " layer" : " layers");
  } catch (py::error_already_set&) {
    text += " ...";
  }
  return text + ">";
}

void make_torch_model(py::module_& m) {
  ClassBuilder cls(m, "TorchModel", {m.attr("Model")},
                   "The core's model for a PyTorch network: holds the user's torch.nn.Module as "
                   "native_model (not copied) and mirrors its module hierarchy as a tree of "
                   "framework layers (a LayerGroup per module with children, a layer wrapper per "
                   "leaf), binds graph nodes to those layers, replaces native layers, exports the "
                   "network and carries its state in and out of checkpoints.");
  cls.attr("backend", py::str("TorchBackend"));
  cls.attr("_graph_parsing_cls", m.attr("TorchGraphParser"));
  state_methods(cls, m);
  graph_methods(cls, m);
  tree_methods(cls, m);
  export_methods(cls, m);
  device_methods(cls, m);
  cls.method("__repr__", [](py::object self) { return model_repr(self); },
             "'<TorchModel ResNet, 62 layers>': the network's type and the number of layers of "
             "the tree, with the model's name when it is not \"model\".");
  cls.build();
}

}  // namespace

PYBIND11_MODULE(model_bridge, m) {
  load_imports(m);
  make_torch_model(m);
}
