// orrery.framework.surgeon_bridge: channel pruning across a whole model.
//
// The surgeon asks the dependency graph for the plan that removes channels of
// one layer and of everything coupled to it, screens the plan (fewer channels
// when a convolution would be emptied, none when a reshape is crossed), and
// executes it. A failing plan puts every module it touched back in place, so
// the layer wrapper keeps pointing at the live module of the model.
#include <torch/extension.h>

#include <algorithm>
#include <vector>

#include "class_builder.h"
#include "module_modes.h"
#include "module_names.h"
#include "layer_table.h"
#include "module_snapshot.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;
namespace dep = orrery::dependency;

namespace {

constexpr const char* kCachedDg = "_TorchGraphSurgeon__cached_dg";

// What one prune_channels call did, gathered through its retries and turned
// into a PruningRecord at the end.
struct Outcome {
  std::string status = "pruned";
  std::string reason;
  py::dict removed;

  void note(const std::string& text) { reason = reason.empty() ? text : reason + "; " + text; }
};

std::string text_of(const py::handle& value) { return py::str(value); }

// The layer's qualified name in the surgeon's model, or its repr when it is
// not part of it.
py::object layer_name(const py::object& self, const py::object& layer) {
  py::object model = py::getattr(self, "model", py::none());
  py::object native = py::getattr(layer, "native_layer", py::none());
  py::object root = model.is_none() ? py::none() : py::getattr(model, "native_model", py::none());
  if (!root.is_none() && !native.is_none() && py::hasattr(root, "named_modules")) {
    py::object name = orrery::bind::qualified_name(root, native);
    if (!name.is_none()) return name;
  }
  return py::repr(layer);
}


// The request `idxs` (in the caller's order of preference) with the same
// number of channels in every group of `groups`, for a grouped convolution
// that would otherwise lose more channels in some groups than in others and
// refuse the plan: each group gives up its first `per_group` requested
// channels, topped up with its lowest-L1 channels of `origin` when the request
// holds fewer. Empty when no balanced request keeps a channel in every group.
py::list balanced_request(const py::object& origin, const py::object& idxs, int64_t groups,
                          int64_t width) {
  const int64_t n = py::len(idxs);
  const int64_t per_group = std::max<int64_t>(1, n / groups);
  if (per_group >= width) return py::list();
  std::vector<double> l1(groups * width, 0.0);
  py::object weight = py::getattr(origin, "weight", py::none());
  if (!weight.is_none() && py::int_(weight.attr("shape")[py::int_(0)]).cast<int64_t>() == groups * width) {
    py::object w = weight.attr("detach")().attr("abs")().attr("reshape")(groups * width, -1).attr("sum")(1);
    py::list values = w.attr("tolist")();
    for (int64_t i = 0; i < groups * width; ++i) l1[i] = values[i].cast<double>();
  }
  std::vector<std::vector<int64_t>> chosen(groups);
  std::vector<char> taken(groups * width, 0);
  for (py::handle item : idxs) {
    const int64_t i = item.cast<int64_t>();
    auto& group = chosen[i / width];
    if (static_cast<int64_t>(group.size()) < per_group && !taken[i]) {
      group.push_back(i);
      taken[i] = 1;
    }
  }
  py::list out;
  for (int64_t g = 0; g < groups; ++g) {
    std::vector<int64_t> rest;
    for (int64_t i = g * width; i < (g + 1) * width; ++i)
      if (!taken[i]) rest.push_back(i);
    std::stable_sort(rest.begin(), rest.end(), [&](int64_t a, int64_t b) { return l1[a] < l1[b]; });
    for (size_t j = 0; static_cast<int64_t>(chosen[g].size()) < per_group; ++j) chosen[g].push_back(rest[j]);
    for (int64_t i : chosen[g]) out.append(i);
  }
  return out;
}

void load_imports(py::module_& m) {
  m.attr("contextmanager") = py::module_::import("contextlib").attr("contextmanager");
  m.attr("deepcopy") = py::module_::import("copy").attr("deepcopy");
  m.attr("tp") = py::module_::import("torch_surgery.dependency");
  m.attr("prune_function") = py::module_::import("torch_surgery.structured");
  m.attr("nn") = py::module_::import("torch.nn");
  import_names(m, "orrery.framework.graph.surgeon", {"GraphSurgeon"});
  import_names(m, "orrery.ologger", {"getLogger"});
  m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));

  // Plans start from the exact classes the layer kind table names, with the
  // function of the output side (the only side of a norm).
  py::dict table;
  py::object nn = m.attr("nn");
  py::object fns = m.attr("prune_function");
  for (const dep::LayerKind& row : dep::layer_kinds()) {
    const char* fn = row.prune_output != nullptr ? row.prune_output : row.prune_both;
    for (const char* cls : row.plan_origins) table[nn.attr(cls)] = fns.attr(fn);
  }
  // An LSQ convolution starts plans as the convolution it is; its per-channel
  // weight step shrinks with its output channels.
  import_names(m, "orrery.framework.quant_bridge", {"LSQConv2D"});
  table[m.attr("LSQConv2D")] = fns.attr("prune_conv");
  m.attr("prune_function_definition") = table;
}

