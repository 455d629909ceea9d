// Reads an inlined TorchScript trace into a ChannelGraph.
//
// Every operator the graph understands is one entry of the table in
// `operator_table()`: the symbols of an operator family and the handler that
// turns one node of that family into channel-graph operations. Nodes of any
// other kind that touch a tensor become refusals. The builder is the only part
// that holds pointers into the trace, and it is gone when the graph is built.
#include <c10/util/Exception.h>
#include <torch/csrc/jit/ir/constants.h>

#include <algorithm>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

namespace orrery::dependency::detail {
namespace {

namespace jit = torch::jit;

int64_t product(const std::vector<int64_t>& v, size_t from, size_t to) {
  int64_t p = 1;
  for (size_t i = from; i < to && i < v.size(); ++i) p *= v[i];
  return p;
}

c10::optional<int64_t> const_int(const jit::Value* v) {
  auto iv = jit::toIValue(v);
  if (iv && iv->isInt()) return iv->toInt();
  return c10::nullopt;
}

c10::optional<std::vector<int64_t>> const_int_list(const jit::Value* v) {
  if (v->node()->kind() == c10::prim::ListConstruct) {
    std::vector<int64_t> out;
    for (const jit::Value* in : v->node()->inputs()) {
      auto i = const_int(in);
      if (!i) return c10::nullopt;
      out.push_back(*i);
    }
    return out;
  }
  auto iv = jit::toIValue(v);
  if (iv && iv->isIntList()) return iv->toIntVector();
  if (iv && iv->isInt()) return std::vector<int64_t>{iv->toInt()};
  return c10::nullopt;
}

// A dimension argument counted from the end, as PyTorch allows, made positive.
int64_t wrap_dim(int64_t d, int64_t rank) { return d < 0 ? d + rank : d; }

bool is_tensor(const jit::Value* v) { return v->type()->cast<c10::TensorType>() != nullptr; }

bool touches_tensor(const jit::Node* node) {
  for (const jit::Value* in : node->inputs())
    if (is_tensor(in)) return true;
  return false;
}

class Builder {
 public:
  Builder(ChannelGraph::Impl& graph, const AttributeShapes& shapes) : g(graph), attribute_shapes(shapes) {}

  void build(const jit::Graph& trace);

  // ---- handlers, one per operator family (see operator_table) ----------
  void get_attr(const jit::Node* node);
  void constant(const jit::Node* node);
  void pack(const jit::Node* node);
  void list_unpack(const jit::Node* node);
  void module_call(const jit::Node* node, OpKind kind, ModuleKind mkind);
  void batch_norm(const jit::Node* node);
  void layer_norm(const jit::Node* node);
  void group_norm(const jit::Node* node);
  void permute(const jit::Node* node);
  void transpose(const jit::Node* node);
  void same(const jit::Node* node);
  void softmax(const jit::Node* node);
  void reduction(const jit::Node* node);
  void cat(const jit::Node* node);
  void split(const jit::Node* node, bool equal_pieces);
  void view(const jit::Node* node);
  bool channel_shuffle(const jit::Node* node);
  // An op whose tensors must keep every channel.
  void refuse(const jit::Node* node, const std::string& why);

 private:
  void visit(const jit::Node* node);
  int value_id(const jit::Value* v);
  int64_t rank(int v) const { return static_cast<int64_t>(g.values[v].shape.size()); }
  int module_id(const std::string& path, ModuleKind kind);
  std::string owner_path(const jit::Value* param) const;
  void add_module_op(const jit::Node* node, OpKind kind, ModuleKind mkind, const jit::Value* data,
                     const jit::Value* param);
  void add_same(const jit::Node* node, bool first_input_must_couple);
  void moved_channels(const jit::Node* node, int in, int64_t cdim);
  bool has_arguments(const jit::Node* node, size_t inputs);
  bool adopt(int v, int64_t dim);
  void refuse_half_coupled_attributes();

