#include "orrery_engine/dependency.h"

#include <c10/util/Exception.h>
#include <torch/csrc/jit/ir/constants.h>

#include <algorithm>
#include <deque>
#include <numeric>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

namespace orrery::dependency {

namespace jit = torch::jit;

const char* action_name(Action action) {
  switch (action) {
    case Action::PruneConv: return "prune_conv";
    case Action::PruneRelatedConv: return "prune_related_conv";
    case Action::PruneLinear: return "prune_linear";
    case Action::PruneRelatedLinear: return "prune_related_linear";
    case Action::PruneBatchnorm: return "prune_batchnorm";
    case Action::PruneGroupConv: return "prune_group_conv";
    case Action::PrunePrelu: return "prune_prelu";
    case Action::View: return "view";
    case Action::Refuse: return "refuse";
  }
  return "?";
}

namespace {

// How an operation ties the channels of the tensors it touches.
enum class OpKind {
  Conv,       // ins[0] -> outs[0]; coupling depends on the groups at plan time
  Linear,     // ins[0] (if its features are the last dim) -> outs[0]
  BatchNorm,  // all ports share channels; the module loses them too
  PReLU,      // as BatchNorm when the module has one slope per channel
  Same,       // all ports share channels (activations, pooling, element-wise)
  Cat,        // outs[0] concatenates ins along the channel dim
  Split,      // ins[0] is cut into outs along the channel dim
  Flatten,    // each channel of ins[0] becomes `block` features of outs[0]
  Refuse,     // channels must not reach any port
};

struct Op {
  explicit Op(OpKind k, std::vector<int> i = {}, std::vector<int> o = {})
      : kind(k), ins(std::move(i)), outs(std::move(o)) {}
  OpKind kind;
  std::vector<int> ins, outs;
  int module = -1;
  int view = -1;
  int64_t block = 1;
  int64_t chunks = 0;  // Split made by chunk(): equal pieces
  bool linear_input_ok = true;
  std::string what;    // Refuse: description
};

struct ValueInfo {
  std::vector<int64_t> shape;  // at trace time
  bool shaped = false;         // whether the trace recorded the shape
  int64_t cdim = -1;           // the channel dimension, -1 when none is tracked
  int producer = -1;           // op index, -1 for sources
  std::string source = "a tensor whose origin is not traced";  // for values without an op
  std::vector<int> users;      // op indices where the value is an input port
};

std::string shape_text(const std::vector<int64_t>& shape) {
  std::ostringstream s;
  s << "[";
  for (size_t i = 0; i < shape.size(); ++i) s << (i ? ", " : "") << shape[i];
  s << "]";
  return s.str();
}

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

bool is_tensor(const jit::Value* v) { return v->type()->cast<c10::TensorType>() != nullptr; }

const std::unordered_set<std::string>& channel_preserving_ops() {
  static const std::unordered_set<std::string> ops = {
      "relu", "relu_", "relu6", "hardtanh", "hardtanh_", "sigmoid", "sigmoid_", "tanh", "tanh_",
      "hardswish", "hardswish_", "hardsigmoid", "hardsigmoid_", "silu", "silu_", "gelu",
      "leaky_relu", "leaky_relu_", "elu", "elu_", "selu", "selu_", "celu", "softplus", "mish",
      "threshold", "threshold_", "dropout", "dropout_", "feature_dropout", "feature_dropout_",
      "alpha_dropout", "feature_alpha_dropout", "max_pool1d", "max_pool2d", "max_pool3d",
      "avg_pool1d", "avg_pool2d", "avg_pool3d", "adaptive_avg_pool1d", "adaptive_avg_pool2d",
      "adaptive_avg_pool3d", "adaptive_max_pool1d", "adaptive_max_pool2d", "adaptive_max_pool3d",
      "max_pool1d_with_indices", "max_pool2d_with_indices", "max_pool3d_with_indices",
      "constant_pad_nd", "reflection_pad1d", "reflection_pad2d", "reflection_pad3d",
      "replication_pad1d", "replication_pad2d", "replication_pad3d", "pad",
      "upsample_nearest1d", "upsample_nearest2d", "upsample_nearest3d", "upsample_linear1d",
      "upsample_bilinear2d", "upsample_bicubic2d", "upsample_trilinear3d", "contiguous", "clone",
      "detach", "to", "type_as", "abs", "abs_", "neg", "exp", "log", "sqrt", "rsqrt", "square",
      "clamp", "clamp_", "clamp_min", "clamp_min_", "clamp_max", "clamp_max_", "floor", "ceil",
      "round", "sign", "reciprocal", "add", "add_", "sub", "sub_", "rsub", "mul", "mul_", "div",
      "div_", "maximum", "minimum", "pow", "pow_", "where", "identity"};
  return ops;
}

const std::unordered_set<std::string>& shape_only_ops() {
  static const std::unordered_set<std::string> ops = {"size", "dim", "numel", "Int", "Float",
                                                      "ScalarImplicit", "len"};
  return ops;
}

bool is_conv(const std::string& op) {
  return op == "_convolution" || op == "convolution" || op == "conv1d" || op == "conv2d" ||
         op == "conv3d" || op == "conv_transpose1d" || op == "conv_transpose2d" ||
         op == "conv_transpose3d";
}

}  // namespace

struct ChannelGraph::Impl {
  std::vector<ModuleInfo> modules;
  std::vector<ViewOpInfo> views;
  std::vector<ValueInfo> values;
  std::vector<Op> ops;
  std::vector<std::vector<int>> module_ops;  // per module, the ops that call it

