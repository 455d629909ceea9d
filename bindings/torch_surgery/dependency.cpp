// torch_surgery.dependency: which channels of a model depend on which.
//
// The model is traced once; the engine analyses the trace and, for each
// request, works out every module that must shrink with the requested one.
// This module only reads sizes from the live modules, turns engine steps into
// plan entries, and runs them all-or-nothing.
#include <torch/extension.h>

#include <map>
#include <set>
#include <unordered_map>

#include <memory>
#include <sstream>

#include "class_builder.h"
#include "module_modes.h"
#include "layer_table.h"
#include "module_snapshot.h"
#include "python_checks.h"
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

// The module kind and side a structured function stands for, read from the
// layer kind table.
struct FunctionUse {
  dep::Side side;
  dep::ModuleKind kind;
};

FunctionUse function_use(const py::object& prune_fn) {
  py::object s = structured();
  for (const dep::LayerKind& row : dep::layer_kinds()) {
    if (row.module == nullptr) continue;  // tensor attributes are reached through plans only
    for (dep::Side side : {dep::Side::Output, dep::Side::Input, dep::Side::Both}) {
      const char* name = dep::prune_function(row.kind, side);
      if (name != nullptr && prune_fn.is(s.attr(name))) return {side, row.kind};
    }
  }
  throw py::type_error("prune_fn must be one of the functions of torch_surgery.structured, got " +
                       std::string(py::repr(prune_fn)));
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
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0) {
      throw py::value_error("channel index " + std::string(py::repr(item)) +
                            " is far beyond any channel count; give indices of the module's channels");
    }
    out.push_back(value);
  }
  return out;
}

// The sizes of the module a graph entry stands for; `module` is the owner of
// a tensor attribute.
dep::ModuleSizes read_sizes(const py::object& module, const dep::ModuleInfo& info) {
  if (info.kind != dep::ModuleKind::Parameter) return orrery::bind::layer_sizes(module, dep::layer_kind(info.kind));
  const std::string name = split_attribute_path(info.path).second;
  py::object t = py::getattr(module, name.c_str(), py::none());
  if (!THPVariable_Check(t.ptr()) || THPVariable_Unpack(t.ptr()).dim() <= info.dim) {
    throw std::runtime_error("the tensor attribute '" + info.path +
                             "' is no longer what the model was traced with; build the "
                             "dependency graph again");
  }
  dep::ModuleSizes s;
  s.out = s.in = THPVariable_Unpack(t.ptr()).size(info.dim);
  return s;
}