  ChannelGraph::Impl& g;
  const AttributeShapes& attribute_shapes;
  std::unordered_map<const jit::Value*, int> value_ids;
  std::unordered_map<const jit::Value*, std::string> attr_paths;  // submodule values -> path
  std::unordered_map<std::string, int> module_ids;
  std::unordered_set<const jit::Node*> claimed_unpacks;  // judged by the op whose list they unpack
  std::unordered_set<const jit::Node*> claimed_nodes;    // part of a pattern read as one op
  // Tensor attributes read by the model: their reads (one value per GetAttr),
  // and the Parameter op of those whose channels are followed.
  std::unordered_map<int, std::string> attribute_of;            // value -> attribute path
  std::unordered_map<std::string, std::vector<int>> attribute_reads;
  std::unordered_map<std::string, int> attribute_ops;
  std::unordered_set<std::string> broadcast_attributes;         // read where they broadcast
};

using Handler = void (*)(Builder&, const jit::Node*);

struct OperatorFamily {
  std::vector<c10::Symbol> kinds;
  Handler handle;
};

std::vector<c10::Symbol> aten(std::initializer_list<const char*> names) {
  std::vector<c10::Symbol> out;
  for (const char* name : names) out.push_back(c10::Symbol::aten(name));
  return out;
}

// The operators the dependency graph understands. Teaching it another one is
// one entry here (its symbols and a handler) plus, where no existing handler
// fits, a Builder method.
const std::unordered_map<c10::Symbol, Handler>& operator_table() {
  static const std::unordered_map<c10::Symbol, Handler> table = [] {
    const OperatorFamily families[] = {
        {{c10::prim::GetAttr}, [](Builder& b, const jit::Node* n) { b.get_attr(n); }},
        {{c10::prim::Constant}, [](Builder& b, const jit::Node* n) { b.constant(n); }},
        {{c10::prim::ListConstruct, c10::prim::TupleConstruct, c10::prim::DictConstruct},
         [](Builder& b, const jit::Node* n) { b.pack(n); }},
        {{c10::prim::ListUnpack}, [](Builder& b, const jit::Node* n) { b.list_unpack(n); }},
        {{c10::prim::TupleUnpack},
         [](Builder& b, const jit::Node* n) { b.refuse(n, "unpacks tensors that cannot be followed"); }},
        // Reading sizes leaves the channels alone.
        {aten({"size", "dim", "numel", "Int", "Float", "ScalarImplicit", "len"}),
         [](Builder&, const jit::Node*) {}},
        {aten({"_convolution", "convolution", "conv1d", "conv2d", "conv3d", "conv_transpose1d",
               "conv_transpose2d", "conv_transpose3d"}),
         [](Builder& b, const jit::Node* n) { b.module_call(n, OpKind::Conv, ModuleKind::Conv); }},
        {aten({"linear"}),
         [](Builder& b, const jit::Node* n) { b.module_call(n, OpKind::Linear, ModuleKind::Linear); }},
        {aten({"batch_norm"}), [](Builder& b, const jit::Node* n) { b.batch_norm(n); }},
        {aten({"layer_norm"}), [](Builder& b, const jit::Node* n) { b.layer_norm(n); }},
        {aten({"group_norm"}), [](Builder& b, const jit::Node* n) { b.group_norm(n); }},
        {aten({"permute"}), [](Builder& b, const jit::Node* n) { b.permute(n); }},
        {aten({"transpose", "swapaxes", "swapdims"}), [](Builder& b, const jit::Node* n) { b.transpose(n); }},
        {aten({"prelu"}),
         [](Builder& b, const jit::Node* n) { b.module_call(n, OpKind::PReLU, ModuleKind::PReLU); }},
        {aten({"cat", "concat"}), [](Builder& b, const jit::Node* n) { b.cat(n); }},
        {aten({"split", "unsafe_split", "split_with_sizes"}),
         [](Builder& b, const jit::Node* n) { b.split(n, /*equal_pieces=*/false); }},
        {aten({"chunk", "unsafe_chunk"}),
         [](Builder& b, const jit::Node* n) { b.split(n, /*equal_pieces=*/true); }},
        {aten({"flatten", "view", "reshape", "_reshape_alias", "view_as", "reshape_as"}),
         [](Builder& b, const jit::Node* n) { b.view(n); }},
        {aten({"mean", "sum", "amax", "amin"}), [](Builder& b, const jit::Node* n) { b.reduction(n); }},
        {aten({"softmax", "log_softmax"}), [](Builder& b, const jit::Node* n) { b.softmax(n); }},
        // Activations, pooling, padding, resampling and element-wise arithmetic.
        {aten({"relu", "relu_", "relu6", "hardtanh", "hardtanh_", "sigmoid", "sigmoid_", "tanh",
               "tanh_", "hardswish", "hardswish_", "hardsigmoid", "hardsigmoid_", "silu", "silu_",
               "gelu", "leaky_relu", "leaky_relu_", "elu", "elu_", "selu", "selu_", "celu",
               "softplus", "mish", "threshold", "threshold_", "dropout", "dropout_",
               "feature_dropout", "feature_dropout_", "alpha_dropout", "feature_alpha_dropout",
               "max_pool1d", "max_pool2d", "max_pool3d", "avg_pool1d", "avg_pool2d", "avg_pool3d",
               "adaptive_avg_pool1d", "adaptive_avg_pool2d", "adaptive_avg_pool3d",
               "adaptive_max_pool1d", "adaptive_max_pool2d", "adaptive_max_pool3d",
               "max_pool1d_with_indices", "max_pool2d_with_indices", "max_pool3d_with_indices",
               "constant_pad_nd", "reflection_pad1d", "reflection_pad2d", "reflection_pad3d",
               "replication_pad1d", "replication_pad2d", "replication_pad3d", "pad",
               "upsample_nearest1d", "upsample_nearest2d", "upsample_nearest3d",
               "upsample_linear1d", "upsample_bilinear2d", "upsample_bicubic2d",
               "upsample_trilinear3d", "contiguous", "clone", "detach", "to", "type_as", "abs",
               "abs_", "neg", "exp", "log", "sqrt", "rsqrt", "square", "clamp", "clamp_",
               "clamp_min", "clamp_min_", "clamp_max", "clamp_max_", "floor", "ceil", "round",
               "sign", "reciprocal", "add", "add_", "sub", "sub_", "rsub", "mul", "mul_", "div",
               "div_", "maximum", "minimum", "pow", "pow_", "where", "identity"}),
         [](Builder& b, const jit::Node* n) { b.same(n); }},
    };
    std::unordered_map<c10::Symbol, Handler> by_kind;
    for (const OperatorFamily& family : families) {
      for (c10::Symbol kind : family.kinds) {
        const bool fresh = by_kind.emplace(kind, family.handle).second;
        TORCH_INTERNAL_ASSERT(fresh, "operator ", kind.toQualString(),
                              " appears in two families of the dependency graph's table");
      }
    }
    return by_kind;
  }();
  return table;
}

// ---- building blocks ------------------------------------------------------

int Builder::value_id(const jit::Value* v) {
  auto it = value_ids.find(v);
  if (it != value_ids.end()) return it->second;
  ValueInfo info;
  if (auto t = v->type()->cast<c10::TensorType>()) {
    if (auto sizes = t->sizes().concrete_sizes()) {
      info.shape = *sizes;
      info.shaped = true;
    }
  }
  const int id = g.add_value(std::move(info));
  value_ids.emplace(v, id);
  return id;
}

int Builder::module_id(const std::string& path, ModuleKind kind) {
  auto it = module_ids.find(path);
  if (it != module_ids.end()) return it->second;
  const int id = g.add_module({path, kind});
  module_ids.emplace(path, id);
  return id;
}

void Builder::refuse(const jit::Node* node, const std::string& why) {
  Op op(OpKind::Refuse);
  for (const jit::Value* in : node->inputs()) {
    if (is_tensor(in)) op.ins.push_back(value_id(in));
    // Tensors packed in a list handed to the op are its inputs too.
    if (in->node()->kind() == c10::prim::ListConstruct || in->node()->kind() == c10::prim::TupleConstruct) {
      for (const jit::Value* e : in->node()->inputs())
        if (is_tensor(e)) op.ins.push_back(value_id(e));
    }
  }
  for (const jit::Value* out : node->outputs()) {
    if (!is_tensor(out)) continue;
    const int o = value_id(out);
    g.values[o].cdim = rank(o) >= 2 ? 1 : (rank(o) == 1 ? 0 : -1);
    op.outs.push_back(o);
  }
  std::ostringstream s;
  s << "operation " << node->kind().toQualString() << " " << why;
  op.what = s.str();
  g.add_op(std::move(op));
}

// The module that owns a parameter read by GetAttr, or "" when there is none.
std::string Builder::owner_path(const jit::Value* param) const {
  if (param->node()->kind() != c10::prim::GetAttr) return "";
  auto it = attr_paths.find(param->node()->input(0));
  return it == attr_paths.end() ? "" : it->second;
}

void Builder::add_module_op(const jit::Node* node, OpKind kind, ModuleKind mkind,
                            const jit::Value* data, const jit::Value* param) {
  const std::string path = owner_path(param);
  if (path.empty() || !is_tensor(data) || node->outputs().empty()) {
    refuse(node, "uses weights that are not parameters of a submodule");
    return;
  }
  Op op(kind);
  op.module = module_id(path, mkind);
  if (g.modules[op.module].kind != mkind) {
    refuse(node, "calls module '" + path + "' as a different kind of layer");
    return;
  }
  const int in = value_id(data);
  const int out = value_id(node->output(0));
  op.ins = {in};
  op.outs = {out};
  if (kind == OpKind::Linear) {
    g.values[out].cdim = rank(out) - 1;
    op.linear_input_ok = g.values[in].cdim == rank(in) - 1;
  } else if (mkind == ModuleKind::LayerNorm) {
    g.values[out].cdim = g.values[in].cdim;  // the last dimension, checked by layer_norm()
  } else {
    g.values[out].cdim = 1;
    if (g.values[in].cdim != 1) {
      refuse(node, "receives a tensor whose channels are not its second dimension");
      return;
    }
  }
  g.add_op(std::move(op));
}

// Activations, pooling, padding, element-wise arithmetic with broadcasting.
void Builder::add_same(const jit::Node* node, bool first_input_must_couple) {
  if (node->outputs().empty() || !is_tensor(node->output(0))) {
    refuse(node, "has no tensor result");
    return;
  }
  const int out = value_id(node->output(0));
  const int64_t out_rank = rank(out);
  // The output's channel dim follows the highest-rank tensor input.
  int64_t cdim = -1;
  int64_t best_rank = -1;
  for (const jit::Value* in : node->inputs()) {
    if (!is_tensor(in)) continue;
    const int v = value_id(in);
    if (rank(v) > out_rank) {
      refuse(node, "drops dimensions");
      return;
    }
    if (g.values[v].cdim >= 0 && rank(v) > best_rank) {
      best_rank = rank(v);
      cdim = g.values[v].cdim + (out_rank - rank(v));
    }
  }
  if (cdim < 0 || out_rank == 0) {
    refuse(node, "has no input with tracked channels");
    return;
  }
  for (const jit::Value* in : node->inputs()) {
    if (is_tensor(in) && !g.values[value_id(in)].shaped) {
      refuse(node, "has an input of unknown shape");
      return;
    }
  }
  Op op(OpKind::Same);
  const int64_t channels = g.values[out].shape[cdim];
  bool first = true;
  for (const jit::Value* in : node->inputs()) {
    if (!is_tensor(in)) continue;
    const int v = value_id(in);
    // Signed: an input of lower rank has no channel dimension (aligned < 0).
    const int64_t aligned = cdim - (out_rank - rank(v));
    const bool missing = aligned < 0;
    const bool broadcast = missing || (g.values[v].shape[aligned] == 1 && channels != 1);
    if (broadcast) {
      auto attribute = attribute_of.find(v);
      if (attribute != attribute_of.end()) broadcast_attributes.insert(attribute->second);
      if (first && first_input_must_couple) {
        refuse(node, "changes the number of channels");
        return;
      }
    } else if (g.values[v].shape[aligned] != channels ||
               (g.values[v].cdim != aligned && !adopt(v, aligned))) {
      refuse(node, "changes or moves the channel dimension");
      return;
    } else {
      op.ins.push_back(v);
    }
    first = false;
  }
  for (const jit::Value* o : node->outputs()) {
    if (!is_tensor(o)) continue;
    const int ov = value_id(o);
    if (rank(ov) != out_rank || g.values[ov].shape[cdim] != channels) {
      refuse(node, "changes the number of channels");
      return;
    }
    g.values[ov].cdim = cdim;
    op.outs.push_back(ov);
  }
  g.add_op(std::move(op));
}

// ---- handlers -------------------------------------------------------------

void Builder::get_attr(const jit::Node* node) {
  auto parent = attr_paths.find(node->input(0));
  if (parent == attr_paths.end()) return;
  const std::string name = node->s(c10::attr::name);
  const std::string path = parent->second.empty() ? name : parent->second + "." + name;
  attr_paths[node->output()] = path;
  if (is_tensor(node->output())) {
    // Where its channels lie is learnt from the first element-wise use.
    const int v = value_id(node->output());
    auto shape = attribute_shapes.find(path);
    if (!g.values[v].shaped && shape != attribute_shapes.end()) {
      g.values[v].shape = shape->second;
      g.values[v].shaped = true;
    }
    g.values[v].source = "the tensor attribute '" + path + "'";
    g.values[v].adopts_channels = true;
    attribute_of[v] = path;
    attribute_reads[path].push_back(v);
    auto op = attribute_ops.find(path);
    if (op != attribute_ops.end()) {
      g.values[v].cdim = g.modules[g.ops[op->second].module].dim;
      g.values[v].producer = op->second;
      g.ops[op->second].outs.push_back(v);
    }
  }
}

void Builder::constant(const jit::Node* node) {
  if (!is_tensor(node->output())) return;
  const int v = value_id(node->output());
  g.values[v].source = "a constant tensor";
  g.values[v].adopts_channels = true;
}

// A tensor attribute or constant met in an element-wise operation whose
// channels lie along `dim` of it. Attributes become Parameter modules: every
// read of one shares its channels. False when it already holds channels
// along another dimension.
bool Builder::adopt(int v, int64_t dim) {
  ValueInfo& info = g.values[v];
  if (!info.adopts_channels || (info.cdim >= 0 && info.cdim != dim)) return false;
  info.cdim = dim;
  auto attribute = attribute_of.find(v);
  if (attribute == attribute_of.end() || attribute_ops.count(attribute->second)) return true;
  const std::string& path = attribute->second;
  Op op(OpKind::Parameter);
  op.module = g.add_module({path, ModuleKind::Parameter, dim});
  for (int read : attribute_reads[path]) {
    g.values[read].cdim = dim;
    op.outs.push_back(read);
  }
  attribute_ops[path] = g.add_op(std::move(op));
  return true;
}

// A Parameter that also broadcasts somewhere would change shape under that
// use without the use being followed.
void Builder::refuse_half_coupled_attributes() {
  for (const auto& [path, op] : attribute_ops) {
    if (!broadcast_attributes.count(path)) continue;
    Op refusal(OpKind::Refuse, g.ops[op].outs);
    refusal.what = "the tensor attribute '" + path +
                   "', which is also used where it broadcasts against other channels";
    g.add_op(std::move(refusal));
  }
}

// A pack is judged where it is used: one that is neither concatenated nor
// returned hides its tensors.
void Builder::pack(const jit::Node* node) {
  for (const jit::Use& use : node->output()->uses()) {
    const auto k = use.user->kind();
    if (k == c10::aten::cat || k == c10::prim::Return || k == c10::prim::TupleConstruct ||
        k == c10::prim::ListConstruct || k == c10::prim::DictConstruct)
      continue;
    if (use.user->kind().is_aten() && !node->inputs().empty() && !is_tensor(node->input(0)))
      continue;  // a list of sizes or dims, not of tensors
    bool has_tensor = false;
    for (const jit::Value* e : node->inputs()) has_tensor |= is_tensor(e);
    if (has_tensor && use.user->kind() != c10::aten::cat)
      refuse(node, "packs tensors for an operation that cannot be followed");
    break;
  }
}

// Unpacking the pieces of a split is the split's business; the list results
// of other operators cannot be followed.
void Builder::list_unpack(const jit::Node* node) {
  if (node->input(0)->node()->kind().is_aten() && !claimed_unpacks.count(node))
    refuse(node, "unpacks tensors that cannot be followed");
}

void Builder::module_call(const jit::Node* node, OpKind kind, ModuleKind mkind) {
  add_module_op(node, kind, mkind, node->input(0), node->input(1));
}

void Builder::batch_norm(const jit::Node* node) {
  // A batch norm without affine parameters is found through its statistics.
  const jit::Value* param = owner_path(node->input(1)).empty() ? node->input(3) : node->input(1);
  add_module_op(node, OpKind::Norm, ModuleKind::BatchNorm, node->input(0), param);
}

// A node with fewer arguments than its schema has is refused, not read.
bool Builder::has_arguments(const jit::Node* node, size_t inputs) {
  if (node->inputs().size() >= inputs && !node->outputs().empty()) return true;
  refuse(node, "has arguments that cannot be read");
  return false;
}

void Builder::layer_norm(const jit::Node* node) {
  if (!has_arguments(node, 4)) return;
  const int in = value_id(node->input(0));
  auto normalized = const_int_list(node->input(1));
  const int64_t cdim = g.values[in].cdim;
  if (!normalized || cdim < 0) {
    refuse(node, "normalises dimensions that cannot be determined");
    return;
  }
  if (cdim < rank(in) - static_cast<int64_t>(normalized->size())) {
    add_same(node, true);  // each channel is normalised on its own
  } else if (normalized->size() != 1) {
    refuse(node, "normalises the channels together with other dimensions");
  } else if (owner_path(node->input(2)).empty()) {
    refuse(node, "normalises over the channels without the per-channel weights of a LayerNorm module");
  } else {
    add_module_op(node, OpKind::Norm, ModuleKind::LayerNorm, node->input(0), node->input(2));
  }
}

// A group norm's module is found through its per-channel weight; without one
// the module cannot be told apart from a computation of the model's own.
void Builder::group_norm(const jit::Node* node) {
  if (!has_arguments(node, 4)) return;
  if (owner_path(node->input(2)).empty()) {
    refuse(node, "normalises groups of channels without the per-channel weights of a GroupNorm module");
    return;
  }
  add_module_op(node, OpKind::Norm, ModuleKind::GroupNorm, node->input(0), node->input(2));
}

// The channels move to another dimension of the same tensor.
void Builder::moved_channels(const jit::Node* node, int in, int64_t cdim) {
  const int out = value_id(node->output(0));
  g.values[out].cdim = cdim;
  g.add_op(Op(OpKind::Same, {in}, {out}));
}

void Builder::permute(const jit::Node* node) {
  if (!has_arguments(node, 2)) return;
  const int in = value_id(node->input(0));
  auto dims = const_int_list(node->input(1));
  const int64_t cdim = g.values[in].cdim;
  if (!dims || cdim < 0 || static_cast<int64_t>(dims->size()) != rank(in)) {
    refuse(node, "permutes dimensions that cannot be determined");
    return;
  }
  for (size_t j = 0; j < dims->size(); ++j) {
    if (wrap_dim((*dims)[j], rank(in)) == cdim) {
      moved_channels(node, in, static_cast<int64_t>(j));
      return;
    }
  }
  refuse(node, "permutes dimensions that cannot be determined");
}

void Builder::transpose(const jit::Node* node) {
  if (!has_arguments(node, 3)) return;
  const int in = value_id(node->input(0));
  auto d0 = const_int(node->input(1));
  auto d1 = const_int(node->input(2));
  const int64_t cdim = g.values[in].cdim;
  if (!d0 || !d1 || cdim < 0) {
    refuse(node, "swaps dimensions that cannot be determined");
    return;
  }
  const int64_t a = wrap_dim(*d0, rank(in));
  const int64_t b = wrap_dim(*d1, rank(in));
  moved_channels(node, in, cdim == a ? b : (cdim == b ? a : cdim));
}

void Builder::same(const jit::Node* node) {
  // Unary ops must keep their input's channels; binary ones may broadcast either side.
  int tensors = 0;
  for (const jit::Value* in : node->inputs()) tensors += is_tensor(in);
  add_same(node, tensors <= 1);
}

void Builder::softmax(const jit::Node* node) {
  const int in = value_id(node->input(0));
  auto dim = const_int(node->input(1));
  if (!dim || wrap_dim(*dim, rank(in)) == g.values[in].cdim) {
    refuse(node, "mixes the channels");
    return;
  }
  add_same(node, true);
}

void Builder::reduction(const jit::Node* node) {
  const int in = value_id(node->input(0));
  auto dims = node->inputs().size() > 1 ? const_int_list(node->input(1)) : c10::nullopt;
  auto keepdim = node->inputs().size() > 2 ? jit::toIValue(node->input(2)) : c10::nullopt;
  const int64_t cdim = g.values[in].cdim;
  if (!dims || !keepdim || !keepdim->isBool() || cdim < 0) {
    refuse(node, "reduces dimensions that cannot be determined");
    return;
  }
  int64_t shift = 0;
  for (int64_t d : *dims) {
    d = wrap_dim(d, rank(in));
    if (d == cdim) {
      refuse(node, "reduces over the channel dimension");
      return;
    }
    if (d < cdim && !keepdim->toBool()) ++shift;
  }
  const int out = value_id(node->output(0));
  g.values[out].cdim = cdim - shift;
  g.add_op(Op(OpKind::Same, {in}, {out}));
}

void Builder::cat(const jit::Node* node) {
  const jit::Node* list = node->input(0)->node();
  auto dim = const_int(node->input(1));
  if (list->kind() != c10::prim::ListConstruct || !dim) {
    refuse(node, "concatenates tensors that cannot be followed");
    return;
  }
  const int out = value_id(node->output(0));
  std::vector<int> ins;
  int64_t cdim = -1;
  for (const jit::Value* e : list->inputs()) {
    const int v = value_id(e);
    if (cdim < 0) cdim = g.values[v].cdim;
    if (g.values[v].cdim != cdim || cdim < 0) {
      refuse(node, "concatenates tensors with different channel dimensions");
      return;
    }
    ins.push_back(v);
  }
  const int64_t d = wrap_dim(*dim, rank(out));
  g.values[out].cdim = cdim;
  // Stacking along another dim ties the channels together.
  g.add_op(Op(d == cdim ? OpKind::Cat : OpKind::Same, ins, {out}));
}

// split/chunk: the pieces come out through a ListUnpack.
void Builder::split(const jit::Node* node, bool equal_pieces) {
  const jit::Node* unpack = nullptr;
  bool listed = false;
  for (const jit::Use& use : node->output(0)->uses()) {
    if (use.user->kind() == c10::prim::ListUnpack) claimed_unpacks.insert(use.user);
    if (use.user->kind() == c10::prim::ListUnpack && unpack == nullptr) unpack = use.user;
    else listed = true;
  }
  if (listed) {
    refuse(node, "hands its pieces on as a list");
    return;
  }
  auto dim = const_int(node->input(2));
  const int in = value_id(node->input(0));
  if (unpack == nullptr || !dim || g.values[in].cdim < 0) {
    refuse(node, "splits along a dimension that cannot be determined");
    return;
  }
  const int64_t d = wrap_dim(*dim, rank(in));
  const bool along_channels = d == g.values[in].cdim;
  Op op(along_channels ? OpKind::Split : OpKind::Same, {in});
  for (const jit::Value* o : unpack->outputs()) {
    const int ov = value_id(o);
    g.values[ov].cdim = g.values[in].cdim;
    op.outs.push_back(ov);
  }
  if (along_channels) {
    const auto chunks = equal_pieces ? const_int(node->input(1)) : c10::nullopt;
    bool equal = chunks && *chunks == static_cast<int64_t>(op.outs.size());
    for (int ov : op.outs)
      equal = equal && g.values[ov].shaped && g.values[ov].shape == g.values[op.outs[0]].shape;
    if (!equal) {
      // The piece sizes are constants of the model's code (or chunks of
      // unequal size): any change of width would cut the pieces elsewhere.
      op.kind = OpKind::Refuse;
      op.what = std::string("operation ") + node->kind().toQualString() +
                " (pieces of sizes fixed in the model's code, which pruning would misalign)";
    } else {
      op.chunks = *chunks;
    }
  }
  g.add_op(std::move(op));
}

// The size a view or reshape gives dimension `d` when the model's code fixes
// it as a number: neither -1 nor computed from a tensor's size at run time.
c10::optional<int64_t> literal_size(const jit::Node* node, size_t d) {
  if ((node->kind() != c10::aten::view && node->kind() != c10::aten::reshape) || node->inputs().size() < 2)
    return c10::nullopt;
  const jit::Value* sizes = node->input(1);
  c10::optional<int64_t> size;
  if (sizes->node()->kind() == c10::prim::ListConstruct) {
    if (d < sizes->node()->inputs().size()) size = const_int(sizes->node()->input(d));
  } else if (auto all = const_int_list(sizes)) {
    if (d < all->size()) size = (*all)[d];
  }
  if (size && *size == -1) return c10::nullopt;
  return size;
}

const jit::Node* sole_user(const jit::Value* v) {
  return v->uses().size() == 1 ? v->uses()[0].user : nullptr;
}

// view(.., major, minor, ..) -> transpose(major, minor) -> [contiguous] ->
// view back: the channels come out interleaved, as in ShuffleNet. Read as one
// Shuffle op; false when `node` does not start that pattern.
bool Builder::channel_shuffle(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const int split = value_id(node->output(0));
  // Copies: creating values below may move the value table.
  const std::vector<int64_t> is = g.values[in].shape, os = g.values[split].shape;
  const int64_t cdim = g.values[in].cdim;
  const size_t c = static_cast<size_t>(cdim);
  if (cdim < 0 || os.size() != is.size() + 1 || !std::equal(is.begin(), is.begin() + cdim, os.begin()) ||
      !std::equal(is.begin() + cdim + 1, is.end(), os.begin() + cdim + 2) ||
      os[c] * os[c + 1] != is[c])
    return false;
  const jit::Node* swap = sole_user(node->output(0));
  if (swap == nullptr || swap->kind() != c10::aten::transpose || swap->inputs().size() < 3) return false;
  auto d0 = const_int(swap->input(1));
  auto d1 = const_int(swap->input(2));
  const int64_t r = static_cast<int64_t>(os.size());
  if (!d0 || !d1) return false;
  const int64_t a = wrap_dim(*d0, r), b = wrap_dim(*d1, r);
  if (std::min(a, b) != cdim || std::max(a, b) != cdim + 1) return false;
  std::vector<const jit::Node*> chain{node, swap};
  const jit::Node* merge = sole_user(swap->output(0));
  if (merge != nullptr && merge->kind() == c10::aten::contiguous) {
    chain.push_back(merge);
    merge = sole_user(merge->output(0));
  }
  if (merge == nullptr || !(merge->kind() == c10::aten::view || merge->kind() == c10::aten::reshape ||
                            merge->kind() == c10::aten::flatten))
    return false;
  const int out = value_id(merge->output(0));
  if (!g.values[out].shaped || g.values[out].shape != is) return false;
  chain.push_back(merge);
  claimed_nodes.insert(chain.begin() + 1, chain.end());
  const bool major_fixed = literal_size(node, c).has_value();
  if (major_fixed == literal_size(node, c + 1).has_value() || literal_size(merge, c)) {
    // Both factors fixed in code, or neither: which one a smaller tensor keeps is unknown.
    refuse(node, "shuffles channels in groups whose sizes cannot both follow a change of width");
    const int o = value_id(merge->output(0));
    g.values[o].cdim = cdim;
    g.add_op(Op(OpKind::Refuse, {in}, {o}));
    g.ops.back().what = "a channel shuffle whose group sizes are fixed in the model's code";
    return true;
  }
  Op op(OpKind::Shuffle, {in}, {out});
  op.chunks = major_fixed ? os[c] : os[c + 1];
  op.major_fixed = major_fixed;
  g.values[out].cdim = cdim;
  g.add_op(std::move(op));
  return true;
}

void Builder::view(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const int out = value_id(node->output(0));
  const auto& is = g.values[in].shape;
  const auto& os = g.values[out].shape;
  const int64_t cdim = g.values[in].cdim;
  if (cdim < 0 || is.empty() || os.empty()) {
    refuse(node, "reshapes a tensor of unknown shape");
    return;
  }
  const bool prefix_kept = static_cast<int64_t>(os.size()) > cdim &&
                           std::equal(is.begin(), is.begin() + cdim + 1, os.begin());
  const bool flattens_channels = static_cast<int64_t>(os.size()) == cdim + 1 &&
                                 std::equal(is.begin(), is.begin() + cdim, os.begin()) &&
                                 os[cdim] == product(is, cdim, is.size());
  if (!prefix_kept && !flattens_channels) {
    if (!channel_shuffle(node))
      refuse(node, "reshapes the channel dimension in a way that cannot be followed");
    return;
  }
  if (literal_size(node, cdim)) {
    refuse(node, "reshapes to a channel size fixed in the model's code, which pruning would break");
    return;
  }
  Op op(OpKind::Flatten, {in}, {out});
  op.block = prefix_kept ? 1 : product(is, cdim + 1, is.size());
  g.values[out].cdim = cdim;
  op.view = static_cast<int>(g.views.size());
  g.views.push_back({node->kind().toQualString(), shape_text(is) + " -> " + shape_text(os)});
  g.add_op(std::move(op));
}

// ---- the walk -------------------------------------------------------------

void Builder::visit(const jit::Node* node) {
  if (claimed_nodes.count(node)) return;
  const auto& table = operator_table();
  auto handler = table.find(node->kind());
  if (handler != table.end()) {
    handler->second(*this, node);
  } else if (touches_tensor(node)) {
    refuse(node, "is not understood");
  }
}

void Builder::build(const jit::Graph& trace) {
  const auto inputs = trace.inputs();
  for (size_t i = 0; i < inputs.size(); ++i) {
    const jit::Value* in = inputs[i];
    if (i == 0 && !is_tensor(in)) {
      attr_paths[in] = "";  // the traced module itself
      continue;
    }
    if (!is_tensor(in)) continue;
    const int v = value_id(in);
    g.values[v].cdim = rank(v) >= 2 ? 1 : (rank(v) == 1 ? 0 : -1);
    g.values[v].source = "the model input '" + in->debugName() + "'";
  }
  for (const jit::Node* node : trace.nodes()) visit(node);
  refuse_half_coupled_attributes();
  // Removing channels of what the model returns would change its interface.
  Op out(OpKind::Refuse);
  out.what = "the model's output, whose shape must not change";
  std::vector<const jit::Value*> pending(trace.outputs().begin(), trace.outputs().end());
  while (!pending.empty()) {
    const jit::Value* v = pending.back();
    pending.pop_back();
    const auto k = v->node()->kind();
    if (k == c10::prim::TupleConstruct || k == c10::prim::ListConstruct ||
        k == c10::prim::DictConstruct) {
      pending.insert(pending.end(), v->node()->inputs().begin(), v->node()->inputs().end());
    } else if (is_tensor(v)) {
      out.ins.push_back(value_id(v));
    }
  }
  if (!out.ins.empty()) g.add_op(std::move(out));
}

}  // namespace

void build(const torch::jit::Graph& trace, const AttributeShapes& attribute_shapes,
           ChannelGraph::Impl& graph) {
  Builder(graph, attribute_shapes).build(trace);
}

}  // namespace orrery::dependency::detail
