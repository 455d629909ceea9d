// torch_surgery.structured: removing channels from single modules.
//
// Each function reads the module into the engine's plain description of it,
// lets the engine check the request and compute the smaller tensors, and
// writes the module only when the engine succeeded, so a refused call leaves
// the module untouched.
#include <torch/extension.h>

#include <functional>
#include <set>
#include <string>

#include "class_builder.h"
#include "layer_table.h"
#include "module_snapshot.h"
#include "python_checks.h"
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
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0) {
      throw py::value_error(std::string(fn) + "() got channel index " + std::string(py::repr(item)) +
                            ", which is far beyond any channel count");
    }
    out.push_back(value);
  }
  return out;
}

using orrery::bind::type_name;

// The layer's attribute `name`; a layer without it is not one `fn` takes.
py::object layer_attr(const py::object& layer, const char* name, const char* fn) {
  py::object value = py::getattr(layer, name, py::none());
  if (value.is_none() && !py::hasattr(layer, name)) {
    throw py::type_error(std::string(fn) + ": " + type_name(layer) + " has no attribute '" + name +
                         "', so it is not a layer " + fn + " can prune");
  }
  return value;
}

int64_t int_attr(const py::object& layer, const char* name, const char* fn) {
  return orrery::bind::to_int64(layer_attr(layer, name, fn),
                                std::string(fn) + ": the layer's " + name);
}

// A tensor attribute of the layer; `optional` ones may be None (a layer
// without bias) and come back undefined.
at::Tensor tensor_attr(const py::object& layer, const char* name, const char* fn,
                       bool optional = false) {
  py::object value = layer_attr(layer, name, fn);
  if (THPVariable_Check(value.ptr())) return THPVariable_Unpack(value.ptr());
  if (optional && value.is_none()) return at::Tensor();
  std::string message = std::string(fn) + ": the " + type_name(layer) + "'s " + name + " is " +
                        (value.is_none() ? std::string("None") : "a " + type_name(value)) +
                        ", not a tensor; only layers holding their " + name +
                        " as a tensor can be pruned";
  if (PyCallable_Check(value.ptr())) {
    message += " (a quantized layer keeps it packed behind a method: prune the float model, "
               "then quantize it)";
  }
  throw py::type_error(message);
}

// A new parameter holding `t` that keeps the old one's requires_grad: a
// frozen layer stays frozen.
py::object new_parameter(const at::Tensor& t, const py::object& old) {
  // Leaked on purpose: a static py::object would be released after the
  // interpreter has shut down.
  static const py::object& parameter_cls =
      *new py::object(py::module_::import("torch.nn").attr("Parameter"));
  const bool requires_grad = old.is_none() || py::bool_(old.attr("requires_grad"));
  return parameter_cls(t, py::arg("requires_grad") = requires_grad);
}

// Assignments to module attributes made as one: every value is prepared
// before commit(); if an assignment fails, every module is put back.
class ModuleEdit {
 public:
  void set(const py::object& module, const char* name, py::object value) {
    pending_.push_back({module, name, std::move(value)});
  }

  void commit() {
    orrery::bind::Rollback rollback;
    for (const Assignment& a : pending_) rollback.keep(a.module);
    rollback.guard([&] {
      for (const Assignment& a : pending_) py::setattr(a.module, a.name, a.value);
    });
  }

 private:
  struct Assignment {
    py::object module;
    const char* name;
    py::object value;
  };
  std::vector<Assignment> pending_;
};

void require_module(const py::object& layer, const char* fn) {
  static const py::object& module_cls = *new py::object(py::module_::import("torch.nn").attr("Module"));
  if (!py::isinstance(layer, module_cls)) {
    throw py::type_error(std::string(fn) + "() expects a torch.nn.Module layer, got " + type_name(layer));
  }
}

