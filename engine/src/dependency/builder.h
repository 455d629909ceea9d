// The builder's own declarations, shared by its files:
//   builder.cpp          the walk over the trace and the building blocks
//                        (values, modules, refusals, channel-preserving ops),
//   operator_table.cpp   the operator families and the check of a node's
//                        schema against the arguments its handler reads,
//   handlers_modules.cpp handlers of the IR's own nodes and of layer calls,
//   handlers_shapes.cpp  handlers of reshaping, reducing, joining and splitting,
//   handlers_channels.cpp handlers of slicing, padding and regrouping the
//                        channels, and of size-1 dimensions inserted or dropped,
//   shuffle_pass.cpp     finds channel shuffles before the walk.
// Nothing here outlives the build: it all holds pointers into the trace.
#pragma once

#include <torch/csrc/jit/ir/ir.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.h"

namespace orrery::dependency::detail {

namespace jit = torch::jit;

// ---- reading the trace ----------------------------------------------------

c10::optional<int64_t> const_int(const jit::Value* v);
c10::optional<std::vector<int64_t>> const_int_list(const jit::Value* v);
// A dimension argument counted from the end, as PyTorch allows, made positive.
inline int64_t wrap_dim(int64_t d, int64_t rank) { return d < 0 ? d + rank : d; }
bool is_tensor(const jit::Value* v);
// The shape the trace recorded for a tensor, if it recorded one.
c10::optional<std::vector<int64_t>> traced_shape(const jit::Value* v);
// The size a view, reshape or unflatten gives dimension `d` when the model's
// code fixes it as a number: neither -1 nor computed from a tensor's size at
// run time.
c10::optional<int64_t> literal_size(const jit::Node* node, size_t d);

// ---- the operator table ---------------------------------------------------

// What a handler needs an argument to be. Optional types count as their
// element (`Tensor?` is a Tensor): handlers check for None themselves.
enum class ArgKind { Tensor, TensorList, Int, IntList, Bool, Any };

struct Argument {
  const char* name;  // the schema's name for it; nullptr: any name
  ArgKind kind;      // Any: a position the handler skips
};

// What a schema may have after the arguments a family lists.
enum class Rest {
  None,     // nothing: the listed arguments are all of them
  Options,  // settings that leave the channels alone: no tensor among them
  Any,      // anything (a handler that reads every tensor input itself)
};

// What the overload must return first.
enum class Result { Tensor, TensorList, NoTensor, Any };

struct Signature {
  std::vector<Argument> args;  // the leading arguments, by position
  Rest rest = Rest::None;
  Result result = Result::Tensor;
  bool structural = false;  // a node of the IR itself (prim::), without a schema
};

class Builder;
using Handler = void (Builder::*)(const jit::Node*);

// Operators that behave alike, the method that turns one node of them into
// channel-graph operations, and the arguments that method reads.
struct OperatorFamily {
  std::vector<c10::Symbol> kinds;
  Handler handle;
  Signature signature;
};

// The family of an operator, or nullptr when the graph does not know it.
const OperatorFamily* find_family(c10::Symbol kind);
// Why the node's overload is not the one `signature` describes, as the text of
// a refusal ("operation aten::view.dtype is an overload ..."); "" when it is.
std::string signature_mismatch(const jit::Node* node, const Signature& signature);
// Whether `node` belongs to the family of `handler` and its overload matches.
bool read_by(const jit::Node* node, Handler handler);

// ---- channel shuffles -----------------------------------------------------

// view(.., major, minor, ..) -> transpose(major, minor) -> [contiguous] ->
// view back, found before the walk (also spelt with unflatten, permute and
// flatten). The walk emits `op` (a Shuffle, or a
// Refuse when the group sizes cannot follow a change of width) in place of
// the chain when the channels lie along `dim` of `in`; otherwise the chain
// moves another dimension and its nodes are read one by one.
struct ShuffleChain {
  const jit::Value* in = nullptr;
  const jit::Value* out = nullptr;
  int64_t dim = -1;                    // the dimension split into groups
  std::vector<const jit::Node*> rest;  // the nodes after the first, read as part of it
  Op op{OpKind::Shuffle};              // ports left empty
};

// The chains of `trace`, by their first node.
std::unordered_map<const jit::Node*, ShuffleChain> find_channel_shuffles(const jit::Graph& trace);

// ---- the builder ----------------------------------------------------------

class Builder {
 public:
  Builder(ChannelGraph::Impl& graph, const AttributeShapes& shapes) : g(graph), attribute_shapes(shapes) {}

  // Reads one trace; a graph may read several traces of one model before
  // finish() judges what they share.
  void read(const jit::Graph& trace);
  void finish();