// torch.jit.trace's inlined graph of `model` on `example_inputs`, in the
// modes the modules are in now, without gradients.
py::object run_trace(const py::object& model, const py::object& example_inputs) {
  py::module_ torch = py::module_::import("torch");
  torch::NoGradGuard no_grad;
  // The tracer's warnings about Python values frozen into the trace (shape
  // checks inside torch.nn.functional) say nothing about channels: the graph
  // reads every shape it relies on from the trace itself.
  py::object warnings = py::module_::import("warnings");
  py::object quiet = warnings.attr("catch_warnings")();
  quiet.attr("__enter__")();
  py::object traced;
  try {
    warnings.attr("simplefilter")("ignore", torch.attr("jit").attr("TracerWarning"));
    traced = torch.attr("jit").attr("trace")(model, example_inputs, py::arg("check_trace") = false,
                                             py::arg("strict") = false);
  } catch (...) {
    py::error_scope pending;
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  quiet.attr("__exit__")(py::none(), py::none(), py::none());
  return traced.attr("inlined_graph");
}

py::object as_trace_inputs(py::object example_inputs) {
  return py::isinstance<py::list>(example_inputs) ? py::tuple(example_inputs) : example_inputs;
}

// Tracing runs a forward pass: in training mode it would move batch-norm
// statistics, so the first trace is in eval mode and every module gets its
// mode back.
py::object trace_graph(const py::object& model, const py::object& example_inputs) {
  orrery::bind::EvalModeGuard eval_mode(model);
  return run_trace(model, example_inputs);
}

// A model's buffers and random state, put back by restore() as they were
// when it was made: a forward pass in training mode moves batch-norm
// statistics and draws dropout masks, which building a graph must not do.
class ModelState {
 public:
  explicit ModelState(const py::object& model) : torch_(py::module_::import("torch")) {
    for (py::handle module : model.attr("modules")()) {
      py::dict buffers = module.attr("_buffers");
      for (auto item : buffers) {
        if (!THPVariable_Check(item.second.ptr())) continue;
        at::Tensor kept = THPVariable_Unpack(item.second.ptr()).detach().clone();
        buffers_.push_back({buffers, py::reinterpret_borrow<py::object>(item.first),
                            py::reinterpret_borrow<py::object>(item.second), kept});
      }
    }
    rng_ = torch_.attr("get_rng_state")();
    if (py::bool_(torch_.attr("cuda").attr("is_initialized")())) cuda_rng_ = torch_.attr("cuda").attr("get_rng_state_all")();
  }

  void restore() {
    torch::NoGradGuard no_grad;
    for (const Buffer& b : buffers_) {
      b.owner[b.name] = b.tensor;  // a module may have replaced the tensor itself
      THPVariable_Unpack(b.tensor.ptr()).copy_(b.kept);
    }
    torch_.attr("set_rng_state")(rng_);
    if (cuda_rng_) torch_.attr("cuda").attr("set_rng_state_all")(cuda_rng_);
  }

 private:
  struct Buffer {
    py::dict owner;
    py::object name, tensor;
    at::Tensor kept;
  };
  py::module_ torch_;
  std::vector<Buffer> buffers_;
  py::object rng_, cuda_rng_;
};

// The example inputs with the batch repeated, for a model whose batch norms
// cannot train on one sample (a 1x1 feature map); None when they are not
// tensors with a batch dimension.
py::object doubled_batch(const py::object& example_inputs) {
  py::module_ torch = py::module_::import("torch");
  auto doubled = [&](py::handle t) -> py::object {
    if (!THPVariable_Check(t.ptr()) || THPVariable_Unpack(t.ptr()).dim() == 0) return py::none();
    return torch.attr("cat")(py::make_tuple(t, t));
  };
  if (!py::isinstance<py::tuple>(example_inputs)) return doubled(example_inputs);
  py::list out;
  for (py::handle t : example_inputs) {
    py::object d = doubled(t);
    if (d.is_none()) return d;
    out.append(d);
  }
  return py::tuple(out);
}

// The model traced in training mode, where modules such as auxiliary heads
// run that evaluation skips; the model's buffers, random state and modes are
// given back. None, with a warning, when the model cannot be traced so: the
// layers only training runs then stay untraced, and plans they could read
// are refused.
py::object trace_in_training(const py::object& model, const py::object& example_inputs) {
  ModelState state(model);
  py::object graph = py::none();
  std::string failure;
  try {
    orrery::bind::ModeGuard training(model, true);
    for (const py::object& inputs : {example_inputs, doubled_batch(example_inputs)}) {
      if (inputs.is_none()) break;
      try {
        graph = run_trace(model, inputs);
        break;
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        failure = std::string(py::str(py::type::of(e.value()).attr("__name__"))) + ": " +
                  std::string(py::str(e.value()));
      }
    }
  } catch (...) {
    py::error_scope pending;
    state.restore();
    throw;
  }
  state.restore();
  if (graph.is_none()) {
    py::module_::import("warnings").attr("warn")(
        "build_dependency: the model could not be traced in training mode (" + failure +
        "); layers that run only in training stay untraced, and plans whose channels they could "
        "read or produce are refused");
  }
  return graph;
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
  cls.method("__call__", [](py::object self, py::args args, py::kwargs kwargs) -> py::object {
    const auto a = orrery::bind::bind_arguments("__call__", args, kwargs, {"idxs"}, 1);
    py::object handler = self.attr("handler");
    if (handler.is_none()) return py::none();
    return handler(self.attr("broken_node").attr("module"), py::list(a[0]));
  },
             "Applies the step's handler to its module with the indices `idxs` and returns its "
             "result (module, number of parameters removed); None for a step without a handler.");
  cls.method_signature("__call__", "(self, idxs)");
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
      self.attr("_sizes_when_made").attr("append")(py::make_tuple(module, orrery::bind::size_signature(module)));
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
      if (!orrery::bind::size_signature(item[py::int_(0)]).equal(item[py::int_(1)])) {
        throw py::value_error(
            "the model changed since this pruning plan was made (or the plan already ran); "
            "ask the dependency graph for a new plan");
      }
    }
    // Every module goes back as it was, newest change first, if a step fails.
    orrery::bind::Rollback rollback;
    return rollback.guard([&] {
      int64_t total = 0;
      for (py::handle entry : entries) {
        py::object dependency = entry[py::int_(0)];
        py::object handler = dependency.attr("handler");
        if (handler.is_none()) continue;
        py::object module = dependency.attr("broken_node").attr("module");
        // Its submodules too: a layer may change its own (an LSQ layer's weight step).
        for (py::handle sub : module.attr("modules")()) rollback.keep(py::reinterpret_borrow<py::object>(sub));
        py::object result = handler(module, py::list(entry[py::int_(1)]));
        if (py::isinstance<py::tuple>(result) && py::len(result) == 2) total += result[py::int_(1)].cast<int64_t>();
      }
      return py::int_(total);
    });
  },
             "Applies every step in order and returns the number of parameters removed, all or "
             "nothing: a failing step puts every module already changed back as it was and the "
             "error propagates. Raises ValueError, before anything changes, when the plan holds a "
             "refusal or the model changed since the plan was made (or the plan already ran).");
  cls.build();
}

