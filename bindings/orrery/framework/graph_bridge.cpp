// orrery.framework.graph_bridge: the dataflow graph of a traced model.
//
// The model is traced with TorchScript and inlined here; the engine walks the
// graph and this module turns its result into the core's Node objects, bound
// to the modules whose weights they read.
#include <torch/csrc/jit/ir/ir.h>
#include <torch/csrc/jit/passes/inliner.h>
#include <torch/extension.h>

#include <utility>
#include <vector>

#include "class_builder.h"
#include "orrery_engine/graph_walk.h"
#include "orrery_engine/version.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

namespace {

constexpr const char* kTracingNote =
    "NOTE: Torch JIT Tracing Failed. Cannot perform Graph Parsing of the model. Check the I/O "
    "format here: https://pytorch.org/docs/stable/generated/torch.jit.trace.html";

[[noreturn]] void raise_runtime_error(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  throw py::error_already_set();
}

// The module that owns a weight, reached from the model by its dotted path.
py::object module_at(const py::object& model, const std::string& path) {
  py::object module = model;
  if (path.empty()) return module;
  size_t start = 0;
  while (true) {
    const size_t dot = path.find('.', start);
    module = py::getattr(module, py::str(path.substr(start, dot - start)));
    if (dot == std::string::npos) return module;
    start = dot + 1;
  }
}

class LoggingListener : public orrery::engine::GraphWalkListener {
 public:
  LoggingListener(py::object logger, py::object model)
      : logger_(std::move(logger)), model_(std::move(model)) {}

  void unconsumed_weight(const std::string& owner_path) override {
    py::object layer = module_at(model_, owner_path);
    py::str text = py::str("Picked up a 'weight' node of torch layer {} that is not consumed")
                       .format(layer);
    logger_.attr("warning")(text + py::str(" by a known operator"));
  }

  void unknown_case() override { logger_.attr("error")("Unknown case"); }

 private:
  py::object logger_;
  py::object model_;
};

// Every module's training flag, so that tracing in evaluation mode can give
// each module back exactly the mode it had (models may mix modes, e.g. a
// frozen batch norm kept in evaluation inside a training model).
std::vector<std::pair<py::object, py::object>> training_modes(const py::object& model) {
  std::vector<std::pair<py::object, py::object>> modes;
  for (py::handle module : model.attr("modules")())
    modes.emplace_back(py::reinterpret_borrow<py::object>(module), module.attr("training"));
  return modes;
}

void restore_training_modes(const std::vector<std::pair<py::object, py::object>>& modes) {
  for (const auto& entry : modes) entry.first.attr("training") = entry.second;
}

// Traces `model` in evaluation mode and inlines the trace.
std::shared_ptr<torch::jit::Graph> trace_inlined(const py::module_& m, const py::object& model,
                                                 const py::object& args) {
  const auto modes = training_modes(model);
  try {
    model.attr("train")(false);
    // Re-running the model to check the trace would cost several more
    // forward passes; the graph is read, not executed.
    // strict=False: models that return a dict, list or tuple of tensors
    // (segmentation heads) trace too; the walk starts from every tensor in it.
    py::object trace = m.attr("torch").attr("jit").attr("trace")(
        model, args, py::arg("check_trace") = false, py::arg("strict") = false);
    auto graph = trace.attr("graph").cast<std::shared_ptr<torch::jit::Graph>>();
    try {
      torch::jit::Inline(*graph);
    } catch (const c10::Error& e) {
      raise_runtime_error(e.what_without_backtrace());
    }
    restore_training_modes(modes);
    return graph;
  } catch (py::error_already_set& e) {
    // `e` holds the error, so restoring may run Python code first.
    restore_training_modes(modes);
    if (e.matches(PyExc_RuntimeError)) {
      py::object logger = m.attr("logger");
      logger.attr("info")(kTracingNote);
      logger.attr("warning")(py::str("torch.jit error {}").format(e.value()));
    }
    throw;
  } catch (...) {
    restore_training_modes(modes);
    throw;
  }
}

py::list parse_torch(const py::module_& m, const py::object& model, const py::object& args) {
  py::object logger = m.attr("logger");
  logger.attr("debug")("Parsing model torch graph");
  const auto graph = trace_inlined(m, model, args);

  LoggingListener listener(logger, model);
  orrery::engine::GraphWalk walk;
  try {
    walk = orrery::engine::walk_traced_graph(*graph, &listener);
  } catch (const c10::Error& e) {
    raise_runtime_error(e.what_without_backtrace());
  } catch (const py::error_already_set&) {
    throw;
  } catch (const std::exception& e) {
    raise_runtime_error(e.what());
  }

  py::object node_cls = m.attr("Node");
  std::vector<py::object> nodes;
  nodes.reserve(walk.nodes.size());
  for (const auto& walked : walk.nodes) {
    py::object layer =
        walked.consuming ? py::object(py::none()) : py::object(py::str(walked.op_name));
    py::int_ uid(walked.uid);
    py::object node = node_cls(layer, uid);
    // Nodes are looked up by uid and kept by native_depth: the two must agree.
    if (!py::object(node.attr("native_depth")).equal(uid)) {
      PyErr_SetString(PyExc_AssertionError,
                      "a graph node's native_depth must equal the uid it was created with");
      throw py::error_already_set();
    }
    nodes.push_back(std::move(node));
  }
  for (const auto& edge : walk.edges)
    nodes[edge.consumer].attr("add_input")(nodes[edge.producer]);
  for (size_t i = 0; i < walk.nodes.size(); ++i)
    if (walk.nodes[i].bound) nodes[i].attr("layer") = module_at(model, walk.nodes[i].owner_path);

  py::list result;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!walk.isolated_functional[i]) result.append(nodes[i]);
  return result;
}