  std::unordered_map<const jit::Value*, int> value_ids;
  std::unordered_map<const jit::Value*, std::string> attr_paths;
  std::unordered_map<std::string, int> module_ids;

  // ---- building ---------------------------------------------------------

  int value_id(const jit::Value* v) {
    auto it = value_ids.find(v);
    if (it != value_ids.end()) return it->second;
    ValueInfo info;
    if (auto t = v->type()->cast<c10::TensorType>()) {
      if (auto sizes = t->sizes().concrete_sizes()) {
        info.shape = *sizes;
        info.shaped = true;
      }
    }
    const int id = static_cast<int>(values.size());
    values.push_back(std::move(info));
    value_ids.emplace(v, id);
    return id;
  }

  int64_t rank(int v) const { return static_cast<int64_t>(values[v].shape.size()); }

  int module_id(const std::string& path, ModuleKind kind) {
    auto it = module_ids.find(path);
    if (it != module_ids.end()) return it->second;
    const int id = static_cast<int>(modules.size());
    modules.push_back({path, kind});
    module_ops.emplace_back();
    module_ids.emplace(path, id);
    return id;
  }

  int add_op(Op op) {
    const int id = static_cast<int>(ops.size());
    for (int v : op.ins) values[v].users.push_back(id);
    for (int v : op.outs) values[v].producer = id;
    if (op.module >= 0) module_ops[op.module].push_back(id);
    ops.push_back(std::move(op));
    return id;
  }

  // An op whose tensors must keep every channel.
  void refuse(const jit::Node* node, const std::string& why) {
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
      values[o].cdim = rank(o) >= 2 ? 1 : (rank(o) == 1 ? 0 : -1);
      op.outs.push_back(o);
    }
    std::ostringstream s;
    s << "operation " << node->kind().toQualString() << " " << why;
    op.what = s.str();
    add_op(std::move(op));
  }

  // The module that owns a parameter read by GetAttr, or "" when there is none.
  std::string owner_path(const jit::Value* param) const {
    if (param->node()->kind() != c10::prim::GetAttr) return "";
    auto it = attr_paths.find(param->node()->input(0));
    return it == attr_paths.end() ? "" : it->second;
  }

