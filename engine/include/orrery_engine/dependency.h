// Channel dependencies of a traced model: which channels of which modules must
// go when some channels of one module go.
//
// The graph is analysed once from a TorchScript trace (inlined, with the shapes
// the trace recorded). Channel counts and concatenation offsets are not frozen
// at that point: every plan is computed against the module sizes the caller
// reads at that moment, so one graph serves a model that keeps shrinking.
#pragma once

#include <torch/csrc/jit/ir/ir.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "orrery_engine/layer_kinds.h"

namespace orrery::dependency {

struct ModuleInfo {
  std::string path;  // attribute path from the traced root, e.g. "layer1.0.conv1"
  ModuleKind kind;
  int64_t dim = -1;  // Parameter: the dimension that holds the channels
};

// What a plan step does: a module of some kind loses channels on one side,
// the channels cross a view op (nothing to change there), or the plan is
// refused because the channels reach something that cannot lose them.
struct Action {
  enum class Type { Prune, View, Refuse };
  Type type = Type::Refuse;
  ModuleKind kind = ModuleKind::Conv;  // Prune only
  Side side = Side::Output;            // Prune only

  static constexpr Action prune(ModuleKind k, Side s) { return {Type::Prune, k, s}; }

  // The steps by the name of the function each applies.
  static const Action PruneConv, PruneRelatedConv, PruneGroupConv, PruneLinear, PruneRelatedLinear,
      PruneBatchnorm, PrunePrelu, PruneLayernorm, PruneGroupnorm, PruneParameter, View, Refuse;

  bool is_prune() const { return type == Type::Prune; }
  friend bool operator==(const Action& a, const Action& b) {
    return a.type == b.type && (a.type != Type::Prune || (a.kind == b.kind && a.side == b.side));
  }
  friend bool operator!=(const Action& a, const Action& b) { return !(a == b); }
  friend bool operator<(const Action& a, const Action& b);
};

// The structured pruning function an action applies ("view"/"refuse" otherwise).
const char* action_name(Action action);

struct Step {
  Action action;
  int64_t module = -1;         // index into modules(), for module actions and some refusals
  int64_t view = -1;           // index into view_ops(), for View steps
  std::vector<int64_t> idxs;   // ascending, in the module's (or view input's) channel numbering
  std::string reason;          // Refuse: what could not be pruned and why
};

// Which side of the module the requested indices number (older name).
using Role = Side;

struct ViewOpInfo {
  std::string kind;         // e.g. "aten::flatten"
  std::string description;  // input and output shapes at trace time
};

// What the trace cannot show about the live model, gathered by whoever holds
// the model and judged when a plan is made.
struct ModuleFacts {
  std::string type_name;               // the module's class, for messages
  std::vector<int64_t> same_object;    // other entries of modules() that are this very module
  bool owned_by_layer = false;         // Parameter: its owner is itself a prunable layer
  // (parameter name, qualified name of another module that holds the same parameter)
  std::vector<std::pair<std::string, std::string>> tied;
};

// A prunable layer of the model that no trace shows running.
struct UntracedModule {
  std::string path;
  std::string type_name;
  int64_t in_width = -1;   // the channels it reads
  int64_t out_width = -1;  // the channels it produces
};

struct ModelFacts {
  std::vector<ModuleFacts> modules;  // aligned with modules(), or empty
  std::vector<UntracedModule> untraced;
};

// Shapes of the model's parameters and buffers by attribute path; a trace
// records none for the tensors it reads from the model.
using AttributeShapes = std::unordered_map<std::string, std::vector<int64_t>>;

class ChannelGraph {
 public:
  explicit ChannelGraph(const torch::jit::Graph& graph, const AttributeShapes& attribute_shapes = {});
  // One graph over several traces of the same model (in training and in
  // evaluation mode, where its modules differ between them): a module called
  // in more than one is one module, and a plan changes it everywhere.
  ChannelGraph(const std::vector<const torch::jit::Graph*>& traces, const AttributeShapes& attribute_shapes);
  ~ChannelGraph();
  ChannelGraph(ChannelGraph&&) noexcept;
  ChannelGraph& operator=(ChannelGraph&&) noexcept;

  const std::vector<ModuleInfo>& modules() const;
  const std::vector<ViewOpInfo>& view_ops() const;
  // The path of every module whose parameters or buffers a trace reads, in
  // the order first read, each once: modules that ran, whether or not the
  // graph follows channels through them.
  const std::vector<std::string>& modules_that_ran() const;
  // The path of every parameter or buffer a trace reads, each once.
  const std::vector<std::string>& attributes_read() const;

  // The steps that remove channels `idxs` from `module` on the side `side`
  // together with every coupled channel elsewhere. `sizes` holds the current
  // sizes of every module, aligned with modules(); `facts` what the trace
  // cannot show about the live model. The origin's own step comes first;
  // Refuse steps, gathered at the head of the plan, say why the plan must not
  // run. Raises c10::ValueError for indices outside the module's current size
  // or a side the module does not have.
  std::vector<Step> plan(int64_t module, Side side, const std::vector<int64_t>& idxs,
                         const std::vector<ModuleSizes>& sizes, const ModelFacts& facts = {}) const;

  // The graph as text, for debugging: modules, values (trace-time shape,
  // channel dimension, origin) and operations with their ports.
  void dump(std::ostream& os) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

std::ostream& operator<<(std::ostream& os, const ChannelGraph& graph);

}  // namespace orrery::dependency