// The generator behind cache_dg: builds and stores the graph on entry, drops
// it on a normal exit, and leaves it in place when an exception ends the block.
void make_cache_block(py::module_& m) {
  ClassBuilder cls(m, "_DependencyGraphCache", {py::module_::import("builtins").attr("object")});
  cls.method("__init__", [](py::object self, py::object surgeon) {
    self.attr("surgeon") = surgeon;
    self.attr("stage") = 0;
  }, py::arg("surgeon"));
  cls.method("__iter__", [](py::object self) { return self; });
  cls.method("__next__", [m](py::object self) -> py::object {
    const int stage = self.attr("stage").cast<int>();
    py::object surgeon = self.attr("surgeon");
    if (stage == 0) {
      self.attr("stage") = 1;
      m.attr("logger").attr("debug")("Caching dependency graph");
      py::setattr(surgeon, kCachedDg, surgeon.attr("make_dg")());
      return surgeon;
    }
    if (stage == 1) {
      self.attr("stage") = 2;
      m.attr("logger").attr("debug")("Releasing dependency graph cache");
      py::setattr(surgeon, kCachedDg, py::none());
    }
    throw py::stop_iteration();
  });
  cls.method("throw", [](py::object self, py::object type, py::object value, py::object tb) -> py::object {
    self.attr("stage") = 2;
    if (value.is_none()) value = type();
    if (!tb.is_none()) value = value.attr("with_traceback")(tb);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
    throw py::error_already_set();
  }, py::arg("type"), py::arg("value") = py::none(), py::arg("traceback") = py::none());
  cls.method("close", [](py::object self) { self.attr("stage") = 2; });
  cls.build();
}

// A module whose channels sit in groups (a grouped convolution, a group norm)
// that would lose the requested channels unevenly over its groups refuses the
// plan; when it loses exactly the requested indices, returns a request with as
// many channels from every group (noting it in `outcome`), else None.
py::object rebalance_groups(const py::module_& m, const py::object& layer, const py::object& native,
                            const py::object& plan, const py::object& idxs, Outcome& outcome) {
  py::list requested = py::module_::import("builtins").attr("sorted")(idxs);
  const std::vector<int64_t> wanted = requested.cast<std::vector<int64_t>>();
  py::object related = m.attr("prune_function").attr("prune_related_conv");
  for (py::handle entry : plan.attr("plan")) {
    py::object dependency = entry[py::int_(0)];
    py::object module = dependency.attr("broken_node").attr("module");
    const dep::LayerKind* row = orrery::bind::kind_of(module);
    if (row == nullptr || row->groups_size == nullptr || dependency.attr("handler").is_none() ||
        !py::list(entry[py::int_(1)]).equal(requested))
      continue;
    const dep::ModuleSizes sizes = orrery::bind::layer_sizes(module, *row);
    if (sizes.groups <= 1 || (row->kind == dep::ModuleKind::Conv && dep::sides_tied(row->kind, sizes))) continue;
    const int64_t size = py::object(dependency.attr("handler")).is(related) ? sizes.in : sizes.out;
    if (dep::group_loss(size, sizes.groups, wanted, row->whole_groups_may_go).equal) continue;
    py::list balanced = balanced_request(native, idxs, sizes.groups, size / sizes.groups);
    if (py::len(balanced) == 0) return py::none();
    // The channels removed are no longer exactly those asked for: say so.
    m.attr("logger").attr("warning")(
        py::str("Pruning the requested channels of {} would leave the {} groups of {} unequal; "
                "pruning {} channels from every group instead (requested ones first, then the "
                "lowest-L1)")
            .format(layer, sizes.groups, module, py::len(balanced) / sizes.groups));
    outcome.note("rebalanced to " + std::to_string(py::len(balanced) / sizes.groups) +
                 " channels per group of " + text_of(module));
    return std::move(balanced);
  }
  return py::none();
}