void define_constants(py::module_& m) {
  m.attr("GETATTR_KIND") = py::str("prim::GetAttr");
  m.attr("PARAM_KIND") = py::str("prim::Param");
  py::list consuming;
  for (const auto& kind : orrery::engine::consuming_op_kinds()) consuming.append(kind);
  m.attr("CONSUMING_OP") = py::module_::import("builtins").attr("frozenset")(consuming);
  py::dict functional;
  for (const auto& entry : orrery::engine::functional_op_kinds())
    functional[py::str(entry.first)] = py::str(entry.second);
  m.attr("FUNCTIONAL_OP") = functional;
  py::object onnx = py::module_::import("torch.onnx");
  const auto version = m.attr("torch").attr("__version__").cast<std::string>();
  m.attr("ONNX_SET_TRAINING_FUNC") = orrery::engine::version_at_least(version, 1, 6)
                                         ? onnx.attr("select_model_mode_for_export")
                                         : onnx.attr("set_training");
}

}  // namespace

PYBIND11_MODULE(graph_bridge, m) {
  m.attr("torch") = py::module_::import("torch");
  import_names(m, "orrery.framework.graph.graph", {"ModelGraphParser", "Node"});
  import_names(m, "orrery.oexceptions", {"GraphParsingError"});
  import_names(m, "orrery.ologger", {"getLogger"});
  m.attr("logger") = m.attr("getLogger")(m.attr("__name__"));
  define_constants(m);

  ClassBuilder cls(m, "TorchGraphParser", {m.attr("ModelGraphParser")},
                   "The core's graph parser for PyTorch: traces a network with TorchScript and "
                   "turns the trace into the core's graph nodes, one per convolution, matrix "
                   "product, batch norm or addition, connected to the nearest such nodes upstream "
                   "and bound to the module whose weight each reads.");
  cls.method(
      "_parse",
      [m](py::object, py::object model, py::object args) -> py::object {
        try {
          model.attr("cpu")();
          return parse_torch(m, model, args);
        } catch (py::error_already_set& e) {
          if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt, SystemExit
          py::str message = py::str("Error was raised while parsing:\n{}").format(e.value());
          py::raise_from(e, m.attr("GraphParsingError").ptr(), message.cast<std::string>().c_str());
          throw py::error_already_set();
        } catch (const std::exception& e) {
          // C++ errors that never became Python exceptions (failed casts).
          py::object error = m.attr("GraphParsingError");
          PyErr_SetObject(error.ptr(), py::str(std::string("Error was raised while parsing:\n") +
                                               e.what()).ptr());
          throw py::error_already_set();
        }
      },
      py::arg("model"), py::arg("args"),
      "The graph nodes of the torch.nn.Module `model` traced on the example inputs `args` (on the "
      "CPU); moves the model to the CPU and leaves it there. Raises GraphParsingError, naming the "
      "error inside, for any failure.");
  cls.build();

  m.def(
      "_parse_torch_v_1_4",
      [m](py::object model, py::object args) { return parse_torch(m, model, args); },
      py::arg("model"), py::arg("args"),
      "The graph nodes of `model` traced on `args`, without moving the model or wrapping errors.");
}
