// torch_surgery.dependency: which channels of a model depend on which.
//
// The model is traced once; the engine analyses the trace and, for each
// request, works out every module that must shrink with the requested one.
// This module only reads sizes from the live modules, turns engine steps into
// plan entries, and runs them all-or-nothing.
#include <torch/extension.h>

#include <map>
#include <set>

#include <memory>
#include <sstream>

#include "class_builder.h"
#include "module_modes.h"
#include "pruning_sizes.h"
#include "orrery_engine/dependency.h"

namespace py = pybind11;
namespace dep = orrery::dependency;
using orrery::bind::ClassBuilder;

namespace {

struct EngineGraph {
  std::shared_ptr<dep::ChannelGraph> graph;
};

py::object structured() { return py::module_::import("torch_surgery.structured"); }

py::object handler_for(dep::Action action) {
  if (action == dep::Action::View || action == dep::Action::Refuse) return py::none();
  return structured().attr(dep::action_name(action));
}

// A per-channel tensor attribute is pruned by a function of the module that
// owns it, bound to the attribute's name and channel dimension (which the
// handler shows as `attribute` and `dim`).
py::object parameter_handler(const std::string& name, int64_t dim) {
  py::module_ s = py::module_::import("torch_surgery.structured");
  py::object prune = s.attr("prune_parameter");
  py::cpp_function impl(
      [prune, name, dim](py::object layer, py::object idxs) { return prune(layer, name, idxs, dim); },
      py::arg("layer"), py::arg("idxs"));
  py::object fn = orrery::bind::signed_function(
      s, impl, "prune_parameter", orrery::bind::signature_of(impl),
      py::str("Removes slices `idxs` of the tensor attribute '" + name + "' (dimension " +
              std::to_string(dim) + ") of `layer`; returns (layer, num_pruned)."));
  fn.attr("attribute") = name;
  fn.attr("dim") = dim;
  return fn;
}

// "block.layer_scale" -> ("block", "layer_scale"); the root's own attributes have owner "".
std::pair<std::string, std::string> split_attribute_path(const std::string& path) {
  const auto dot = path.rfind('.');
  if (dot == std::string::npos) return {"", path};
  return {path.substr(0, dot), path.substr(dot + 1)};
}

// The plan side and module family a structured function stands for.
struct FunctionUse {
  dep::Role role;
  dep::ModuleKind kind;
};

FunctionUse function_use(const py::object& prune_fn) {
  py::object s = structured();
  const std::pair<const char*, FunctionUse> table[] = {
      {"prune_conv", {dep::Role::Output, dep::ModuleKind::Conv}},
      {"prune_group_conv", {dep::Role::Output, dep::ModuleKind::Conv}},
      {"prune_related_conv", {dep::Role::Input, dep::ModuleKind::Conv}},
      {"prune_linear", {dep::Role::Output, dep::ModuleKind::Linear}},
      {"prune_related_linear", {dep::Role::Input, dep::ModuleKind::Linear}},
      {"prune_batchnorm", {dep::Role::Output, dep::ModuleKind::BatchNorm}},
      {"prune_prelu", {dep::Role::Output, dep::ModuleKind::PReLU}},
      {"prune_layernorm", {dep::Role::Output, dep::ModuleKind::LayerNorm}},
  };
  for (const auto& [name, use] : table) {
    if (prune_fn.is(s.attr(name))) return use;
  }
  throw py::type_error("prune_fn must be one of the functions of torch_surgery.structured, got " +
                       std::string(py::repr(prune_fn)));
}

const char* kind_text(dep::ModuleKind kind) {
  switch (kind) {
    case dep::ModuleKind::Conv: return "a convolution";
    case dep::ModuleKind::Linear: return "a linear layer";
    case dep::ModuleKind::BatchNorm: return "a batch norm";
    case dep::ModuleKind::PReLU: return "a PReLU";
    case dep::ModuleKind::LayerNorm: return "a layer norm";
    case dep::ModuleKind::Parameter: return "a per-channel tensor";
  }
  return "?";
}

std::vector<int64_t> to_indices(py::object idxs) {
  if (py::hasattr(idxs, "tolist")) idxs = idxs.attr("tolist")();
  std::vector<int64_t> out;
  for (py::handle item : py::iter(idxs)) {
    PyObject* index = PyNumber_Index(item.ptr());
    if (index == nullptr) {
      PyErr_Clear();
      throw py::type_error("idxs must hold integer channel indices, got " + std::string(py::repr(item)));
    }
    out.push_back(py::reinterpret_steal<py::int_>(index).cast<int64_t>());
  }
  return out;
}

// Whether `module` is the torch.nn layer a module kind stands for. A module
// that calls conv2d, linear or a norm on its own parameters is not one: its
// size attributes are its own business.
bool is_layer_of_kind(const py::object& module, dep::ModuleKind kind) {
  static const py::object& nn = *new py::object(py::module_::import("torch.nn"));
  switch (kind) {
    case dep::ModuleKind::Conv: return py::isinstance(module, nn.attr("modules").attr("conv").attr("_ConvNd"));
    case dep::ModuleKind::Linear: return py::isinstance(module, nn.attr("Linear"));
    case dep::ModuleKind::BatchNorm:
      return py::isinstance(module, nn.attr("modules").attr("batchnorm").attr("_BatchNorm"));
    case dep::ModuleKind::PReLU: return py::isinstance(module, nn.attr("PReLU"));
    case dep::ModuleKind::LayerNorm: return py::isinstance(module, nn.attr("LayerNorm"));
    case dep::ModuleKind::Parameter: return true;
  }
  return false;
}

// `module` is the owner of a Parameter.
dep::ModuleSizes read_sizes(const py::object& module, const dep::ModuleInfo& info) {
  dep::ModuleSizes s;
  switch (info.kind) {
    case dep::ModuleKind::Conv:
      s.in = module.attr("in_channels").cast<int64_t>();
      s.out = module.attr("out_channels").cast<int64_t>();
      s.groups = module.attr("groups").cast<int64_t>();
      break;
    case dep::ModuleKind::Linear:
      s.in = module.attr("in_features").cast<int64_t>();
      s.out = module.attr("out_features").cast<int64_t>();
      break;
    case dep::ModuleKind::BatchNorm:
      s.out = s.in = module.attr("num_features").cast<int64_t>();
      break;
    case dep::ModuleKind::PReLU:
      s.out = s.in = module.attr("num_parameters").cast<int64_t>();
      break;
    case dep::ModuleKind::LayerNorm: {
      py::tuple shape(module.attr("normalized_shape"));
      s.out = s.in = shape.empty() ? 0 : shape[shape.size() - 1].cast<int64_t>();
      break;
    }
    case dep::ModuleKind::Parameter: {
      const std::string name = split_attribute_path(info.path).second;
      py::object t = py::getattr(module, name.c_str(), py::none());
      if (!THPVariable_Check(t.ptr()) || THPVariable_Unpack(t.ptr()).dim() <= info.dim) {
        throw std::runtime_error("the tensor attribute '" + info.path +
                                 "' is no longer what the model was traced with; build the "
                                 "dependency graph again");
      }
      s.out = s.in = THPVariable_Unpack(t.ptr()).size(info.dim);
      break;
    }
  }
  return s;
}

// Enough of a module's state to put it back exactly: the pruning functions
// replace parameters, buffers and size attributes, never mutate tensors.
// A new plain dict with the same items (py::dict(d) would alias a dict).
py::dict copy_of(const py::handle& mapping) {
  return py::reinterpret_steal<py::dict>(PyDict_Copy(mapping.ptr()));
}

struct Snapshot {
  py::object module;
  py::dict attrs, parameters, buffers;