// What an executed plan removed: each changed module's qualified name in
// `root` and the most channels one of its steps took.
py::dict channels_removed(const py::object& root, const py::object& plan) {
  py::dict removed;
  py::dict names = orrery::bind::qualified_names(root);
  py::object id = py::module_::import("builtins").attr("id");
  for (py::handle entry : plan.attr("plan")) {
    py::object module = entry[py::int_(0)].attr("broken_node").attr("module");
    py::object key = id(module);
    py::object name = names.contains(key) ? py::object(names[key]) : py::object(py::repr(module));
    const int64_t lost = py::len(entry[py::int_(1)]);
    if (!removed.contains(name) || removed[name].cast<int64_t>() < lost) removed[name] = lost;
  }
  return removed;
}

// "TypeName: message" of an exception object.
std::string error_text(const py::handle& error) {
  return text_of(py::type::of(error).attr("__name__")) + ": " + text_of(error);
}

// The structured function a plan starts with for the layer's native module;
// a KeyError that says which classes plans start from for any other.
py::object origin_function(const py::module_& m, const py::object& native) {
  py::object table = m.attr("prune_function_definition");
  if (table.contains(py::type::of(native))) return table[py::type::of(native)];
  std::string classes;
  for (py::handle cls : table) classes += (classes.empty() ? "" : ", ") + text_of(cls.attr("__name__"));
  // Still a KeyError for callers that catch one, but one that says why.
  std::string message = "TorchGraphSurgeon cannot start a pruning plan from a " +
                        text_of(py::type::of(native).attr("__name__")) + " layer; plans start from " +
                        classes + " layers (coupled layers of other kinds follow along)";
  PyErr_SetObject(PyExc_KeyError, py::str(message).ptr());
  throw py::error_already_set();
}

// Screens a plan before it runs: a convolution it would empty asks for fewer
// channels (returns the smaller request), a reshape it crosses cancels it when
// the surgeon drops view ops (returns the empty list). None: run the plan.
py::object screen_plan(const py::module_& m, const py::object& self, const py::object& plan,
                       const py::object& idxs, Outcome& outcome) {
  py::object logger = m.attr("logger");
  const int64_t n = py::len(idxs);
  py::object convs = orrery::bind::kind_class(dep::layer_kind(dep::ModuleKind::Conv));
  py::object fns = m.attr("prune_function");
  py::object inbound_fn = fns.attr("prune_related_conv");
  py::object outbound_fn = fns.attr("prune_conv");
  const bool drop_view_op = py::bool_(self.attr("drop_view_op"));
  py::object view_op_cls = m.attr("tp").attr("_ViewOP");
  for (py::handle entry : plan.attr("plan")) {
    py::object dependency = entry[py::int_(0)];
    py::object module = dependency.attr("broken_node").attr("module");
    if (py::isinstance(module, convs)) {
      // The step's function says which side loses channels.
      py::object handler = dependency.attr("handler");
      const bool inbound = handler.is(inbound_fn);
      if (!inbound && !handler.is(outbound_fn)) continue;
      const int64_t available = module.attr(inbound ? "in_channels" : "out_channels").cast<int64_t>();
      if (available > n) continue;
      logger.attr("warning")(std::string(py::str("Pruning wants to remove {} filters ({}) from {}, ")
                                             .format(n, inbound ? "inbound" : "outbound", module)) +
                             "trying to reduce pruned filters.");
      py::list fewer = py::module_::import("builtins").attr("sorted")(idxs);
      outcome.note("trimmed to " + std::to_string(available - 1) + " channels: " + text_of(module) + " has " +
                   std::to_string(available) + " " + (inbound ? "input" : "output") + " channels");
      return fewer[py::slice(0, available - 1, 1)];
    } else if (drop_view_op && py::isinstance(module, view_op_cls)) {
      logger.attr("debug")("Detected a ViewOP, cancelling this pruning operation");
      outcome.status = "cancelled";
      outcome.note("the plan crosses the view operation " + text_of(py::repr(module)) +
                   "; make the surgeon with drop_view_op=False to prune through it");
      return py::list();
    }
  }
  return py::none();
}