// The live modules a graph's entries stand for, looked up now rather than
// when the graph was built: the model may have shrunk or had modules replaced
// since. A per-channel tensor attribute stands for the module that owns it.
struct LiveModules {
  py::list named;  // the model's (name, module) pairs, each module once
  std::unordered_map<std::string, py::object> by_name;  // every name, a module registered twice under each
  std::vector<py::object> modules;
  std::vector<dep::ModuleSizes> sizes;
};

// One pass over the model's modules: each module once under its first name,
// and every name each goes by.
void read_names(const py::object& model, LiveModules& live) {
  std::set<PyObject*> listed;
  for (py::handle item : model.attr("named_modules")(py::arg("remove_duplicate") = false)) {
    live.by_name.emplace(py::str(item[py::int_(0)]), item[py::int_(1)]);
    if (listed.insert(item[py::int_(1)].ptr()).second) live.named.append(item);
  }
}

LiveModules live_modules(const py::object& model, const std::vector<dep::ModuleInfo>& infos) {
  LiveModules live;
  read_names(model, live);
  for (const dep::ModuleInfo& info : infos) {
    const bool attribute = info.kind == dep::ModuleKind::Parameter;
    const std::string owner = attribute ? split_attribute_path(info.path).first : info.path;
    auto found = live.by_name.find(owner);
    if (found == live.by_name.end()) {
      throw std::runtime_error("module '" + owner +
                               "' is no longer part of the model; build the dependency graph again");
    }
    py::object mod = found->second;
    // A module that is not the layer its kind stands for has unknown sizes:
    // the engine keeps the trace's channel counts and refuses to change it.
    live.sizes.push_back(orrery::bind::is_layer_of_kind(mod, info.kind) ? read_sizes(mod, info)
                                                                        : dep::ModuleSizes{-1, -1, 1});
    live.modules.push_back(std::move(mod));
  }
  return live;
}

// The modules some trace ran: those whose parameters or buffers it reads,
// and the layers of the graph. The model keeps them alive.
std::set<PyObject*> modules_that_ran(const LiveModules& live, const dep::ChannelGraph& graph) {
  std::set<PyObject*> ran;
  auto add = [&](const std::string& path) {
    auto found = live.by_name.find(path);
    if (found != live.by_name.end()) ran.insert(found->second.ptr());
  };
  for (const std::string& path : graph.modules_that_ran()) add(path);
  for (const dep::ModuleInfo& info : graph.modules())
    if (info.kind != dep::ModuleKind::Parameter) add(info.path);
  return ran;
}

// The prunable layers of the model that no trace ran.
std::vector<dep::UntracedModule> untraced_layers(const py::list& named, const std::set<PyObject*>& ran) {
  std::vector<dep::UntracedModule> untraced;
  for (py::handle item : named) {
    py::object mod = item[py::int_(1)];
    if (ran.count(mod.ptr())) continue;
    const int64_t in = orrery::bind::layer_width(mod, dep::Side::Input);
    const int64_t out = orrery::bind::layer_width(mod, dep::Side::Output);
    if (in > 0 || out > 0)
      untraced.push_back({py::str(item[py::int_(0)]), py::str(py::type::of(mod).attr("__name__")), in, out});
  }
  return untraced;
}