  void add_module_op(const jit::Node* node, OpKind kind, ModuleKind mkind, const jit::Value* data,
                     const jit::Value* param) {
    const std::string path = owner_path(param);
    if (path.empty() || !is_tensor(data) || node->outputs().empty()) {
      refuse(node, "uses weights that are not parameters of a submodule");
      return;
    }
    Op op(kind);
    op.module = module_id(path, mkind);
    if (modules[op.module].kind != mkind) {
      refuse(node, "calls module '" + path + "' as a different kind of layer");
      return;
    }
    const int in = value_id(data);
    const int out = value_id(node->output(0));
    op.ins = {in};
    op.outs = {out};
    if (kind == OpKind::Linear) {
      values[out].cdim = rank(out) - 1;
      op.linear_input_ok = values[in].cdim == rank(in) - 1;
    } else {
      values[out].cdim = 1;
      if (values[in].cdim != 1) {
        refuse(node, "receives a tensor whose channels are not its second dimension");
        return;
      }
    }
    add_op(std::move(op));
  }

  // Activations, pooling, padding, element-wise arithmetic with broadcasting.
  void add_same(const jit::Node* node, bool first_input_must_couple) {
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
      if (values[v].cdim >= 0 && rank(v) > best_rank) {
        best_rank = rank(v);
        cdim = values[v].cdim + (out_rank - rank(v));
      }
    }
    if (cdim < 0 || out_rank == 0) {
      refuse(node, "has no input with tracked channels");
      return;
    }
    for (const jit::Value* in : node->inputs()) {
      if (is_tensor(in) && !values[value_id(in)].shaped) {
        refuse(node, "has an input of unknown shape");
        return;
      }
    }
    Op op(OpKind::Same);
    const int64_t channels = values[out].shape[cdim];
    bool first = true;
    for (const jit::Value* in : node->inputs()) {
      if (!is_tensor(in)) continue;
      const int v = value_id(in);
      const int64_t aligned = cdim - (out_rank - rank(v));
      const bool broadcast = aligned < 0 || values[v].shape.at(aligned) == 1;
      if (broadcast && channels != 1) {
        if (first && first_input_must_couple) {
          refuse(node, "changes the number of channels");
          return;
        }
      } else if (values[v].shape.at(aligned) != channels || values[v].cdim != aligned) {
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
      if (rank(ov) != out_rank || values[ov].shape[cdim] != channels) {
        refuse(node, "changes the number of channels");
        return;
      }
      values[ov].cdim = cdim;
      op.outs.push_back(ov);
    }
    add_op(std::move(op));
  }

  void add_reduction(const jit::Node* node) {
    const int in = value_id(node->input(0));
    auto dims = node->inputs().size() > 1 ? const_int_list(node->input(1)) : c10::nullopt;
    auto keepdim = node->inputs().size() > 2 ? jit::toIValue(node->input(2)) : c10::nullopt;
    const int64_t cdim = values[in].cdim;
    if (!dims || !keepdim || !keepdim->isBool() || cdim < 0) {
      refuse(node, "reduces dimensions that cannot be determined");
      return;
    }
    int64_t shift = 0;
    for (int64_t d : *dims) {
      if (d < 0) d += rank(in);
      if (d == cdim) {
        refuse(node, "reduces over the channel dimension");
        return;
      }
      if (d < cdim && !keepdim->toBool()) ++shift;
    }
    const int out = value_id(node->output(0));
    values[out].cdim = cdim - shift;
    add_op(Op(OpKind::Same, {in}, {out}));
  }