  // Handlers, one per operator family (see operator_table.cpp). Each may rely
  // on the node's overload matching its family's signature.
  void get_attr(const jit::Node* node);
  void constant(const jit::Node* node);
  void pack(const jit::Node* node);
  void list_unpack(const jit::Node* node);
  void tuple_unpack(const jit::Node* node);
  void reads_sizes(const jit::Node* node);
  void conv(const jit::Node* node);
  void linear(const jit::Node* node);
  void prelu(const jit::Node* node);
  void batch_norm(const jit::Node* node);
  void layer_norm(const jit::Node* node);
  void group_norm(const jit::Node* node);
  void permute(const jit::Node* node);
  void transpose(const jit::Node* node);
  void same(const jit::Node* node);
  void softmax(const jit::Node* node);
  void reduction(const jit::Node* node);
  void cat(const jit::Node* node);
  void split(const jit::Node* node);
  void chunk(const jit::Node* node);
  void view(const jit::Node* node);
  void slice(const jit::Node* node);
  void narrow(const jit::Node* node);
  void pad(const jit::Node* node);
  void pixel_shuffle(const jit::Node* node);
  void channel_shuffle(const jit::Node* node);
  void unit_dims(const jit::Node* node);
  void lsq_quantize(const jit::Node* node);

 private:
  // A value computed from a tensor attribute or constant whose channels are
  // not known yet, by inserting or dropping size-1 dimensions (or an identity
  // slice): where it is adopted along a dimension, its source is adopted
  // along the matching one and the two are joined.
  struct Derived {
    int source;
    std::vector<int64_t> dims;  // per dimension of the value, the source's dimension; -1: none
  };
  void visit(const jit::Node* node);
  bool emit_shuffle(const ShuffleChain& chain);
  int value_id(const jit::Value* v);
  int64_t rank(int v) const { return static_cast<int64_t>(g.values[v].shape.size()); }
  int module_id(const std::string& path, ModuleKind kind);
  std::string owner_path(const jit::Value* param) const;
  std::string computed_from(const jit::Value* v) const;
  bool layer_weight_step(const std::string& layer, const jit::Value* step) const;
  // An op whose tensors must keep every channel: "operation <kind> <why>",
  // naming the module the node sits in. With `module`, the refused node is a
  // call of that module, so a plan rooted at it is refused for this reason.
  void refuse(const jit::Node* node, const std::string& why, int module = -1);
  void refuse_as(const jit::Node* node, std::string what, int module = -1);
  void refuse_control_flow(const jit::Node* node);
  void add_module_op(const jit::Node* node, OpKind kind, ModuleKind mkind, const jit::Value* data,
                     const jit::Value* param);
  void add_same(const jit::Node* node, bool first_input_must_couple);
  void refuse_broadcast_channels(const jit::Node* node, int v);
  void moved_channels(const jit::Node* node, int in, int64_t cdim);
  void pieces(const jit::Node* node, bool equal_pieces);
  bool adopt(int v, int64_t dim);
  bool adopt_derived(int v, int64_t dim);
  void refuse_half_coupled_attributes();
  // handlers_channels.cpp
  bool derives(const jit::Node* node) const;
  void derive(const jit::Node* node, std::vector<int64_t> dims);
  void derive_by_shapes(const jit::Node* node);
  bool moved_by_unit_dims(const jit::Node* node);
  void select(const jit::Node* node, int64_t dim, Op op);
  void add_view_op(const jit::Node* node, int64_t block, bool merges_blocks);
  void refuse_unfollowed_derivations();
  c10::optional<std::string> attribute_path(int v) const;

  ChannelGraph::Impl& g;
  const AttributeShapes& attribute_shapes;
  std::unordered_map<const jit::Value*, int> value_ids;
  std::unordered_map<const jit::Value*, std::string> attr_paths;  // submodule values -> path
  std::unordered_map<std::string, int> module_ids;
  std::unordered_map<const jit::Node*, ShuffleChain> shuffles;  // by their first node
  std::unordered_set<const jit::Node*> claimed_unpacks;  // judged by the op whose list they unpack
  std::unordered_set<const jit::Node*> claimed_nodes;    // part of a pattern read as one op
  // Tensor attributes read by the model: their reads (one value per GetAttr),
  // and the Parameter op of those whose channels are followed.
  std::unordered_map<int, std::string> attribute_of;  // value -> attribute path
  std::unordered_map<std::string, std::vector<int>> attribute_reads;
  std::unordered_map<std::string, int> attribute_ops;
  std::unordered_set<std::string> broadcast_attributes;  // read where they broadcast
  std::unordered_set<std::string> ran;                   // as g.ran, for lookups
  std::unordered_map<int, Derived> derived;             // by value
};

// " (in module 'layer1.0')" for a node the trace recorded inside a submodule,
// "" at the top level.
std::string where(const jit::Node* node);

}  // namespace orrery::dependency::detail