  explicit Snapshot(py::object m) : module(std::move(m)) {
    py::dict d = module.attr("__dict__");
    attrs = copy_of(d);
    parameters = copy_of(d["_parameters"]);
    buffers = copy_of(d["_buffers"]);
  }

  void restore() const {
    py::dict d = module.attr("__dict__");
    for (const char* store : {"_parameters", "_buffers"}) {
      py::object live = d[store];
      live.attr("clear")();
      live.attr("update")(std::string(store) == "_parameters" ? parameters : buffers);
    }
    py::list keys(d.attr("keys")());
    for (py::handle key : keys) {
      if (!attrs.contains(key)) PyDict_DelItem(d.ptr(), key.ptr());
    }
    for (auto item : attrs) {
      const std::string key = py::str(item.first);
      if (key != "_parameters" && key != "_buffers") d[item.first] = item.second;
    }
  }
};

py::object trace_graph(const py::object& model, py::object example_inputs) {
  py::module_ torch = py::module_::import("torch");
  if (py::isinstance<py::list>(example_inputs)) example_inputs = py::tuple(example_inputs);
  // Tracing runs a forward pass: in training mode it would move batch-norm
  // statistics, so trace in eval mode and give every module its mode back.
  orrery::bind::EvalModeGuard eval_mode(model);
  torch::NoGradGuard no_grad;
  py::object traced = torch.attr("jit").attr("trace")(
      model, example_inputs, py::arg("check_trace") = false, py::arg("strict") = false);
  return traced.attr("inlined_graph");
}

// The size attributes a pruning function reads, as they are now.
py::tuple size_signature(const py::object& module) {
  py::list values;
  for (const char* name : orrery::bind::kPrunedSizeAttributes) values.append(py::getattr(module, name, py::none()));
  return py::tuple(values);
}

void make_node(py::module_& m) {
  ClassBuilder cls(m, "Node", {py::module_::import("builtins").attr("object")},
                   "One place of the model that a plan step changes: a module or a view op.");
  cls.method(
      "__init__",
      [](py::object self, py::object module, py::object name) {
        self.attr("module") = module;
        self.attr("name") = name;
      },
      py::arg("module"), py::arg("name"),
      "A node for `module` (a torch.nn.Module, a view op or None) named `name` (its qualified "
      "name in the model, or the view op's kind).");
  cls.method("__repr__", [](py::object self) {
    return "<Node: " + std::string(py::str(self.attr("name"))) + " (" +
           std::string(py::repr(self.attr("module"))) + ")>";
  },
             "'<Node: name (module)>'.");
  cls.build();
}

void make_view_op(py::module_& m) {
  ClassBuilder cls(m, "_ViewOP", {py::module_::import("builtins").attr("object")},
                   "A flatten, view or reshape of the traced model that the channels pass through.");
  cls.method(
      "__init__",
      [](py::object self, py::object kind, py::object shapes) {
        self.attr("kind") = kind;
        self.attr("shapes") = shapes;
      },
      py::arg("kind"), py::arg("shapes"),
      "A view op of kind `kind` (flatten, view, reshape) with the traced `shapes` it maps "
      "between.");
  cls.method("__repr__", [](py::object self) {
    return "_ViewOP(" + std::string(py::str(self.attr("kind"))) + " " +
           std::string(py::str(self.attr("shapes"))) + ")";
  },
             "'_ViewOP(kind shapes)'.");
  cls.build();
}

std::string dependency_text(const py::object& self) {
  py::object node = self.attr("broken_node");
  const std::string name = py::str(node.attr("name"));
  py::object reason = self.attr("reason");
  if (!reason.is_none()) return "<Dependency: refused at " + name + ": " + std::string(py::str(reason)) + ">";
  py::object handler = self.attr("handler");
  if (handler.is_none()) return "<Dependency: channels pass through " + std::string(py::repr(node.attr("module"))) + ">";
  const std::string fn = py::str(handler.attr("__name__"));
  // A tensor attribute's node holds its owner, which may be a whole block.
  const std::string what = fn == "prune_parameter"
                               ? std::string(py::str(py::type::of(node.attr("module")).attr("__name__")))
                               : std::string(py::repr(node.attr("module")));
  return "<Dependency: " + fn + " on " + name + " (" + what + ")>";
}

void make_dependency(py::module_& m) {
  ClassBuilder cls(m, "Dependency", {py::module_::import("builtins").attr("object")},
                   "One step of a pruning plan: `handler` applied to `broken_node.module`.");
  cls.method(
      "__init__",
      [](py::object self, py::object trigger, py::object handler, py::object broken_node,
         py::object reason) {
        self.attr("trigger") = trigger;
        self.attr("handler") = handler;
        self.attr("broken_node") = broken_node;
        self.attr("reason") = reason;
      },
      py::arg("trigger"), py::arg("handler"), py::arg("broken_node"), py::arg("reason") = py::none(),
      "A step caused by pruning with `trigger` (the function the plan was asked for) that applies "
      "`handler` (a torch_surgery.structured function, or None for a step that changes no module) "
      "to broken_node.module; `reason` (a str) makes it a refusal, which stops the plan.");
  cls.method("__call__", [](py::object self, py::object idxs) -> py::object {
    py::object handler = self.attr("handler");
    if (handler.is_none()) return py::none();
    return handler(self.attr("broken_node").attr("module"), py::list(idxs));
  }, py::arg("idxs"),
             "Applies the step's handler to its module with the indices `idxs` and returns its "
             "result (module, number of parameters removed); None for a step without a handler.");
  cls.method("__str__", [](py::object self) { return dependency_text(self); },
             "'<Dependency: handler on name (module)>', or why the step refuses the plan.");
  cls.method("__repr__", [](py::object self) { return dependency_text(self); },
             "The same text as str().");
  cls.build();
}

void make_plan(py::module_& m) {
  ClassBuilder cls(m, "PruningPlan", {py::module_::import("builtins").attr("object")},
                   "The steps that remove a set of channels from a model; `plan` lists "
                   "(dependency, indices) pairs, `exec()` applies them.");
  cls.method("__init__", [](py::object self) {
    self.attr("plan") = py::list();
    self.attr("_sizes_when_made") = py::list();
  },
             "An empty plan.");
  cls.method("add_plan", [](py::object self, py::object dependency, py::object idxs) {
    self.attr("plan").attr("append")(py::make_tuple(dependency, py::list(idxs)));
    py::object module = dependency.attr("broken_node").attr("module");
    if (!dependency.attr("handler").is_none()) {
      self.attr("_sizes_when_made").attr("append")(py::make_tuple(module, size_signature(module)));
    }
  }, py::arg("dependency"), py::arg("idxs"),
             "Appends the step (`dependency`, `idxs`), recording the sizes of the step's module "
             "so that exec() can tell whether the model changed since.");
  cls.method("__len__", [](py::object self) { return py::len(self.attr("plan")); },
             "The number of steps.");
  cls.method("__iter__", [](py::object self) { return self.attr("plan").attr("__iter__")(); },
             "Iterates over the (dependency, indices) steps in order.");
  cls.method("__str__", [](py::object self) {
    std::string text = "PruningPlan:";
    for (py::handle entry : self.attr("plan")) {
      text += "\n  " + std::string(py::str(entry[py::int_(0)])) + " idxs=" +
              std::string(py::str(entry[py::int_(1)]));
    }
    return text;
  },
             "'PruningPlan:' and one line per step.");
  cls.method("exec", [](py::object self) -> py::object {
    py::list entries(self.attr("plan"));
    // A refused plan stops before anything changes.
    for (py::handle entry : entries) {
      py::object reason = entry[py::int_(0)].attr("reason");
      if (!reason.is_none()) {
        throw py::value_error("this pruning plan cannot be executed: " + std::string(py::str(reason)));
      }
    }
    // Indices and offsets hold for the sizes the plan was made against; a plan
    // run twice, or after the model changed, would cut the wrong channels.
    for (py::handle item : self.attr("_sizes_when_made")) {
      if (!size_signature(item[py::int_(0)]).equal(item[py::int_(1)])) {
        throw py::value_error(
            "the model changed since this pruning plan was made (or the plan already ran); "
            "ask the dependency graph for a new plan");
      }
    }
    std::vector<Snapshot> touched;
    int64_t total = 0;
    try {
      for (py::handle entry : entries) {
        py::object dependency = entry[py::int_(0)];
        py::object handler = dependency.attr("handler");
        if (handler.is_none()) continue;
        py::object module = dependency.attr("broken_node").attr("module");
        bool seen = false;
        for (const Snapshot& s : touched) seen |= s.module.is(module);
        if (!seen) touched.emplace_back(module);
        py::object result = handler(module, py::list(entry[py::int_(1)]));
        if (py::isinstance<py::tuple>(result) && py::len(result) == 2) total += result[py::int_(1)].cast<int64_t>();
      }
    } catch (py::error_already_set& e) {
      // Put every module back before the error leaves, newest change first.
      py::error_scope keep_error;
      for (auto it = touched.rbegin(); it != touched.rend(); ++it) it->restore();
      throw;
    } catch (...) {
      for (auto it = touched.rbegin(); it != touched.rend(); ++it) it->restore();
      throw;
    }
    return py::int_(total);
  },
             "Applies every step in order and returns the number of parameters removed, all or "
             "nothing: a failing step puts every module already changed back as it was and the "
             "error propagates. Raises ValueError, before anything changes, when the plan holds a "
             "refusal or the model changed since the plan was made (or the plan already ran).");
  cls.build();
}

// The side of a module a step removes channels from, as a channel count
// before the change; -1 for steps that change no module.
int64_t pruned_width(const dep::Step& step, const dep::ModuleSizes& s) {
  switch (step.action) {
    case dep::Action::PruneRelatedConv:
    case dep::Action::PruneRelatedLinear:
      return s.in;
    case dep::Action::PruneConv:
    case dep::Action::PruneLinear:
    case dep::Action::PruneBatchnorm:
    case dep::Action::PruneGroupConv:
    case dep::Action::PrunePrelu:
    case dep::Action::PruneLayernorm:
    case dep::Action::PruneParameter:
      return s.out;
    default:
      return -1;
  }
}

// Channels a module of the model reads without the trace showing it: its
// input width, or -1 for modules that are not prunable layers.
int64_t input_width(const py::object& module) {
  static const py::object& nn = *new py::object(py::module_::import("torch.nn"));
  if (py::isinstance(module, nn.attr("modules").attr("conv").attr("_ConvNd")))
    return module.attr("in_channels").cast<int64_t>();
  if (py::isinstance(module, nn.attr("Linear"))) return module.attr("in_features").cast<int64_t>();
  if (py::isinstance(module, nn.attr("modules").attr("batchnorm").attr("_BatchNorm")))
    return module.attr("num_features").cast<int64_t>();
  if (py::isinstance(module, nn.attr("PReLU"))) {
    const int64_t n = module.attr("num_parameters").cast<int64_t>();
    return n > 1 ? n : -1;
  }
  if (py::isinstance(module, nn.attr("LayerNorm"))) {
    py::tuple shape(module.attr("normalized_shape"));
    return shape.size() == 1 ? shape[0].cast<int64_t>() : -1;
  }
  return -1;
}

// Couplings the trace cannot show, checked against the live model; each adds
// a refusal at the head of the plan so that nothing is changed:
//  - a module registered under several names is one module the plan would
//    change once per name;
//  - modules sharing a parameter (tied weights) would change each other;
//  - a prunable module the trace does not show as a layer (a branch the
//    example inputs did not take, a result the model discards, weights read
//    directly or transformed first) may read the removed channels: refused
//    when its input width matches a width the plan changes;
//  - a per-channel tensor attribute of a layer used outside the layer would
//    shrink without the layer's size attributes;
//  - a module that runs a layer's operation on its own parameters (its sizes
//    are unknown, read as negative) has no size attributes to change.
void refuse_hidden_couplings(const py::object& model, const std::vector<py::object>& modules,
                             const std::vector<dep::ModuleInfo>& infos,
                             const std::vector<dep::ModuleSizes>& sizes, std::vector<dep::Step>& steps) {
  std::vector<dep::Step> refusals;
  auto refuse = [&](int64_t module, std::string reason) {
    for (const dep::Step& r : refusals)
      if (r.reason == reason) return;
    refusals.push_back(dep::Step{dep::Action::Refuse, module, -1, {}, std::move(reason)});
  };
  std::set<int64_t> widths;
  std::set<PyObject*> traced;
  for (size_t i = 0; i < modules.size(); ++i) {
    // Owning a tensor the model reads is not being called as a layer.
    if (infos[i].kind != dep::ModuleKind::Parameter) traced.insert(modules[i].ptr());
  }
  for (const dep::Step& step : steps) {
    if (step.module < 0 || step.action == dep::Action::Refuse || step.action == dep::Action::View)
      continue;
    widths.insert(pruned_width(step, sizes[step.module]));
    const py::object& mod = modules[step.module];
    if (sizes[step.module].out < 0) {
      refuse(step.module, "module '" + infos[step.module].path + "' (" +
                              std::string(py::str(py::type::of(mod).attr("__name__"))) + ") runs " +
                              kind_text(infos[step.module].kind) +
                              " on its own parameters instead of being that torch.nn layer; "
                              "pruning cannot change it");
      continue;
    }
    if (infos[step.module].kind == dep::ModuleKind::Parameter) {
      bool owned_by_layer = false;
      for (auto kind : {dep::ModuleKind::Conv, dep::ModuleKind::Linear, dep::ModuleKind::BatchNorm,
                        dep::ModuleKind::PReLU, dep::ModuleKind::LayerNorm})
        owned_by_layer |= is_layer_of_kind(mod, kind);
      if (owned_by_layer) {
        refuse(step.module, "the tensor '" + infos[step.module].path +
                                "' belongs to a layer but is also used per channel outside it; "
                                "pruning it there would leave the layer's sizes wrong");
      }
      continue;
    }
    for (size_t j = 0; j < modules.size(); ++j) {
      if (static_cast<int64_t>(j) != step.module && infos[j].kind != dep::ModuleKind::Parameter &&
          modules[j].is(mod)) {
        refuse(step.module, "module '" + infos[step.module].path + "' is also called as '" +
                                infos[j].path + "'; a module registered under two names cannot be pruned");
      }
    }
  }
  if (steps.empty()) return;
  // Owners of every parameter, to find tied weights.
  std::map<PyObject*, std::vector<std::pair<std::string, PyObject*>>> owners;
  py::list all_modules = py::list(model.attr("named_modules")());
  for (py::handle item : all_modules) {
    py::object mod = item[py::int_(1)];
    for (auto entry : py::dict(mod.attr("_parameters"))) {
      if (entry.second.is_none()) continue;
      owners[entry.second.ptr()].emplace_back(py::str(item[py::int_(0)]), mod.ptr());
    }
  }
  for (const dep::Step& step : steps) {
    if (step.module < 0 || step.action == dep::Action::Refuse || step.action == dep::Action::View)
      continue;
    const py::object& mod = modules[step.module];
    const bool attribute = infos[step.module].kind == dep::ModuleKind::Parameter;
    const std::string only = attribute ? split_attribute_path(infos[step.module].path).second : "";
    for (auto entry : py::dict(mod.attr("_parameters"))) {
      if (entry.second.is_none() || (attribute && std::string(py::str(entry.first)) != only)) continue;
      for (const auto& [name, owner] : owners[entry.second.ptr()]) {
        if (owner == mod.ptr()) continue;
        refuse(step.module, "module '" + infos[step.module].path +
                                "' shares its parameter '" + std::string(py::str(entry.first)) +
                                "' with '" + name +
                                "' (tied weights); untie them or prune neither");
      }
    }
  }
  for (py::handle item : all_modules) {
    py::object mod = item[py::int_(1)];
    if (traced.count(mod.ptr())) continue;
    const int64_t width = input_width(mod);
    if (width > 0 && widths.count(width)) {
      refuse(-1, "module '" + std::string(py::str(item[py::int_(0)])) + "' (" +
                     std::string(py::str(py::type::of(mod).attr("__name__"))) + " reading " +
                     std::to_string(width) +
                     " channels) does not appear in the trace as a layer the channels flow "
                     "through, so it may read the channels this plan removes (a branch the "
                     "example inputs did not take, a discarded result, weights used directly or "
                     "transformed); trace with inputs that call it, or remove it from the model");
    }
  }
  steps.insert(steps.begin(), refusals.begin(), refusals.end());
}

void make_dependency_graph(py::module_& m) {
  ClassBuilder cls(m, "DependencyGraph", {py::module_::import("builtins").attr("object")},
                   "Channel dependencies of a model, built from one trace of it.");
  cls.method("__init__", [](py::object self) {
    self.attr("model") = py::none();
    self.attr("_engine") = py::none();
    self.attr("_view_ops") = py::list();
  },
             "An empty graph; build_dependency fills it.");
  cls.method(
      "build_dependency",
      [m](py::object self, py::object model, py::object example_inputs) {
        py::object graph = trace_graph(model, example_inputs);
        auto jit_graph = graph.cast<std::shared_ptr<torch::jit::Graph>>();
        dep::AttributeShapes shapes;
        for (const char* kind : {"named_parameters", "named_buffers"}) {
          for (py::handle item : model.attr(kind)()) {
            py::object t = item[py::int_(1)];
            if (THPVariable_Check(t.ptr()))
              shapes[py::str(item[py::int_(0)])] = THPVariable_Unpack(t.ptr()).sizes().vec();
          }
        }
        EngineGraph engine{std::make_shared<dep::ChannelGraph>(*jit_graph, shapes)};
        py::list views;
        for (const auto& view : engine.graph->view_ops()) {
          views.append(m.attr("_ViewOP")(view.kind, view.description));
        }
        self.attr("model") = model;
        self.attr("_engine") = py::cast(engine);
        self.attr("_view_ops") = views;
        return self;
      },
      py::arg("model"), py::arg("example_inputs"),
      "Traces `model` (a torch.nn.Module) on `example_inputs` in evaluation mode without "
      "gradients (every module's mode is given back), analyses the trace and keeps the result; "
      "returns the graph itself. Raises what tracing raises.");
  cls.method("dump", [](py::object self) -> std::string {
    py::object engine_obj = self.attr("_engine");
    if (engine_obj.is_none()) {
      throw std::runtime_error(
          "the dependency graph is empty: call build_dependency(model, example_inputs=...) first");
    }
    std::ostringstream text;
    engine_obj.cast<const EngineGraph&>().graph->dump(text);
    return text.str();
  },
             "The graph as text: each value and operation of the trace and what it became. Raises "
             "RuntimeError when the graph was not built.");
  cls.method("__repr__", [](py::object self) -> std::string {
    py::object engine_obj = self.attr("_engine");
    if (engine_obj.is_none()) return "<DependencyGraph: empty>";
    const auto& graph = *engine_obj.cast<const EngineGraph&>().graph;
    return "<DependencyGraph: " + std::to_string(graph.modules().size()) + " modules, " +
           std::to_string(graph.view_ops().size()) + " view ops; dump() shows the graph>";
  },
             "'<DependencyGraph: N modules, M view ops; dump() shows the graph>', or 'empty'.");
  cls.method(
      "get_pruning_plan",
      [m](py::object self, py::object module, py::object prune_fn, py::object idxs_obj) {
        py::object engine_obj = self.attr("_engine");
        if (engine_obj.is_none()) {
          throw std::runtime_error(
              "the dependency graph is empty: call build_dependency(model, example_inputs=...) first");
        }
        const auto& engine = engine_obj.cast<const EngineGraph&>();
        const FunctionUse use = function_use(prune_fn);
        const std::vector<int64_t> idxs = to_indices(idxs_obj);
        py::object model = self.attr("model");
        const std::vector<dep::ModuleInfo>& infos = engine.graph->modules();

        // Modules and their sizes are looked up now, not when the graph was
        // built: the model may have shrunk or had modules replaced since.
        // A per-channel tensor attribute stands for the module that owns it.
        std::vector<py::object> modules;
        std::vector<dep::ModuleSizes> sizes;
        int64_t origin = -1;
        for (size_t i = 0; i < infos.size(); ++i) {
          const bool attribute = infos[i].kind == dep::ModuleKind::Parameter;
          const std::string owner = attribute ? split_attribute_path(infos[i].path).first : infos[i].path;
          py::object mod;
          try {
            mod = model.attr("get_submodule")(owner);
          } catch (py::error_already_set&) {
            throw std::runtime_error("module '" + owner +
                                     "' is no longer part of the model; build the dependency graph again");
          }
          if (is_layer_of_kind(mod, infos[i].kind)) {
            sizes.push_back(read_sizes(mod, infos[i]));
          } else {
            // Unknown sizes: the engine keeps the trace's channel counts, and
            // any step on this module is refused below.
            sizes.push_back(dep::ModuleSizes{-1, -1, 1});
          }
          if (!attribute && mod.is(module)) origin = static_cast<int64_t>(i);
          modules.push_back(std::move(mod));
        }

        py::object plan = m.attr("PruningPlan")();
        if (origin < 0) {
          // A module the forward pass never calls is coupled to nothing.
          for (py::handle item : model.attr("named_modules")()) {
            if (py::object(item[py::int_(1)]).is(module)) {
              py::object node = m.attr("Node")(module, item[py::int_(0)]);
              plan.attr("add_plan")(m.attr("Dependency")(prune_fn, prune_fn, node), idxs);
              return plan;
            }
          }
          throw py::value_error(std::string(py::repr(module)) +
                                " is not part of the model this dependency graph was built from");
        }
        const dep::ModuleKind origin_kind = infos[origin].kind;
        if (origin_kind != use.kind || sizes[origin].out < 0) {
          throw py::value_error(std::string(py::str(prune_fn.attr("__name__"))) + " does not apply to '" +
                                infos[origin].path + "', which is " +
                                kind_text(origin_kind));
        }
        std::vector<dep::Step> steps;
        try {
          steps = engine.graph->plan(origin, use.role, idxs, sizes);
        } catch (const c10::ValueError& e) {
          throw py::value_error(e.what_without_backtrace());
        }
        refuse_hidden_couplings(model, modules, infos, sizes, steps);
        py::list view_ops = self.attr("_view_ops");
        for (const dep::Step& step : steps) {
          py::object node;
          py::object reason = py::none();
          if (step.action == dep::Action::View) {
            node = m.attr("Node")(view_ops[step.view], view_ops[step.view].attr("kind"));
          } else if (step.module >= 0) {
            node = m.attr("Node")(modules[step.module], infos[step.module].path);
          } else {
            node = m.attr("Node")(py::none(), "<graph>");
          }
          if (step.action == dep::Action::Refuse) reason = py::str(step.reason);
          py::object handler = handler_for(step.action);
          if (step.action == dep::Action::PruneParameter) {
            handler = parameter_handler(split_attribute_path(infos[step.module].path).second,
                                        infos[step.module].dim);
          }
          py::object dependency = m.attr("Dependency")(prune_fn, handler, node, reason);
          plan.attr("add_plan")(dependency, py::cast(step.idxs));
        }
        return plan;
      },
      py::arg("module"), py::arg("prune_fn"), py::arg("idxs"),
      "The PruningPlan that removes the channels `idxs` of `module` with `prune_fn` (a function "
      "of torch_surgery.structured: prune_conv removes output channels, prune_related_conv input "
      "channels, and so on) together with every coupled channel of the model, read from the live "
      "modules' sizes. Couplings the trace cannot show become refusals in the plan. Raises "
      "RuntimeError when the graph was not built or the model changed beyond it, TypeError for "
      "another prune_fn, ValueError when `module` is not in the model, the function does not "
      "apply to it or an index is out of range.");
  cls.build();
}

}  // namespace

PYBIND11_MODULE(dependency, m) {
  py::module_::import("torch");
  py::module_::import("torch_surgery.structured");
  py::class_<EngineGraph>(m, "_EngineGraph", "The engine's analysis of one trace.");
  make_node(m);
  make_view_op(m);
  make_dependency(m);
  make_plan(m);
  make_dependency_graph(m);
  m.attr("__all__") = py::make_tuple("DependencyGraph", "PruningPlan", "Dependency", "Node", "_ViewOP");
}