// Which modules are the same object, which share a parameter with a module
// elsewhere in the model, and which prunable layers no trace ran.
dep::ModelFacts model_facts(const LiveModules& live, const dep::ChannelGraph& graph) {
  const std::vector<dep::ModuleInfo>& infos = graph.modules();
  dep::ModelFacts facts;
  facts.untraced = untraced_layers(live.named, modules_that_ran(live, graph));
  std::map<PyObject*, std::vector<std::pair<std::string, PyObject*>>> owners;
  for (py::handle item : live.named) {
    py::object mod = item[py::int_(1)];
    for (auto entry : py::dict(mod.attr("_parameters"))) {
      if (!entry.second.is_none()) owners[entry.second.ptr()].emplace_back(py::str(item[py::int_(0)]), mod.ptr());
    }
  }
  for (size_t i = 0; i < infos.size(); ++i) {
    const py::object& mod = live.modules[i];
    dep::ModuleFacts f;
    f.type_name = py::str(py::type::of(mod).attr("__name__"));
    const bool attribute = infos[i].kind == dep::ModuleKind::Parameter;
    if (attribute) {
      f.owned_by_layer = orrery::bind::kind_of(mod) != nullptr;
    } else {
      for (size_t j = 0; j < infos.size(); ++j)
        if (j != i && infos[j].kind != dep::ModuleKind::Parameter && live.modules[j].is(mod))
          f.same_object.push_back(static_cast<int64_t>(j));
    }
    const std::string only = attribute ? split_attribute_path(infos[i].path).second : "";
    for (auto entry : py::dict(mod.attr("_parameters"))) {
      if (entry.second.is_none() || (attribute && std::string(py::str(entry.first)) != only)) continue;
      for (const auto& [name, owner] : owners[entry.second.ptr()])
        if (owner != mod.ptr()) f.tied.emplace_back(py::str(entry.first), name);
    }
    facts.modules.push_back(std::move(f));
  }
  return facts;
}

// Why a module the graph does not hold as a layer cannot start a plan: what
// else touches its channels is unknown, so pruning it alone could break the
// layers it feeds. `ran`: whether some trace reads its parameters.
std::string untraced_reason(const py::object& model, const std::string& name, const py::object& module, bool ran) {
  const std::string what = "module '" + name + "' (" + std::string(py::str(py::type::of(module).attr("__name__"))) + ")";
  for (auto entry : py::dict(module.attr("_parameters"))) {
    if (entry.second.is_none()) continue;
    for (py::handle item : model.attr("named_modules")(py::arg("remove_duplicate") = false)) {
      py::object other = item[py::int_(1)];
      if (other.is(module)) continue;
      for (auto theirs : py::dict(other.attr("_parameters"))) {
        if (theirs.second.is(entry.second)) {
          return what + " shares its parameter '" + std::string(py::str(entry.first)) + "' with '" +
                 std::string(py::str(item[py::int_(0)])) + "' (tied weights); untie them or prune neither";
        }
      }
    }
  }
  if (py::hasattr(module, "weight_orig")) {
    return what + " computes its weight before every call (spectral_norm or torch.nn.utils.prune); "
                  "remove that first (torch.nn.utils.remove_spectral_norm, torch.nn.utils.prune.remove)";
  }
  if (ran) {
    return what + " runs in the trace, but not as a layer the channels flow through (its weights are "
                  "transformed before use, or it is applied along a dimension other than its channels); "
                  "pruning it alone could break the layers it feeds, so the plan is refused";
  }
  return what + " runs in no trace of the model (a branch the example inputs did not take, in training "
                "and in evaluation mode, or a discarded result); pruning it alone could break the layers "
                "it feeds, so the plan is refused; trace with inputs that call it";
}

