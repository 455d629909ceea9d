// torch_surgery.structured: removing channels from single modules.
//
// Each function reads the module into the engine's plain description of it,
// lets the engine check the request and compute the smaller tensors, and
// writes the module only when the engine succeeded, so a refused call leaves
// the module untouched.
#include <torch/extension.h>

#include <functional>

#include "class_builder.h"
#include "orrery_engine/structured.h"

namespace py = pybind11;
namespace st = orrery::structured;

namespace {

using Indices = std::vector<int64_t>;

Indices to_indices(const py::object& idxs, const char* fn) {
  if (!PyList_Check(idxs.ptr())) {
    throw py::type_error(std::string(fn) + "() expects idxs to be a list of channel indices, got " +
                         std::string(py::str(py::type::of(idxs).attr("__name__"))));
  }
  Indices out;
  out.reserve(py::len(idxs));
  for (py::handle item : idxs) {
    PyObject* index = PyNumber_Index(item.ptr());
    if (index == nullptr) {
      PyErr_Clear();
      throw py::type_error(std::string(fn) + "() expects integer channel indices, got " +
                           std::string(py::repr(item)));
    }
    out.push_back(py::reinterpret_steal<py::int_>(index).cast<int64_t>());
  }
  return out;
}

at::Tensor tensor_or_undefined(const py::object& value) {
  return value.is_none() ? at::Tensor() : value.cast<at::Tensor>();
}

py::object new_parameter(const at::Tensor& t) {
  static py::object parameter_cls = py::module_::import("torch.nn").attr("Parameter");
  return parameter_cls(t);
}

// Runs `body`, turning the engine's refusals into the Python exceptions callers expect.
py::tuple guarded(const py::object& layer, const std::function<int64_t()>& body) {
  int64_t num_pruned = 0;
  try {
    num_pruned = body();
  } catch (const st::AllChannelsRemoved&) {
    PyErr_SetNone(PyExc_RuntimeError);  // the refusal carries no message
    throw py::error_already_set();
  } catch (const st::NotDepthwise& e) {
    PyErr_SetString(PyExc_AssertionError, e.what());
    throw py::error_already_set();
  } catch (const c10::ValueError& e) {
    throw py::value_error(e.what_without_backtrace());
  } catch (const c10::Error& e) {
    throw std::runtime_error(e.what_without_backtrace());
  }
  return py::make_tuple(layer, num_pruned);
}

st::ConvState read_conv(const py::object& layer) {
  st::ConvState s;
  s.in_channels = layer.attr("in_channels").cast<int64_t>();
  s.out_channels = layer.attr("out_channels").cast<int64_t>();
  s.groups = layer.attr("groups").cast<int64_t>();
  s.transposed = layer.attr("transposed").cast<bool>();
  s.weight = layer.attr("weight").cast<at::Tensor>();
  s.bias = tensor_or_undefined(layer.attr("bias"));
  return s;
}

void write_conv(py::object& layer, const st::ConvState& before, const st::ConvState& s) {
  if (s.out_channels != before.out_channels) layer.attr("out_channels") = s.out_channels;
  if (s.in_channels != before.in_channels) layer.attr("in_channels") = s.in_channels;
  if (s.groups != before.groups) layer.attr("groups") = s.groups;
  layer.attr("weight") = new_parameter(s.weight);
  if (s.bias.defined() && !s.bias.is_same(before.bias)) layer.attr("bias") = new_parameter(s.bias);
}

st::LinearState read_linear(const py::object& layer) {
  st::LinearState s;
  s.in_features = layer.attr("in_features").cast<int64_t>();
  s.out_features = layer.attr("out_features").cast<int64_t>();
  s.weight = layer.attr("weight").cast<at::Tensor>();
  s.bias = tensor_or_undefined(layer.attr("bias"));
  return s;
}

void write_linear(py::object& layer, const st::LinearState& before, const st::LinearState& s) {
  if (s.out_features != before.out_features) layer.attr("out_features") = s.out_features;
  if (s.in_features != before.in_features) layer.attr("in_features") = s.in_features;
  layer.attr("weight") = new_parameter(s.weight);
  if (s.bias.defined() && !s.bias.is_same(before.bias)) layer.attr("bias") = new_parameter(s.bias);
}

using ConvFn = int64_t (*)(st::ConvState&, const Indices&);
using LinearFn = int64_t (*)(st::LinearState&, const Indices&);

py::tuple conv_call(py::object layer, const py::object& idxs, ConvFn fn, const char* name) {
  Indices indices = to_indices(idxs, name);
  return guarded(layer, [&] {
    const st::ConvState before = read_conv(layer);
    st::ConvState after = before;
    const int64_t n = fn(after, indices);
    write_conv(layer, before, after);
    return n;
  });
}

py::tuple linear_call(py::object layer, const py::object& idxs, LinearFn fn, const char* name) {
  Indices indices = to_indices(idxs, name);
  return guarded(layer, [&] {
    const st::LinearState before = read_linear(layer);
    st::LinearState after = before;
    const int64_t n = fn(after, indices);
    write_linear(layer, before, after);
    return n;
  });
}

py::tuple batchnorm_call(py::object layer, const py::object& idxs) {
  Indices indices = to_indices(idxs, "prune_batchnorm");
  return guarded(layer, [&] {
    st::BatchNormState s;
    s.num_features = layer.attr("num_features").cast<int64_t>();
    s.affine = layer.attr("affine").cast<bool>();
    if (s.affine) {
      s.weight = layer.attr("weight").cast<at::Tensor>();
      s.bias = layer.attr("bias").cast<at::Tensor>();
    }
    s.running_mean = tensor_or_undefined(layer.attr("running_mean"));
    s.running_var = tensor_or_undefined(layer.attr("running_var"));
    const int64_t n = st::prune_batchnorm(s, indices);
    layer.attr("num_features") = s.num_features;
    // Plain tensors assigned through the module stay registered as buffers.
    if (s.running_mean.defined()) layer.attr("running_mean") = s.running_mean;
    if (s.running_var.defined()) layer.attr("running_var") = s.running_var;
    if (s.affine) {
      layer.attr("weight") = new_parameter(s.weight);
      layer.attr("bias") = new_parameter(s.bias);
    }
    return n;
  });
}

py::tuple prelu_call(py::object layer, const py::object& idxs) {
  // A shared slope is left alone and never looks at idxs.
  if (layer.attr("num_parameters").cast<int64_t>() == 1) return py::make_tuple(layer, 0);
  if (idxs.is_none()) throw py::type_error("object of type 'NoneType' has no len()");
  Indices indices = to_indices(idxs, "prune_prelu");
  return guarded(layer, [&] {
    st::PReLUState s;
    s.num_parameters = layer.attr("num_parameters").cast<int64_t>();
    s.weight = layer.attr("weight").cast<at::Tensor>();
    const int64_t n = st::prune_prelu(s, indices);
    layer.attr("num_parameters") = s.num_parameters;
    layer.attr("weight") = new_parameter(s.weight);
    return n;
  });
}

template <typename F>
void def_pruner(py::module_& m, const char* name, F&& f, const char* doc) {
  m.def(name, std::forward<F>(f), doc, py::arg("layer"), py::arg("idxs"), py::arg("inplace") = true,
        py::arg("dry_run") = false);
}

// The pruning functions are objects of this class so that they carry the
// parameter annotations and signature a Python function would; a compiled
// function object cannot hold them.
void make_function_class(py::module_& m) {
  orrery::bind::ClassBuilder cls(m, "_PruningFunction", {py::module_::import("builtins").attr("object")});
  cls.method("__call__", [](py::object self, py::args args, py::kwargs kwargs) {
    return self.attr("_impl")(*args, **kwargs);
  });
  cls.method("__repr__", [](py::object self) {
    return "<function " + std::string(py::str(self.attr("__qualname__"))) + ">";
  });
  // Pickled and copied by reference, as module-level functions are.
  cls.method("__reduce__", [](py::object self) { return self.attr("__name__"); });
  cls.build();
}

void annotate(py::module_& m, const char* name, py::object layer_cls) {
  py::object impl = m.attr(name);
  py::object fn = m.attr("_PruningFunction")();
  fn.attr("_impl") = impl;
  fn.attr("__name__") = name;
  fn.attr("__qualname__") = name;
  fn.attr("__doc__") = impl.attr("__doc__");
  py::object builtins = py::module_::import("builtins");
  py::dict annotations;
  annotations["layer"] = layer_cls;
  annotations["idxs"] = builtins.attr("list");
  annotations["inplace"] = builtins.attr("bool");
  annotations["dry_run"] = builtins.attr("bool");
  fn.attr("__annotations__") = annotations;
  py::object inspect = py::module_::import("inspect");
  py::object param = inspect.attr("Parameter");
  py::object kind = param.attr("POSITIONAL_OR_KEYWORD");
  py::list params;
  params.append(param("layer", kind, py::arg("annotation") = layer_cls));
  params.append(param("idxs", kind, py::arg("annotation") = builtins.attr("list")));
  params.append(param("inplace", kind, py::arg("default") = true, py::arg("annotation") = builtins.attr("bool")));
  params.append(param("dry_run", kind, py::arg("default") = false, py::arg("annotation") = builtins.attr("bool")));
  fn.attr("__signature__") = inspect.attr("Signature")(params);
  m.attr(name) = fn;
}

}  // namespace