  void add_cat(const jit::Node* node) {
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
      if (cdim < 0) cdim = values[v].cdim;
      if (values[v].cdim != cdim || cdim < 0) {
        refuse(node, "concatenates tensors with different channel dimensions");
        return;
      }
      ins.push_back(v);
    }
    int64_t d = *dim < 0 ? *dim + rank(out) : *dim;
    values[out].cdim = cdim;
    if (d == cdim) {
      Op op(OpKind::Cat, ins, {out});
      add_op(std::move(op));
    } else {
      Op op(OpKind::Same, ins, {out});  // stacking along another dim ties the channels together
      add_op(std::move(op));
    }
  }

  // split/chunk: the pieces come out through a ListUnpack.
  void add_split(const jit::Node* node, const std::string& op_name) {
    const jit::Node* unpack = nullptr;
    for (const jit::Use& use : node->output(0)->uses()) {
      if (use.user->kind() == c10::prim::ListUnpack && unpack == nullptr) unpack = use.user;
      else {
        refuse(node, "hands its pieces on as a list");
        return;
      }
    }
    auto dim = const_int(node->input(2));
    const int in = value_id(node->input(0));
    if (unpack == nullptr || !dim || values[in].cdim < 0) {
      refuse(node, "splits along a dimension that cannot be determined");
      return;
    }
    const int64_t d = *dim < 0 ? *dim + rank(in) : *dim;
    Op op(d == values[in].cdim ? OpKind::Split : OpKind::Same, {in});
    if (op_name == "chunk" || op_name == "unsafe_chunk") op.chunks = const_int(node->input(1)).value_or(0);
    for (const jit::Value* o : unpack->outputs()) {
      const int ov = value_id(o);
      values[ov].cdim = values[in].cdim;
      op.outs.push_back(ov);
    }
    add_op(std::move(op));
  }

  void add_view(const jit::Node* node, const std::string& op_name) {
    const int in = value_id(node->input(0));
    const int out = value_id(node->output(0));
    const auto& is = values[in].shape;
    const auto& os = values[out].shape;
    const int64_t cdim = values[in].cdim;
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
      refuse(node, "reshapes the channel dimension in a way that cannot be followed");
      return;
    }
    Op op(OpKind::Flatten, {in}, {out});
    op.block = prefix_kept ? 1 : product(is, cdim + 1, is.size());
    values[out].cdim = cdim;
    op.view = static_cast<int>(views.size());
    views.push_back({"aten::" + op_name, shape_text(is) + " -> " + shape_text(os)});
    add_op(std::move(op));
  }

  void build(const jit::Graph& graph) {
    const auto inputs = graph.inputs();
    for (size_t i = 0; i < inputs.size(); ++i) {
      const jit::Value* in = inputs[i];
      if (i == 0 && !is_tensor(in)) {
        attr_paths[in] = "";  // the traced module itself
        continue;
      }
      if (!is_tensor(in)) continue;
      const int v = value_id(in);
      values[v].cdim = rank(v) >= 2 ? 1 : (rank(v) == 1 ? 0 : -1);
      values[v].source = "the model input '" + in->debugName() + "'";
    }
    for (const jit::Node* node : graph.nodes()) visit(node);
    // Removing channels of what the model returns would change its interface.
    Op out(OpKind::Refuse);
    out.what = "the model's output, whose shape must not change";
    std::vector<const jit::Value*> pending(graph.outputs().begin(), graph.outputs().end());
    while (!pending.empty()) {
      const jit::Value* v = pending.back();
      pending.pop_back();
      const auto k = v->node()->kind();
      if (k == c10::prim::TupleConstruct || k == c10::prim::ListConstruct) {
        pending.insert(pending.end(), v->node()->inputs().begin(), v->node()->inputs().end());
      } else if (is_tensor(v)) {
        out.ins.push_back(value_id(v));
      }
    }
    if (!out.ins.empty()) add_op(std::move(out));
  }

  void visit(const jit::Node* node) {
    const auto kind = node->kind();
    if (kind == c10::prim::GetAttr) {
      auto parent = attr_paths.find(node->input(0));
      if (parent != attr_paths.end()) {
        const std::string name = node->s(c10::attr::name);
        const std::string path = parent->second.empty() ? name : parent->second + "." + name;
        attr_paths[node->output()] = path;
        if (is_tensor(node->output())) {
          const int v = value_id(node->output());
          values[v].cdim = rank(v) >= 2 ? 1 : 0;
          values[v].source = "the tensor attribute '" + path + "'";
        }
      }
      return;
    }
    if (kind == c10::prim::Constant) {
      if (is_tensor(node->output())) {
        const int v = value_id(node->output());
        values[v].cdim = rank(v) >= 2 ? 1 : 0;
        values[v].source = "a constant tensor";
      }
      return;
    }
    if (kind == c10::prim::ListConstruct || kind == c10::prim::TupleConstruct ||
        kind == c10::prim::ListUnpack || kind == c10::prim::TupleUnpack) {
      // Packing is judged where the pack is used; unpacking of split results
      // is handled by the split itself.
      if (kind == c10::prim::TupleUnpack ||
          (kind == c10::prim::ListUnpack && node->input(0)->node()->kind().is_aten() &&
           node->input(0)->node()->kind().toUnqualString() != std::string("split") &&
           node->input(0)->node()->kind().toUnqualString() != std::string("chunk") &&
           node->input(0)->node()->kind().toUnqualString() != std::string("unsafe_split") &&
           node->input(0)->node()->kind().toUnqualString() != std::string("unsafe_chunk") &&
           node->input(0)->node()->kind().toUnqualString() != std::string("split_with_sizes"))) {
        refuse(node, "unpacks tensors that cannot be followed");
      }
      if (kind == c10::prim::ListConstruct || kind == c10::prim::TupleConstruct) {
        // A pack that is neither concatenated nor returned hides its tensors.
        for (const jit::Use& use : node->output()->uses()) {
          const auto k = use.user->kind();
          if (k == c10::aten::cat || k == c10::prim::Return || k == c10::prim::TupleConstruct ||
              k == c10::prim::ListConstruct)
            continue;
          if (use.user->kind().is_aten() && !node->inputs().empty() && !is_tensor(node->input(0)))
            continue;  // a list of sizes or dims, not of tensors
          bool has_tensor = false;
          for (const jit::Value* e : node->inputs()) has_tensor |= is_tensor(e);
          if (has_tensor && use.user->kind() != c10::aten::cat) refuse(node, "packs tensors for an operation that cannot be followed");
          break;
        }
      }
      return;
    }
    if (!kind.is_aten()) {
      bool touches_tensor = false;
      for (const jit::Value* in : node->inputs()) touches_tensor |= is_tensor(in);
      if (touches_tensor) refuse(node, "is not understood");
      return;
    }
    const std::string op = kind.toUnqualString();
    if (shape_only_ops().count(op)) return;
    if (is_conv(op)) return add_module_op(node, OpKind::Conv, ModuleKind::Conv, node->input(0), node->input(1));
    if (op == "linear") return add_module_op(node, OpKind::Linear, ModuleKind::Linear, node->input(0), node->input(1));
    if (op == "batch_norm") {
      // A batch norm without affine parameters is found through its statistics.
      const jit::Value* param = owner_path(node->input(1)).empty() ? node->input(3) : node->input(1);
      return add_module_op(node, OpKind::BatchNorm, ModuleKind::BatchNorm, node->input(0), param);
    }
    if (op == "prelu") return add_module_op(node, OpKind::PReLU, ModuleKind::PReLU, node->input(0), node->input(1));
    if (op == "cat" || op == "concat") return add_cat(node);
    if (op == "split" || op == "chunk" || op == "unsafe_split" || op == "unsafe_chunk" ||
        op == "split_with_sizes")
      return add_split(node, op);
    if (op == "flatten" || op == "view" || op == "reshape" || op == "_reshape_alias" ||
        op == "view_as" || op == "reshape_as")
      return add_view(node, op);
    if (op == "mean" || op == "sum" || op == "amax" || op == "amin") return add_reduction(node);
    if (op == "softmax" || op == "log_softmax") {
      const int in = value_id(node->input(0));
      auto dim = const_int(node->input(1));
      if (!dim || (*dim < 0 ? *dim + rank(in) : *dim) == values[in].cdim) {
        refuse(node, "mixes the channels");
        return;
      }
      return add_same(node, true);
    }
    if (channel_preserving_ops().count(op)) {
      // Unary ops must keep their input's channels; binary ones may broadcast either side.
      bool binary = false;
      int tensors = 0;
      for (const jit::Value* in : node->inputs()) tensors += is_tensor(in);
      binary = tensors > 1;
      return add_same(node, !binary);
    }
    bool touches_tensor = false;
    for (const jit::Value* in : node->inputs()) touches_tensor |= is_tensor(in);
    if (touches_tensor) refuse(node, "is not understood");
  }

  // ---- planning -----------------------------------------------------------

  // Channel counts of every value under the current module sizes.
  std::vector<int64_t> channel_counts(const std::vector<ModuleSizes>& sizes) const {
    std::vector<int64_t> count(values.size(), -1);
    for (size_t v = 0; v < values.size(); ++v) {
      const auto& info = values[v];
      if (info.cdim >= 0 && info.cdim < static_cast<int64_t>(info.shape.size()))
        count[v] = info.shape[info.cdim];
    }
    // Ops are stored in graph order, so inputs are final before outputs are set.
    for (const Op& op : ops) {
      switch (op.kind) {
        case OpKind::Conv:
        case OpKind::Linear:
          count[op.outs[0]] = sizes[op.module].out;
          break;
        case OpKind::BatchNorm:
        case OpKind::PReLU:
        case OpKind::Same:
          if (!op.ins.empty())
            for (int o : op.outs) count[o] = count[op.ins[0]];
          break;
        case OpKind::Cat: {
          int64_t total = 0;
          for (int v : op.ins) total += count[v];
          count[op.outs[0]] = total;
          break;
        }
        case OpKind::Split:
          if (op.chunks > 0 && count[op.ins[0]] % op.chunks == 0)
            for (int o : op.outs) count[o] = count[op.ins[0]] / op.chunks;
          break;
        case OpKind::Flatten:
          count[op.outs[0]] = count[op.ins[0]] * op.block;
          break;
        case OpKind::Refuse:
          break;
      }
    }
    return count;
  }

  struct Planner {
    const Impl& g;
    const std::vector<ModuleSizes>& sizes;
    std::vector<int64_t> count;
    std::vector<std::vector<char>> pruned;  // per value, lazily sized
    std::deque<std::pair<int, std::vector<int64_t>>> work;
    std::vector<Step> steps;
    std::unordered_map<int64_t, size_t> step_of;  // key: module/view/refusal x action
    std::vector<std::vector<char>> step_marks;

    Planner(const Impl& graph, const std::vector<ModuleSizes>& s)
        : g(graph), sizes(s), count(graph.channel_counts(s)), pruned(graph.values.size()) {}

    Step& step(Action action, int64_t module, int64_t view, const std::string& reason = "") {
      const int64_t id = action == Action::View ? view : module;
      const int64_t key = (id + 2) * 16 + static_cast<int64_t>(action);
      auto it = step_of.find(key);
      if (it != step_of.end() && action != Action::Refuse) return steps[it->second];
      if (it != step_of.end()) return steps[it->second];
      step_of.emplace(key, steps.size());
      steps.push_back(Step{action, module, view, {}, reason});
      step_marks.emplace_back();
      return steps.back();
    }

    void mark(Step& s, const std::vector<int64_t>& idxs) {
      auto& marks = step_marks[&s - steps.data()];
      for (int64_t i : idxs) {
        if (i >= static_cast<int64_t>(marks.size())) marks.resize(i + 1, 0);
        if (!marks[i]) {
          marks[i] = 1;
          s.idxs.push_back(i);
        }
      }
    }

    void refuse(int64_t module, const std::string& reason) {
      // One refusal per distinct reason is enough to stop the plan.
      for (const Step& s : steps)
        if (s.action == Action::Refuse && s.reason == reason) return;
      steps.push_back(Step{Action::Refuse, module, -1, {}, reason});
      step_marks.emplace_back();
    }

    void add(int v, const std::vector<int64_t>& idxs) {
      if (idxs.empty()) return;
      auto& mask = pruned[v];
      const int64_t n = count[v];
      if (n < 0) {
        refuse(-1, "channels reach a tensor whose channel count is unknown");
        return;
      }
      if (mask.empty()) mask.assign(n, 0);
      std::vector<int64_t> fresh;
      for (int64_t i : idxs) {
        if (i < 0 || i >= n) {
          refuse(-1, "channel index " + std::to_string(i) + " falls outside a tensor of " +
                         std::to_string(n) + " channels");
          continue;
        }
        if (!mask[i]) {
          mask[i] = 1;
          fresh.push_back(i);
        }
      }
      if (!fresh.empty()) work.emplace_back(v, std::move(fresh));
    }

    void run() {
      while (!work.empty()) {
        auto [v, idxs] = std::move(work.front());
        work.pop_front();
        const ValueInfo& info = g.values[v];
        if (info.producer >= 0) apply(info.producer, v, idxs);
        else refuse(-1, "channels would have to be removed from " + info.source);
        for (int op : info.users) apply(op, v, idxs);
      }
    }

    // Offsets of each port of a Cat/Split op in the concatenated channel space.
    std::vector<int64_t> offsets(const std::vector<int>& parts) const {
      std::vector<int64_t> off;
      int64_t at = 0;
      for (int v : parts) {
        off.push_back(at);
        at += count[v];
      }
      return off;
    }

    void to_all_ports(const Op& op, int from, const std::vector<int64_t>& idxs) {
      for (int v : op.ins) if (v != from) add(v, idxs);
      for (int v : op.outs) if (v != from) add(v, idxs);
    }

    void apply(int op_id, int v, const std::vector<int64_t>& idxs) {
      const Op& op = g.ops[op_id];
      const bool is_in = std::find(op.ins.begin(), op.ins.end(), v) != op.ins.end();
      const bool is_out = std::find(op.outs.begin(), op.outs.end(), v) != op.outs.end();
      const std::string& path = op.module >= 0 ? g.modules[op.module].path : std::string();
      switch (op.kind) {
        case OpKind::Conv: {
          const ModuleSizes& s = sizes[op.module];
          if (s.groups == 1) {
            if (is_in) mark(step(Action::PruneRelatedConv, op.module, -1), idxs);
            if (is_out) mark(step(Action::PruneConv, op.module, -1), idxs);
          } else if (s.groups == s.in && s.groups == s.out) {
            mark(step(Action::PruneGroupConv, op.module, -1), idxs);
            to_all_ports(op, v, idxs);
          } else {
            refuse(op.module, "grouped convolution '" + path + "' (groups=" +
                                  std::to_string(s.groups) + ") would lose channels inside its groups");
          }
          break;
        }
        case OpKind::Linear:
          if (is_in) {
            if (op.linear_input_ok) mark(step(Action::PruneRelatedLinear, op.module, -1), idxs);
            else refuse(op.module, "linear layer '" + path + "' is applied along a dimension other than the channels");
          }
          if (is_out) mark(step(Action::PruneLinear, op.module, -1), idxs);
          break;
        case OpKind::BatchNorm:
          mark(step(Action::PruneBatchnorm, op.module, -1), idxs);
          to_all_ports(op, v, idxs);
          break;
        case OpKind::PReLU:
          if (sizes[op.module].out != 1) mark(step(Action::PrunePrelu, op.module, -1), idxs);
          to_all_ports(op, v, idxs);
          break;
        case OpKind::Same:
          to_all_ports(op, v, idxs);
          break;
        case OpKind::Cat:
        case OpKind::Split: {
          const std::vector<int>& parts = op.kind == OpKind::Cat ? op.ins : op.outs;
          const int whole = op.kind == OpKind::Cat ? op.outs[0] : op.ins[0];
          const auto off = offsets(parts);
          if (v == whole) {
            for (size_t k = 0; k < parts.size(); ++k) {
              std::vector<int64_t> part;
              for (int64_t i : idxs)
                if (i >= off[k] && i < off[k] + count[parts[k]]) part.push_back(i - off[k]);
              add(parts[k], part);
            }
          } else {
            // A value may appear several times in one concatenation.
            for (size_t k = 0; k < parts.size(); ++k) {
              if (parts[k] != v) continue;
              std::vector<int64_t> moved;
              for (int64_t i : idxs) moved.push_back(i + off[k]);
              add(whole, moved);
            }
          }
          break;
        }
        case OpKind::Flatten: {
          std::vector<int64_t> channels;
          if (is_in) channels = idxs;
          else
            for (int64_t i : idxs) channels.push_back(i / op.block);
          std::sort(channels.begin(), channels.end());
          channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
          mark(step(Action::View, -1, op.view), channels);
          add(op.ins[0], channels);
          std::vector<int64_t> features;
          for (int64_t c : channels)
            for (int64_t j = 0; j < op.block; ++j) features.push_back(c * op.block + j);
          add(op.outs[0], features);
          break;
        }
        case OpKind::Refuse:
          refuse(-1, "channels reach " + op.what);
          break;
      }
    }
  };
};