// A plan rooted at a module the trace does not show as a layer: one refusal.
py::object untraced_plan(const py::module_& m, const py::object& model, const dep::ChannelGraph& graph,
                         const py::object& module, const py::object& prune_fn) {
  py::object plan = m.attr("PruningPlan")();
  for (py::handle item : model.attr("named_modules")()) {
    if (!py::object(item[py::int_(1)]).is(module)) continue;
    const std::string name = py::str(item[py::int_(0)]);
    py::object node = m.attr("Node")(module, name);
    LiveModules names;
    read_names(model, names);
    const bool ran = modules_that_ran(names, graph).count(module.ptr()) > 0;
    plan.attr("add_plan")(
        m.attr("Dependency")(prune_fn, py::none(), node, untraced_reason(model, name, module, ran)), py::list());
    return plan;
  }
  throw py::value_error(std::string(py::repr(module)) +
                        " is not part of the model this dependency graph was built from");
}

// The engine's steps as a PruningPlan of Dependency entries.
py::object plan_of_steps(const py::module_& m, const py::object& self, const py::object& prune_fn,
                         const std::vector<dep::Step>& steps, const LiveModules& live,
                         const std::vector<dep::ModuleInfo>& infos) {
  py::object plan = m.attr("PruningPlan")();
  py::list view_ops = self.attr("_view_ops");
  for (const dep::Step& step : steps) {
    py::object node;
    if (step.action == dep::Action::View) {
      node = m.attr("Node")(view_ops[step.view], view_ops[step.view].attr("kind"));
    } else if (step.module >= 0) {
      node = m.attr("Node")(live.modules[step.module], infos[step.module].path);
    } else {
      node = m.attr("Node")(py::none(), "<graph>");
    }
    py::object reason = step.action == dep::Action::Refuse ? py::object(py::str(step.reason)) : py::object(py::none());
    py::object handler = handler_for(step.action);
    if (step.action == dep::Action::PruneParameter) {
      handler = parameter_handler(split_attribute_path(infos[step.module].path).second, infos[step.module].dim);
    }
    plan.attr("add_plan")(m.attr("Dependency")(prune_fn, handler, node, reason), py::cast(step.idxs));
  }
  return plan;
}

const EngineGraph& built_graph(const py::object& self) {
  py::object engine_obj = self.attr("_engine");
  if (engine_obj.is_none()) {
    throw std::runtime_error(
        "the dependency graph is empty: call build_dependency(model, example_inputs=...) first");
  }
  return engine_obj.cast<const EngineGraph&>();
}

py::object pruning_plan(const py::module_& m, const py::object& self, const py::object& module,
                        const py::object& prune_fn, const py::object& idxs_obj) {
  const EngineGraph& engine = built_graph(self);
  const FunctionUse use = function_use(prune_fn);
  const std::vector<int64_t> idxs = to_indices(idxs_obj);
  py::object model = self.attr("model");
  const std::vector<dep::ModuleInfo>& infos = engine.graph->modules();
  const LiveModules live = live_modules(model, infos);
  int64_t origin = -1;
  for (size_t i = 0; i < infos.size() && origin < 0; ++i)
    if (infos[i].kind != dep::ModuleKind::Parameter && live.modules[i].is(module)) origin = static_cast<int64_t>(i);
  if (origin < 0) return untraced_plan(m, model, *engine.graph, module, prune_fn);
  if (infos[origin].kind != use.kind || live.sizes[origin].out < 0) {
    throw py::value_error(std::string(py::str(prune_fn.attr("__name__"))) + " does not apply to '" +
                          infos[origin].path + "', which is " + dep::layer_kind(infos[origin].kind).text);
  }
  std::vector<dep::Step> steps;
  try {
    steps = engine.graph->plan(origin, use.side, idxs, live.sizes, model_facts(live, *engine.graph));
  } catch (const c10::ValueError& e) {
    throw py::value_error(e.what_without_backtrace());
  }
  return plan_of_steps(m, self, prune_fn, steps, live, infos);
}

// Whether the model holds a parameter that the graph's traces do not read:
// one that only training uses (an auxiliary head's, a per-channel tensor of a
// training-only path), or one nothing uses. Buffers do not count: a batch
// norm's step counter is read in training only, and changes no channel.
bool reads_less_than_it_holds(const py::object& model, const dep::ChannelGraph& graph) {
  const std::set<std::string> read(graph.attributes_read().begin(), graph.attributes_read().end());
  for (py::handle item : model.attr("named_parameters")())
    if (!read.count(py::str(item[py::int_(0)]))) return true;
  return false;
}