// Modules whose weights are not plain parameters would be broken, not pruned.
void refuse_unprunable(const py::object& layer, const char* fn) {
  require_module(layer, fn);
  static const py::object& is_parametrized =
      *new py::object(py::module_::import("torch.nn.utils.parametrize").attr("is_parametrized"));
  if (py::bool_(is_parametrized(layer))) {
    throw py::value_error(std::string(fn) + ": the layer's parameters are parametrized "
                          "(torch.nn.utils.parametrize); remove the parametrizations first");
  }
  if (py::hasattr(layer, "weight_g") && py::hasattr(layer, "weight_v")) {
    throw py::value_error(std::string(fn) + ": the layer uses weight_norm; call "
                          "torch.nn.utils.remove_weight_norm on it first");
  }
  // spectral_norm and torch.nn.utils.prune compute `weight` from `weight_orig`
  // before every call: a new weight would be overwritten, or refused as a
  // parameter, at the next forward pass.
  if (py::hasattr(layer, "weight_orig")) {
    throw py::value_error(std::string(fn) + ": the layer computes its weight before every call "
                          "(spectral_norm or torch.nn.utils.prune); remove that first "
                          "(torch.nn.utils.remove_spectral_norm, torch.nn.utils.prune.remove)");
  }
  py::object weight = py::getattr(layer, "weight", py::none());
  if (!weight.is_none() && THPVariable_Check(weight.ptr()) &&
      !THPVariable_Unpack(weight.ptr()).is_floating_point()) {
    throw py::value_error(std::string(fn) + ": the layer's weight is not floating point (" +
                          std::string(py::str(weight.attr("dtype"))) +
                          "); only float modules can be pruned");
  }
}

