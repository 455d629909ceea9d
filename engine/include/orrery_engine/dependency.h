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
#include <vector>

namespace orrery::dependency {

// Parameter: a per-channel tensor attribute (a parameter or buffer) that the
// model combines with its activations element-wise, such as a layer scale or
// a bias added by hand; it loses channels along `dim`.
enum class ModuleKind { Conv, Linear, BatchNorm, PReLU, LayerNorm, Parameter };

struct ModuleInfo {
  std::string path;  // attribute path from the traced root, e.g. "layer1.0.conv1"
  ModuleKind kind;
  int64_t dim = -1;  // Parameter: the dimension that holds the channels
};

// The size attributes of a module as they are now. Conv: in_channels,
// out_channels, groups; Linear: in_features, out_features; BatchNorm: out =
// num_features; PReLU: out = num_parameters.
struct ModuleSizes {
  int64_t in = 0;
  int64_t out = 0;
  int64_t groups = 1;
};

enum class Action {
  PruneConv,
  PruneRelatedConv,
  PruneLinear,
  PruneRelatedLinear,
  PruneBatchnorm,
  PruneGroupConv,
  PrunePrelu,
  PruneLayernorm,
  PruneParameter,  // a tensor attribute loses slices along ModuleInfo::dim
  View,    // the channels cross a flatten/view/reshape; nothing to change there
  Refuse,  // the channels reach something that cannot lose them
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

// Which side of the module the requested indices number.
enum class Role { Output, Input };

struct ViewOpInfo {
  std::string kind;         // e.g. "aten::flatten"
  std::string description;  // input and output shapes at trace time
};

// Shapes of the model's parameters and buffers by attribute path; a trace
// records none for the tensors it reads from the model.
using AttributeShapes = std::unordered_map<std::string, std::vector<int64_t>>;

class ChannelGraph {
 public:
  explicit ChannelGraph(const torch::jit::Graph& graph, const AttributeShapes& attribute_shapes = {});
  ~ChannelGraph();
  ChannelGraph(ChannelGraph&&) noexcept;
  ChannelGraph& operator=(ChannelGraph&&) noexcept;

  const std::vector<ModuleInfo>& modules() const;
  const std::vector<ViewOpInfo>& view_ops() const;

  // The steps that remove channels `idxs` from `module` on the side `role`
  // together with every coupled channel elsewhere. `sizes` holds the current
  // sizes of every module, aligned with modules(). The origin's own step comes
  // first; Refuse steps say why the plan must not run. Raises c10::ValueError
  // for indices outside the module's current size.
  std::vector<Step> plan(int64_t module, Role role, const std::vector<int64_t>& idxs,
                         const std::vector<ModuleSizes>& sizes) const;

  // The graph as text, for debugging: modules, values (trace-time shape,
  // channel dimension, origin) and operations with their ports.
  void dump(std::ostream& os) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

std::ostream& operator<<(std::ostream& os, const ChannelGraph& graph);

}  // namespace orrery::dependency