// One graph over the model's traces: in eval mode, and in training mode too
// when the first trace leaves parameters unread (auxiliary heads, paths only
// training takes), so that plans follow the channels of both.
std::shared_ptr<dep::ChannelGraph> analyse(const py::object& model, const py::object& example_inputs,
                                           const dep::AttributeShapes& shapes) {
  py::object eval_trace = trace_graph(model, example_inputs);
  auto eval_graph = eval_trace.cast<std::shared_ptr<torch::jit::Graph>>();
  auto graph = std::make_shared<dep::ChannelGraph>(*eval_graph, shapes);
  if (!reads_less_than_it_holds(model, *graph)) return graph;
  py::object train_trace = trace_in_training(model, example_inputs);
  if (train_trace.is_none()) return graph;
  auto train_graph = train_trace.cast<std::shared_ptr<torch::jit::Graph>>();
  return std::make_shared<dep::ChannelGraph>(std::vector<const torch::jit::Graph*>{eval_graph.get(), train_graph.get()},
                                             shapes);
}

py::object build_dependency(const py::module_& m, py::object self, py::object model, py::object example_inputs) {
  dep::AttributeShapes shapes;
  for (const char* kind : {"named_parameters", "named_buffers"}) {
    for (py::handle item : model.attr(kind)()) {
      py::object t = item[py::int_(1)];
      if (THPVariable_Check(t.ptr())) shapes[py::str(item[py::int_(0)])] = THPVariable_Unpack(t.ptr()).sizes().vec();
    }
  }
  EngineGraph engine{analyse(model, as_trace_inputs(example_inputs), shapes)};
  py::list views;
  for (const auto& view : engine.graph->view_ops()) views.append(m.attr("_ViewOP")(view.kind, view.description));
  self.attr("model") = model;
  self.attr("_engine") = py::cast(engine);
  self.attr("_view_ops") = views;
  return self;
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
        return build_dependency(m, self, model, example_inputs);
      },
      py::arg("model"), py::arg("example_inputs"),
      "Traces `model` (a torch.nn.Module) on `example_inputs` in evaluation mode without "
      "gradients, and in training mode too when the first trace leaves some parameter "
      "unread (auxiliary heads that only training runs); every module's mode, the buffers and the "
      "random state are given back. Analyses the "
      "traces as one graph and keeps it; returns the graph itself. Raises what the evaluation-mode "
      "trace raises; a model that cannot be traced in training mode gets a warning, and plans "
      "whose channels its training-only layers could read are refused.");
  cls.method("dump", [](py::object self) -> std::string {
    std::ostringstream text;
    built_graph(self).graph->dump(text);
    return text.str();
  },
             "The graph as text: each value and operation of the trace and what it became. Raises "
             "RuntimeError when the graph was not built.");
  cls.method("__repr__", [](py::object self) -> std::string {
    if (self.attr("_engine").is_none()) return "<DependencyGraph: empty>";
    const auto& graph = *built_graph(self).graph;
    return "<DependencyGraph: " + std::to_string(graph.modules().size()) + " modules, " +
           std::to_string(graph.view_ops().size()) + " view ops; dump() shows the graph>";
  },
             "'<DependencyGraph: N modules, M view ops; dump() shows the graph>', or 'empty'.");
  cls.method(
      "get_pruning_plan",
      [m](py::object self, py::args args, py::kwargs kwargs) {
        const auto a = orrery::bind::bind_arguments("get_pruning_plan", args, kwargs,
                                                    {"module", "prune_fn", "idxs"}, 3);
        return pruning_plan(m, self, a[0], a[1], a[2]);
      },
      "The PruningPlan that removes the channels `idxs` of `module` with `prune_fn` (a function "
      "of torch_surgery.structured: prune_conv removes output channels, prune_related_conv input "
      "channels, prune_group_conv whole groups of a depthwise convolution, numbered as its input "
      "channels, and so on) together with every coupled channel of the model, read from the live "
      "modules' sizes. Couplings the trace cannot show become refusals in the plan. Raises "
      "RuntimeError when the graph was not built or the model changed beyond it, TypeError for "
      "another prune_fn, ValueError when `module` is not in the model, the function does not "
      "apply to it or an index is out of range.");
  cls.method_signature("get_pruning_plan", "(self, module, prune_fn, idxs)");
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
