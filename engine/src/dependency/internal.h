// Shared by the three parts of the dependency engine:
//   builder.cpp        reads a TorchScript trace into a ChannelGraph and is
//                      discarded afterwards (it alone sees the trace's nodes),
//                      with the other files of the builder (see builder.h),
//   channel_graph.cpp  the lasting graph: values, operations, modules,
//   planner.cpp        propagates removed channels through the graph,
//   policy.cpp         judges a finished plan against the module sizes and
//                      what the caller knows of the live model.
// The lasting graph refers to its parts by index only, so it outlives the
// trace it was built from.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "orrery_engine/dependency.h"

namespace orrery::dependency {
namespace detail {

// How an operation ties the channels of the tensors it touches.
enum class OpKind {
  Conv,       // ins[0] -> outs[0]; coupling depends on the groups at plan time
  Linear,     // ins[0] (if its features are the last dim) -> outs[0]
  Norm,       // batch or layer norm: all ports share channels; the module loses them too
  PReLU,      // as Norm when the module has one slope per channel
  Parameter,  // no inputs; outs are the reads of one per-channel tensor attribute
  Same,       // all ports share channels (activations, pooling, element-wise)
  Cat,        // outs[0] concatenates ins along the channel dim
  Split,      // ins[0] is cut into outs along the channel dim
  Flatten,    // each channel of ins[0] becomes `block` features of outs[0] (or, with
              // `merges_blocks`, each channel of outs[0] is a block of ins[0])
  Shuffle,    // outs[0] holds the channels of ins[0] interleaved (a channel shuffle)
  Slice,      // outs[0] holds the channels of ins[0] that bounds fixed in the code select
  Refuse,     // channels must not reach any port
};

const char* op_kind_name(OpKind kind);

struct Op {
  explicit Op(OpKind k, std::vector<int> i = {}, std::vector<int> o = {})
      : kind(k), ins(std::move(i)), outs(std::move(o)) {}
  OpKind kind;
  std::vector<int> ins, outs;  // value indices
  int module = -1;
  int view = -1;
  int64_t block = 1;
  int64_t chunks = 0;  // Split into equal pieces (chunk): their number; Shuffle: the groups
  // Shuffle: channel i * minor + j of ins[0] is channel j * major + i of outs[0].
  // The model's code fixes `chunks` as the major (or else the minor) factor.
  bool major_fixed = true;
  bool linear_input_ok = true;
  bool merges_blocks = false;  // Flatten: outs[0] has one channel per block of ins[0] (pixel_shuffle)
  // Slice: the bounds as the model's code gives them, read against the width
  // of ins[0] as aten::slice reads them; narrow (`length` >= 0) does not clamp.
  int64_t start = 0;
  int64_t stop = INT64_MAX;
  int64_t step = 1;
  int64_t length = -1;
  std::string what;    // Refuse: description; Slice: the operation, for refusals
};

// The channels [start, stop) by `step` that a Slice op selects from a tensor
// of `width` channels; none when the operation would fail at that width.
struct Selection {
  int64_t start = 0, stop = 0, step = 1;
  int64_t size() const { return stop > start ? (stop - start + step - 1) / step : 0; }
};
std::optional<Selection> select_channels(const Op& op, int64_t width);

struct ValueInfo {
  std::vector<int64_t> shape;  // at trace time
  bool shaped = false;         // whether the trace recorded the shape
  int64_t cdim = -1;           // the channel dimension, -1 when none is tracked
  int producer = -1;           // op index, -1 for sources
  std::string source = "a tensor whose origin is not traced";  // for values without an op
  std::vector<int> users;      // op indices where the value is an input port
  bool adopts_channels = false;  // an attribute or constant: cdim is set by its first use
  // The result of a refusal: cdim is a guess, which the first use may correct.
  // Every plan that reaches such a value is refused, so a wrong guess can
  // only add refusals.
  bool guessed = false;
};

std::string shape_text(const std::vector<int64_t>& shape);

}  // namespace detail

struct ChannelGraph::Impl {
  std::vector<ModuleInfo> modules;
  std::vector<ViewOpInfo> views;
  std::vector<detail::ValueInfo> values;
  std::vector<detail::Op> ops;               // in graph order: inputs before outputs
  std::vector<std::vector<int>> module_ops;  // per module, the ops that call it
  // Every module whose parameters or buffers some trace reads, by path: a
  // module that is not among them never ran.
  std::vector<std::string> ran;
  std::vector<std::string> read;  // every parameter or buffer some trace reads, by path, each once

  int add_value(detail::ValueInfo info);
  int add_module(ModuleInfo info);
  int add_op(detail::Op op);

  // Channel counts of every value under the current module sizes.
  std::vector<int64_t> channel_counts(const std::vector<ModuleSizes>& sizes) const;

  void dump(std::ostream& os) const;
};

namespace detail {

// Appends to a finished plan the refusals that judge it whole: a module it
// would empty, groups it would leave unequal, and what `facts` tell of the
// live model that the trace cannot show (policy.cpp).
void add_refusals(const ChannelGraph::Impl& graph, const std::vector<ModuleSizes>& sizes,
                  const ModelFacts& facts, std::vector<Step>& steps);

// Fills `graph` from inlined traces of one model (in training and in
// evaluation mode, say): a module called in several of them is one module,
// so a plan follows its channels through every trace.
void build(const std::vector<const torch::jit::Graph*>& traces, const AttributeShapes& attribute_shapes,
           ChannelGraph::Impl& graph);

}  // namespace detail
}  // namespace orrery::dependency