// Runs the plan. A failure is logged as a warning, not raised: the plan has
// put back every module it changed, and the layer's own module is put back
// from its snapshot too, in place, so the wrapper keeps referring to the
// module that lives in the model.
void execute_plan(const py::module_& m, const py::object& self, const py::object& layer, const py::object& plan,
                  Outcome& outcome, size_t n) {
  py::object refusal = py::none();
  for (py::handle entry : plan.attr("plan")) {
    refusal = py::getattr(entry[py::int_(0)], "reason", py::none());
    if (!refusal.is_none()) break;
  }
  // A refused plan changes nothing, and the log says so rather than announcing a pruning.
  if (refusal.is_none()) m.attr("logger").attr("debug")(py::str("Pruning {} channels from {}").format(n, layer));
  orrery::bind::Rollback rollback;
  rollback.keep(layer.attr("native_layer"));
  try {
    plan.attr("exec")();
    outcome.removed = channels_removed(self.attr("model").attr("native_model"), plan);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    outcome.status = refusal.is_none() ? "failed" : "refused";
    outcome.note(refusal.is_none() ? error_text(e.value()) : text_of(refusal));
    // A refusal without a message is named by its type, so the warning always says what failed.
    py::object what = e.value();
    if (py::str(what).attr("__len__")().cast<size_t>() == 0) what = py::type::of(what).attr("__name__");
    m.attr("logger").attr("warning")(
        py::str("ERROR - Aborting pruning operation, exception raised in pruning package:\n'{}'").format(what));
    rollback.restore();
  }
}

py::object prune_channels(const py::module_& m, py::object self, py::object layer, py::object idxs,
                          Outcome& outcome, bool rebalanced = false) {
  py::object logger = m.attr("logger");
  if (py::object(layer.attr("model")).not_equal(self.attr("model"))) {
    throw std::runtime_error(
        "Trying to prune a layer with a GraphSurgeon instantiated with an unrelated model");
  }
  const size_t n = py::len(idxs);
  if (n == 0) {
    logger.attr("debug")(py::str("Empty pruning on {}, no operation done").format(layer));
    if (outcome.status == "pruned") outcome.status = "empty";
    return layer;
  }
  py::object graph = self.attr("make_dg")();
  py::object native = layer.attr("native_layer");
  py::object prune_fn = origin_function(m, native);
  py::object plan = graph.attr("get_pruning_plan")(native, prune_fn, py::arg("idxs") = idxs);
  if (!rebalanced) {
    py::object retry = rebalance_groups(m, layer, native, plan, idxs, outcome);
    if (!retry.is_none()) return prune_channels(m, self, layer, retry, outcome, true);
  }
  py::object screened = screen_plan(m, self, plan, idxs, outcome);
  if (!screened.is_none()) {
    if (outcome.status == "cancelled") return layer;
    return prune_channels(m, self, layer, screened, outcome, rebalanced);
  }
  execute_plan(m, self, layer, plan, outcome, n);
  return layer;
}