// Runs `body`, turning the engine's refusals into the Python exceptions callers
// expect. Emptying a convolution or linear layer is a RuntimeError without a
// message, as callers of those four functions have always seen it; the other
// functions pass the engine's message on.
py::tuple guarded(const py::object& layer, const char* fn, const std::function<int64_t()>& body) {
  int64_t num_pruned = 0;
  try {
    num_pruned = body();
  } catch (const st::AllChannelsRemoved& e) {
    static const std::set<std::string> bare = {"prune_conv", "prune_related_conv", "prune_linear",
                                               "prune_related_linear"};
    if (bare.count(fn)) PyErr_SetNone(PyExc_RuntimeError);
    else PyErr_SetString(PyExc_RuntimeError, e.what());
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

st::ConvState read_conv(const py::object& layer, const char* fn) {
  st::ConvState s;
  s.in_channels = int_attr(layer, "in_channels", fn);
  s.out_channels = int_attr(layer, "out_channels", fn);
  s.groups = int_attr(layer, "groups", fn);
  s.transposed = py::bool_(layer_attr(layer, "transposed", fn));
  s.weight = tensor_attr(layer, "weight", fn);
  s.bias = tensor_attr(layer, "bias", fn, true);
  return s;
}

// A quantized layer's per-channel weight step sizes follow its `out` output
// channels: the training form's quantizer step, and the frozen export scale.
void prune_step_sizes(const py::object& layer, int64_t out, const std::vector<int64_t>& keep,
                      ModuleEdit& edit) {
  auto per_channel = [&](const py::object& owner, const char* name) {
    py::object step = py::getattr(owner, name, py::none());
    if (step.is_none() || !THPVariable_Check(step.ptr())) return;
    const at::Tensor t = THPVariable_Unpack(step.ptr());
    if (t.numel() <= 1 || t.numel() != out) return;
    int64_t dim = 0;
    while (t.size(dim) != out) ++dim;
    edit.set(owner, name, new_parameter(st::keep_slices(t, dim, keep), step));
  };
  py::object quantizer = py::getattr(layer, "quan_w_fn", py::none());
  if (!quantizer.is_none()) per_channel(quantizer, "s");
  per_channel(layer, "w_s_scale");
}

void write_conv(py::object& layer, const st::ConvState& before, const st::ConvState& s,
                ModuleEdit& edit) {
  if (s.out_channels != before.out_channels) edit.set(layer, "out_channels", py::int_(s.out_channels));
  if (s.in_channels != before.in_channels) edit.set(layer, "in_channels", py::int_(s.in_channels));
  if (s.groups != before.groups) edit.set(layer, "groups", py::int_(s.groups));
  edit.set(layer, "weight", new_parameter(s.weight, layer.attr("weight")));
  if (s.bias.defined() && !s.bias.is_same(before.bias)) {
    edit.set(layer, "bias", new_parameter(s.bias, layer.attr("bias")));
  }
}

st::LinearState read_linear(const py::object& layer, const char* fn) {
  st::LinearState s;
  s.in_features = int_attr(layer, "in_features", fn);
  s.out_features = int_attr(layer, "out_features", fn);
  s.weight = tensor_attr(layer, "weight", fn);
  s.bias = tensor_attr(layer, "bias", fn, true);
  return s;
}

void write_linear(py::object& layer, const st::LinearState& before, const st::LinearState& s,
                  ModuleEdit& edit) {
  if (s.out_features != before.out_features) edit.set(layer, "out_features", py::int_(s.out_features));
  if (s.in_features != before.in_features) edit.set(layer, "in_features", py::int_(s.in_features));
  edit.set(layer, "weight", new_parameter(s.weight, layer.attr("weight")));
  if (s.bias.defined() && !s.bias.is_same(before.bias)) {
    edit.set(layer, "bias", new_parameter(s.bias, layer.attr("bias")));
  }
}

using ConvFn = int64_t (*)(st::ConvState&, const Indices&);
using LinearFn = int64_t (*)(st::LinearState&, const Indices&);

py::tuple conv_call(py::object layer, const py::object& idxs, ConvFn fn, const char* name) {
  Indices indices = to_indices(idxs, name);
  refuse_unprunable(layer, name);
  return guarded(layer, name, [&] {
    const st::ConvState before = read_conv(layer, name);
    st::ConvState after = before;
    const int64_t n = fn(after, indices);
    ModuleEdit edit;
    write_conv(layer, before, after, edit);
    if (after.out_channels != before.out_channels) {
      // prune_group_conv's indices are groups, each with its block of outputs.
      const Indices outputs = fn == st::prune_group_conv
                                  ? st::depthwise_outputs(before.out_channels / before.groups, indices)
                                  : indices;
      prune_step_sizes(layer, before.out_channels,
                       st::kept_indices(before.out_channels, outputs, true, name, "out_channels"),
                       edit);
    }
    edit.commit();
    return n;
  });
}

py::tuple linear_call(py::object layer, const py::object& idxs, LinearFn fn, const char* name) {
  Indices indices = to_indices(idxs, name);
  refuse_unprunable(layer, name);
  return guarded(layer, name, [&] {
    const st::LinearState before = read_linear(layer, name);
    st::LinearState after = before;
    const int64_t n = fn(after, indices);
    ModuleEdit edit;
    write_linear(layer, before, after, edit);
    if (after.out_features != before.out_features) {
      prune_step_sizes(layer, before.out_features,
                       st::kept_indices(before.out_features, indices, true, name, "out_features"),
                       edit);
    }
    edit.commit();
    return n;
  });
}

py::tuple batchnorm_call(py::object layer, const py::object& idxs) {
  Indices indices = to_indices(idxs, "prune_batchnorm");
  refuse_unprunable(layer, "prune_batchnorm");
  return guarded(layer, "prune_batchnorm", [&] {
    st::BatchNormState s;
    const char* fn = "prune_batchnorm";
    s.num_features = int_attr(layer, "num_features", fn);
    s.affine = py::bool_(layer_attr(layer, "affine", fn));
    if (s.affine) {
      s.weight = tensor_attr(layer, "weight", fn);
      s.bias = tensor_attr(layer, "bias", fn);
    }
    s.running_mean = tensor_attr(layer, "running_mean", fn, true);
    s.running_var = tensor_attr(layer, "running_var", fn, true);
    const int64_t n = st::prune_batchnorm(s, indices);
    ModuleEdit edit;
    edit.set(layer, "num_features", py::int_(s.num_features));
    // Plain tensors assigned through the module stay registered as buffers.
    if (s.running_mean.defined()) edit.set(layer, "running_mean", py::cast(s.running_mean));
    if (s.running_var.defined()) edit.set(layer, "running_var", py::cast(s.running_var));
    if (s.affine) {
      edit.set(layer, "weight", new_parameter(s.weight, layer.attr("weight")));
      edit.set(layer, "bias", new_parameter(s.bias, layer.attr("bias")));
    }
    edit.commit();
    return n;
  });
}

py::tuple prelu_call(py::object layer, const py::object& idxs) {
  // A shared slope is left alone and never looks at idxs.
  require_module(layer, "prune_prelu");
  if (int_attr(layer, "num_parameters", "prune_prelu") == 1) return py::make_tuple(layer, 0);
  if (idxs.is_none()) throw py::type_error("object of type 'NoneType' has no len()");
  Indices indices = to_indices(idxs, "prune_prelu");
  refuse_unprunable(layer, "prune_prelu");
  return guarded(layer, "prune_prelu", [&] {
    st::PReLUState s;
    s.num_parameters = int_attr(layer, "num_parameters", "prune_prelu");
    s.weight = tensor_attr(layer, "weight", "prune_prelu");
    const int64_t n = st::prune_prelu(s, indices);
    ModuleEdit edit;
    edit.set(layer, "num_parameters", py::int_(s.num_parameters));
    edit.set(layer, "weight", new_parameter(s.weight, layer.attr("weight")));
    edit.commit();
    return n;
  });
}

py::tuple layernorm_call(py::object layer, const py::object& idxs) {
  Indices indices = to_indices(idxs, "prune_layernorm");
  refuse_unprunable(layer, "prune_layernorm");
  py::tuple shape(layer_attr(layer, "normalized_shape", "prune_layernorm"));
  if (shape.size() != 1) {
    throw py::value_error("prune_layernorm: the layer normalises over " + std::to_string(shape.size()) +
                          " dimensions (normalized_shape=" + std::string(py::str(shape)) +
                          "); only a layer norm over the channels alone can lose channels");
  }
  return guarded(layer, "prune_layernorm", [&] {
    st::LayerNormState s;
    s.channels = orrery::bind::to_int64(shape[0], "prune_layernorm: the layer's normalized_shape");
    s.weight = tensor_attr(layer, "weight", "prune_layernorm", true);
    s.bias = tensor_attr(layer, "bias", "prune_layernorm", true);
    const int64_t n = st::prune_layernorm(s, indices);
    ModuleEdit edit;
    edit.set(layer, "normalized_shape", py::make_tuple(s.channels));
    if (s.weight.defined()) edit.set(layer, "weight", new_parameter(s.weight, layer.attr("weight")));
    if (s.bias.defined()) edit.set(layer, "bias", new_parameter(s.bias, layer.attr("bias")));
    edit.commit();
    return n;
  });
}

py::tuple groupnorm_call(py::object layer, const py::object& idxs) {
  Indices indices = to_indices(idxs, "prune_groupnorm");
  refuse_unprunable(layer, "prune_groupnorm");
  return guarded(layer, "prune_groupnorm", [&] {
    st::GroupNormState s;
    s.channels = int_attr(layer, "num_channels", "prune_groupnorm");
    s.groups = int_attr(layer, "num_groups", "prune_groupnorm");
    s.weight = tensor_attr(layer, "weight", "prune_groupnorm", true);
    s.bias = tensor_attr(layer, "bias", "prune_groupnorm", true);
    const int64_t n = st::prune_groupnorm(s, indices);
    ModuleEdit edit;
    edit.set(layer, "num_channels", py::int_(s.channels));
    edit.set(layer, "num_groups", py::int_(s.groups));
    if (s.weight.defined()) edit.set(layer, "weight", new_parameter(s.weight, layer.attr("weight")));
    if (s.bias.defined()) edit.set(layer, "bias", new_parameter(s.bias, layer.attr("bias")));
    edit.commit();
    return n;
  });
}

// A parameter or buffer of `layer` used per channel outside any layer.
py::tuple parameter_call(py::object layer, const std::string& name, const py::object& idxs, int64_t dim) {
  Indices indices = to_indices(idxs, "prune_parameter");
  require_module(layer, "prune_parameter");
  const bool is_parameter = py::dict(layer.attr("_parameters")).contains(name);
  const bool is_buffer = py::dict(layer.attr("_buffers")).contains(name);
  py::object old = is_parameter || is_buffer ? py::object(layer.attr(name.c_str())) : py::object(py::none());
  if (old.is_none() || !THPVariable_Check(old.ptr())) {
    throw py::value_error("prune_parameter: " + std::string(py::str(py::type::of(layer).attr("__name__"))) +
                          " has no parameter or buffer '" + name + "' holding a tensor");
  }
  if (!THPVariable_Unpack(old.ptr()).is_floating_point()) {
    throw py::value_error("prune_parameter: '" + name + "' is not floating point (" +
                          std::string(py::str(old.attr("dtype"))) + "); only float tensors can be pruned");
  }
  return guarded(layer, "prune_parameter", [&] {
    at::Tensor t = THPVariable_Unpack(old.ptr());
    const int64_t n = st::prune_tensor(t, dim, indices);
    ModuleEdit edit;
    // Assigned through the module, a plain tensor stays registered as a buffer.
    edit.set(layer, name.c_str(), is_parameter ? new_parameter(t, old) : py::cast(t));
    edit.commit();
    return n;
  });
}

// `body(layer, idxs)` as the function `name(layer, idxs, inplace=True,
// dry_run=False)`. The arguments are bound here rather than by pybind11 so
// that a missing or repeated one is the TypeError Python gives, and so that
// inplace and dry_run, accepted for compatibility, may be of any type.
template <typename Body>
void def_pruner(py::module_& m, const char* name, Body body, const char* doc) {
  const std::string full =
      std::string(doc) +
      " `idxs` is a list of channel indices; `inplace` and `dry_run` are accepted for "
      "compatibility, whatever their value, and the layer always changes in place. num_pruned "
      "counts the weights and biases removed. Raises TypeError when `idxs` is not a list of ints "
      "or the layer is not one the function prunes (a size that is not an int, a weight that is "
      "not a tensor), ValueError for an index the function refuses (out of range, or repeated "
      "where repeats are not merged) or a layer whose parameters cannot be cut (parametrized, "
      "weight-normed or not floating point), and RuntimeError when every channel would go; the "
      "layer is then left unchanged.";
  orrery::bind::def_function(
      m, name,
      [name, body](py::args args, py::kwargs kwargs) {
        const auto a = orrery::bind::bind_arguments(name, args, kwargs,
                                                    {"layer", "idxs", "inplace", "dry_run"}, 2);
        return body(a[0], a[1]);
      },
      full.c_str());
}

// The pruning functions are signed functions (see class_builder.h) so that
// they carry the parameter annotations and signature a Python function would;
// a compiled function object cannot hold them.
void annotate(py::module_& m, const char* name, py::object layer_cls) {
  py::object impl = m.attr(name);
  py::object builtins = py::module_::import("builtins");
  py::dict annotations;
  annotations["layer"] = layer_cls;
  annotations["idxs"] = builtins.attr("list");
  annotations["inplace"] = builtins.attr("bool");
  annotations["dry_run"] = builtins.attr("bool");
  py::object inspect = py::module_::import("inspect");
  py::object param = inspect.attr("Parameter");
  py::object kind = param.attr("POSITIONAL_OR_KEYWORD");
  py::list params;
  params.append(param("layer", kind, py::arg("annotation") = layer_cls));
  params.append(param("idxs", kind, py::arg("annotation") = builtins.attr("list")));
  params.append(param("inplace", kind, py::arg("default") = true, py::arg("annotation") = builtins.attr("bool")));
  params.append(param("dry_run", kind, py::arg("default") = false, py::arg("annotation") = builtins.attr("bool")));
  py::object fn = orrery::bind::signed_function(m, impl, name, inspect.attr("Signature")(params),
                                                impl.attr("__doc__"));
  fn.attr("__annotations__") = annotations;
  m.attr(name) = fn;
}


py::tuple parameter_entry(const py::args& args, const py::kwargs& kwargs) {
  const auto a = orrery::bind::bind_arguments("prune_parameter", args, kwargs,
                                              {"layer", "name", "idxs", "dim"}, 3);
  const py::object& name = a[1];
  const py::object dim = a[3] ? a[3] : py::int_(0);
  if (!py::isinstance<py::str>(name))
    throw py::type_error("prune_parameter() expects the attribute name as a str, got " +
                         std::string(py::repr(name)));
  if (!PyLong_Check(dim.ptr()) || PyBool_Check(dim.ptr()))
    throw py::type_error("prune_parameter() expects dim to be an int, got " + std::string(py::repr(dim)));
  int overflow = 0;
  const long long d = PyLong_AsLongLongAndOverflow(dim.ptr(), &overflow);
  if (overflow != 0)
    throw py::value_error("prune_parameter: dimension " + std::string(py::repr(dim)) +
                          " does not exist in any tensor; give a dimension of '" +
                          name.cast<std::string>() + "'");
  return parameter_call(a[0], name.cast<std::string>(), a[2], d);
}

// The layer functions; every call prunes in place.
void define_pruners(py::module_& m) {
  def_pruner(m, "prune_conv",
             [](py::object layer, py::object idxs) {
               return conv_call(layer, idxs, st::prune_conv, "prune_conv");
             },
             "Removes output channels `idxs` of a convolution; returns (layer, num_pruned).");
  def_pruner(m, "prune_related_conv",
             [](py::object layer, py::object idxs) {
               return conv_call(layer, idxs, st::prune_related_conv, "prune_related_conv");
             },
             "Removes input channels `idxs` of a convolution; returns (layer, num_pruned).");
  def_pruner(m, "prune_linear",
             [](py::object layer, py::object idxs) {
               return linear_call(layer, idxs, st::prune_linear, "prune_linear");
             },
             "Removes output features `idxs` of a linear layer; returns (layer, num_pruned).");
  def_pruner(m, "prune_related_linear",
             [](py::object layer, py::object idxs) {
               return linear_call(layer, idxs, st::prune_related_linear, "prune_related_linear");
             },
             "Removes input features `idxs` of a linear layer; returns (layer, num_pruned).");
  def_pruner(m, "prune_batchnorm", batchnorm_call,
             "Removes features `idxs` of a batch norm or an instance norm (its affine parameters "
             "and running statistics, those it has); returns (layer, num_pruned).");
  def_pruner(m, "prune_group_conv",
             [](py::object layer, py::object idxs) {
               return conv_call(layer, idxs, st::prune_group_conv, "prune_group_conv");
             },
             "Removes whole groups `idxs` of a depthwise convolution (groups == in_channels, "
             "out_channels = k * in_channels for a channel multiplier k); returns (layer, "
             "num_pruned). The indices number the groups, which are the input channels: group c "
             "takes input channel c and output channels c*k .. c*k+k-1 with it, and groups, "
             "in_channels and out_channels all shrink. Raises AssertionError when the convolution "
             "is grouped but not depthwise.");
  def_pruner(m, "prune_prelu", prelu_call,
             "Removes slopes `idxs` of a PReLU; returns (layer, num_pruned). A PReLU with one "
             "shared slope is left alone (num_pruned 0).");
  def_pruner(m, "prune_layernorm", layernorm_call,
             "Removes channels `idxs` of a LayerNorm over the channels (normalized_shape of "
             "length 1); returns (layer, num_pruned).");
  def_pruner(m, "prune_groupnorm", groupnorm_call,
             "Removes channels `idxs` of a GroupNorm; returns (layer, num_pruned). Every group must "
             "keep as many channels as every other; a group losing all of its channels goes, and "
             "num_groups with it.");
  // Bound by hand, as the pruners are; the signature is the one callers read.
  m.def("prune_parameter", parameter_entry);
  py::object param = py::module_::import("inspect").attr("Parameter");
  py::object kind = param.attr("POSITIONAL_OR_KEYWORD");
  py::list params;
  for (const char* name : {"layer", "name", "idxs"}) params.append(param(name, kind));
  params.append(param("dim", kind, py::arg("default") = 0));
  m.attr("prune_parameter") = orrery::bind::signed_function(
      m, m.attr("prune_parameter"), "prune_parameter",
      py::module_::import("inspect").attr("Signature")(params),
      py::str("Removes slices `idxs` along `dim` of the parameter or buffer `name` of `layer`, "
              "such as a per-channel layer scale; returns (layer, num_pruned). Raises TypeError "
              "for a name that is not a str or a dim that is not an int, and ValueError for a "
              "missing or non-float attribute or an index or dim out of range; the layer is then "
              "left unchanged."));
}

}  // namespace

PYBIND11_MODULE(structured, m) {
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("reduce") = py::module_::import("functools").attr("reduce");
  m.attr("mul") = py::module_::import("operator").attr("mul");
  define_pruners(m);
  // Each layer function is annotated with the class of the layers it takes.
  for (const orrery::dependency::LayerKind& row : orrery::dependency::layer_kinds()) {
    if (row.module == nullptr) continue;
    for (const char* fn : {row.prune_output, row.prune_input, row.prune_both})
      if (fn != nullptr) annotate(m, fn, orrery::bind::kind_class(row));
  }

  // The seven functions every caller knows; the layer norm, group norm and
  // tensor attribute steps of dependency plans are reached by name.
  py::list all;
  for (const char* name : {"prune_conv", "prune_related_conv", "prune_linear", "prune_related_linear",
                           "prune_batchnorm", "prune_group_conv", "prune_prelu"})
    all.append(name);
  m.attr("__all__") = all;
}