PYBIND11_MODULE(structured, m) {
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("reduce") = py::module_::import("functools").attr("reduce");
  m.attr("mul") = py::module_::import("operator").attr("mul");

  // inplace and dry_run are accepted for compatibility; every call prunes in place.
  def_pruner(m, "prune_conv",
             [](py::object layer, py::object idxs, bool, bool) {
               return conv_call(layer, idxs, st::prune_conv, "prune_conv");
             },
             "Removes output channels `idxs` of a convolution; returns (layer, num_pruned).");
  def_pruner(m, "prune_related_conv",
             [](py::object layer, py::object idxs, bool, bool) {
               return conv_call(layer, idxs, st::prune_related_conv, "prune_related_conv");
             },
             "Removes input channels `idxs` of a convolution; returns (layer, num_pruned).");
  def_pruner(m, "prune_linear",
             [](py::object layer, py::object idxs, bool, bool) {
               return linear_call(layer, idxs, st::prune_linear, "prune_linear");
             },
             "Removes output features `idxs` of a linear layer; returns (layer, num_pruned).");
  def_pruner(m, "prune_related_linear",
             [](py::object layer, py::object idxs, bool, bool) {
               return linear_call(layer, idxs, st::prune_related_linear, "prune_related_linear");
             },
             "Removes input features `idxs` of a linear layer; returns (layer, num_pruned).");
  def_pruner(m, "prune_batchnorm",
             [](py::object layer, py::object idxs, bool, bool) { return batchnorm_call(layer, idxs); },
             "Removes features `idxs` of a batch norm; returns (layer, num_pruned).");
  def_pruner(m, "prune_group_conv",
             [](py::object layer, py::object idxs, bool, bool) {
               return conv_call(layer, idxs, st::prune_group_conv, "prune_group_conv");
             },
             "Removes channels `idxs` of a depthwise convolution; returns (layer, num_pruned).");
  def_pruner(m, "prune_prelu",
             [](py::object layer, py::object idxs, bool, bool) { return prelu_call(layer, idxs); },
             "Removes slopes `idxs` of a PReLU; returns (layer, num_pruned).");

  make_function_class(m);
  py::object conv_cls = py::module_::import("torch.nn.modules.conv").attr("_ConvNd");
  annotate(m, "prune_conv", conv_cls);
  annotate(m, "prune_related_conv", conv_cls);
  annotate(m, "prune_group_conv", conv_cls);
  annotate(m, "prune_linear", py::module_::import("torch.nn.modules.linear").attr("Linear"));
  annotate(m, "prune_related_linear", py::module_::import("torch.nn.modules.linear").attr("Linear"));
  annotate(m, "prune_batchnorm", py::module_::import("torch.nn.modules.batchnorm").attr("_BatchNorm"));
  annotate(m, "prune_prelu", py::module_::import("torch.nn").attr("PReLU"));

  py::list all;
  for (const char* name : {"prune_conv", "prune_related_conv", "prune_linear", "prune_related_linear",
                           "prune_batchnorm", "prune_group_conv", "prune_prelu"})
    all.append(name);
  m.attr("__all__") = all;
}