// Runs the model once on the example inputs, so that inputs it cannot take
// are refused when the surgeon is made, not at the first plan.
void check_example_inputs(const py::object& model, const py::object& model_args) {
  if (!py::hasattr(model, "native_model")) {
    throw py::type_error("TorchGraphSurgeon expects a framework model (framework.mdl_cls(module)), "
                         "got " + text_of(py::type::of(model).attr("__name__")));
  }
  py::object native = model.attr("native_model");
  py::tuple inputs = py::isinstance<py::tuple>(model_args) || py::isinstance<py::list>(model_args)
                         ? py::tuple(model_args)
                         : py::make_tuple(model_args);
  try {
    orrery::bind::EvalModeGuard eval_mode(native);
    torch::NoGradGuard no_grad;
    native(*inputs);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::object error = e.value();
    py::object failure = py::module_::import("builtins").attr("ValueError")(
        "TorchGraphSurgeon: the example inputs do not run through the model (" +
        text_of(py::type::of(error).attr("__name__")) + ": " + text_of(error) +
        "); pass inputs the model accepts, shaped as in training (for example "
        "torch.randn(1, 3, 224, 224)), or a tuple of them for several inputs");
    PyException_SetCause(failure.ptr(), error.release().ptr());
    PyErr_SetObject(PyExc_ValueError, failure.ptr());
    throw py::error_already_set();
  }
}

py::object record_call(const py::module_& m, py::object self, py::object layer, py::object idxs) {
  Outcome outcome;
  py::object requested = py::int_(0);
  try {
    requested = py::int_(py::len(idxs));
  } catch (py::error_already_set&) {
    PyErr_Clear();
  }
  auto append = [&] {
    self.attr("records").attr("append")(m.attr("PruningRecord")(
        layer_name(self, layer), requested, outcome.removed, outcome.status,
        outcome.reason.empty() ? py::object(py::none()) : py::object(py::str(outcome.reason))));
  };
  // A call that raises is recorded as refused, then the error goes on.
  auto refused = [&](std::string reason) {
    outcome.status = "refused";
    outcome.removed = py::dict();
    outcome.reason = std::move(reason);
    append();
  };
  try {
    py::object result = prune_channels(m, self, layer, idxs, outcome);
    append();
    return result;
  } catch (py::error_already_set& e) {
    refused(error_text(e.value()));
    throw;
  } catch (const std::exception& e) {
    refused(e.what());
    throw;
  }
}

std::string report(const py::object& self) {
  py::list records = self.attr("records");
  if (py::len(records) == 0) return "no pruning yet";
  std::vector<std::vector<std::string>> rows = {
      {"layer", "requested", "removed", "modules", "status", "reason"}};
  int64_t pruned = 0, channels = 0;
  for (py::handle record : records) {
    py::dict removed = record.attr("removed");
    py::object name = record.attr("layer");
    const std::string own = removed.contains(name) ? text_of(removed[name]) : "0";
    py::object reason = record.attr("reason");
    rows.push_back({text_of(name), text_of(record.attr("requested")), own,
                    std::to_string(py::len(removed)), text_of(record.attr("status")),
                    reason.is_none() ? "" : text_of(reason)});
    if (text_of(record.attr("status")) == "pruned") {
      ++pruned;
      if (removed.contains(name)) channels += removed[name].cast<int64_t>();
    }
  }
  std::vector<size_t> widths(5, 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < 5; ++i) widths[i] = std::max(widths[i], row[i].size());
  std::string text;
  for (const auto& row : rows) {
    for (size_t i = 0; i < 5; ++i) {
      const bool numeric = i >= 1 && i <= 3;
      const std::string pad(widths[i] - row[i].size(), ' ');
      text += numeric ? pad + row[i] : row[i] + pad;
      text += "  ";
    }
    text += row[5];
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += "\n";
  }
  return text + std::to_string(py::len(records)) + " calls, " + std::to_string(pruned) +
         " pruned, " + std::to_string(channels) + " channels removed from the layers asked";
}