ChannelGraph::ChannelGraph(const jit::Graph& graph) : impl_(std::make_unique<Impl>()) {
  impl_->build(graph);
}
ChannelGraph::~ChannelGraph() = default;
ChannelGraph::ChannelGraph(ChannelGraph&&) noexcept = default;
ChannelGraph& ChannelGraph::operator=(ChannelGraph&&) noexcept = default;

const std::vector<ModuleInfo>& ChannelGraph::modules() const { return impl_->modules; }
const std::vector<ViewOpInfo>& ChannelGraph::view_ops() const { return impl_->views; }

std::vector<Step> ChannelGraph::plan(int64_t module, Role role, const std::vector<int64_t>& idxs,
                                     const std::vector<ModuleSizes>& sizes) const {
  const Impl& g = *impl_;
  TORCH_CHECK_VALUE(module >= 0 && module < static_cast<int64_t>(g.modules.size()),
                    "no module number ", module, " in the dependency graph");
  TORCH_CHECK_VALUE(sizes.size() == g.modules.size(), "expected the sizes of ", g.modules.size(),
                    " modules, got ", sizes.size());
  const ModuleInfo& info = g.modules[module];
  const ModuleSizes& s = sizes[module];
  TORCH_CHECK_VALUE(role == Role::Output || info.kind == ModuleKind::Conv || info.kind == ModuleKind::Linear,
                    "only convolutions and linear layers have input channels to prune, '", info.path,
                    "' is neither");
  const int64_t limit = role == Role::Output ? s.out : s.in;
  for (int64_t i : idxs) {
    TORCH_CHECK_VALUE(i >= 0 && i < limit, "channel index ", i, " is out of range for '", info.path,
                      "', which has ", limit, role == Role::Output ? " output" : " input",
                      " channels now; indices must lie in [0, ", limit, ")");
  }

  Impl::Planner p(g, sizes);
  // The origin's own step leads the plan.
  Action first = Action::PruneConv;
  const bool depthwise = info.kind == ModuleKind::Conv && s.groups > 1 && s.groups == s.in && s.groups == s.out;
  switch (info.kind) {
    case ModuleKind::Conv:
      first = depthwise ? Action::PruneGroupConv
                        : (role == Role::Output ? Action::PruneConv : Action::PruneRelatedConv);
      break;
    case ModuleKind::Linear:
      first = role == Role::Output ? Action::PruneLinear : Action::PruneRelatedLinear;
      break;
    case ModuleKind::BatchNorm: first = Action::PruneBatchnorm; break;
    case ModuleKind::PReLU: first = Action::PrunePrelu; break;
  }
  if (!(info.kind == ModuleKind::PReLU && s.out == 1)) p.step(first, module, -1);
  for (int op_id : g.module_ops[module]) {
    const Op& op = g.ops[op_id];
    const int seed = role == Role::Output ? op.outs[0] : op.ins[0];
    p.add(seed, idxs);
  }
  p.run();
  for (Step& st : p.steps) std::sort(st.idxs.begin(), st.idxs.end());
  // Refusals first, so that whoever executes the plan stops before any change.
  std::stable_partition(p.steps.begin(), p.steps.end(),
                        [](const Step& st) { return st.action == Action::Refuse; });
  return std::move(p.steps);
}

}  // namespace orrery::dependency