void make_surgeon(py::module_& m) {
  py::object record_cls = py::module_::import("collections").attr("namedtuple")(
      "PruningRecord", py::make_tuple("layer", "requested", "removed", "status", "reason"),
      py::arg("module") = m.attr("__name__"));
  record_cls.attr("__doc__") =
      "What one prune_channels call did: `layer` (the layer's qualified name), `requested` "
      "(channels asked for), `removed` ({qualified module name: channels it lost}), `status` "
      "(\"pruned\", \"empty\", \"cancelled\", \"refused\" or \"failed\") and `reason` (why, "
      "or None).";
  m.attr("PruningRecord") = record_cls;

  ClassBuilder cls(m, "TorchGraphSurgeon", {m.attr("GraphSurgeon")},
                   "Channel pruning across a whole PyTorch model: removes channels of one layer "
                   "together with every channel coupled to them elsewhere in the network, found "
                   "through a dependency graph of the traced network. Made with the framework "
                   "model and its example inputs; cache_dg() lets a series of prunings share one "
                   "trace; `records` and report() say what each prune_channels call did.");
  auto self_cls = cls.ref();
  cls.method(
      "__init__",
      [self_cls](py::object self, py::args args, py::object drop_view_op) {
        if (py::len(args) >= 2) check_example_inputs(args[0], args[1]);
        self_cls.super(self).attr("__init__")(*args);
        py::setattr(self, kCachedDg, py::none());
        self.attr("drop_view_op") = drop_view_op;
        self.attr("records") = py::list();
      },
      py::arg("drop_view_op") = true,
      "Passes the positional arguments (the framework model and its example inputs) to the core's "
      "GraphSurgeon; `drop_view_op`, keyword-only, cancels plans that reach a reshape of the "
      "channels when true.");
  cls.method("report", [](py::object self) { return report(self); },
             "Returns the surgeon's records as a short text table, one line per "
             "prune_channels call (layer, channels requested, channels it lost, modules "
             "changed, status, reason), with a summary line.");
  py::cpp_function cache_fn(
      [m](py::object self) { return m.attr("_DependencyGraphCache")(self); }, py::name("cache_dg"),
      py::scope(m), py::arg("self"),
      "Context manager that builds the dependency graph once, on entry, and lets every "
      "prune_channels call inside the block reuse it instead of tracing the model again; "
      "`with surgeon.cache_dg() as s` binds the surgeon itself. A normal exit drops the "
      "cached graph; an exception leaving the block leaves it in place. Errors of tracing "
      "the model propagate on entry.");
  cls.attr("cache_dg", m.attr("contextmanager")(
                           orrery::bind::with_signature(m, cache_fn, "TorchGraphSurgeon.cache_dg")));
  cls.method("make_dg", [m](py::object self) -> py::object {
    py::object cached = self.attr(kCachedDg);
    if (!cached.is_none()) return cached;
    py::object tp = m.attr("tp");
    py::object graph = tp.attr("DependencyGraph")();
    graph.attr("build_dependency")(self.attr("model").attr("native_model"),
                                   py::arg("example_inputs") = self.attr("model_args"));
    return graph;
  },
             "The dependency graph of the model's network: the cached one inside a cache_dg() "
             "block, otherwise a new one traced on the example inputs (not kept). Raises what "
             "tracing raises.");
  cls.method(
      "prune_channels",
      [m](py::object self, py::object layer, py::object idxs) {
        return record_call(m, self, layer, idxs);
      },
      py::arg("layer"), py::arg("idxs"),
      "Removes the output channels `idxs` (a list of indices) of the framework layer `layer` and "
      "every channel coupled to them, in place, and returns `layer`. A plan that would empty a "
      "convolution is retried with fewer, lowest indices; one that would leave a grouped "
      "convolution's groups unequal is retried with as many channels from every group; one that "
      "reaches a reshape is cancelled when drop_view_op is set. A plan that fails while it runs "
      "is logged as a warning and undone. Raises RuntimeError when `layer` belongs to another "
      "model and KeyError when its native layer is not a Conv2d, ConvTranspose2d, Linear or "
      "BatchNorm2d, both before anything changes.");
  cls.build();
}

}  // namespace

PYBIND11_MODULE(surgeon_bridge, m) {
  load_imports(m);
  make_cache_block(m);
  make_surgeon(m);
}
