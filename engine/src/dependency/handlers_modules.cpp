// Handlers of the IR's own nodes (attribute reads, constants, packs and
// unpacks) and of the calls of layers whose weights the model owns.
#include "builder.h"

namespace orrery::dependency::detail {
namespace {

// cat and concat read the tensors of the list they are handed.
bool concatenates(const jit::Node* node) {
  const OperatorFamily* family = find_family(node->kind());
  return family != nullptr && family->handle == &Builder::cat;
}

}  // namespace

void Builder::get_attr(const jit::Node* node) {
  auto parent = attr_paths.find(node->input(0));
  if (parent == attr_paths.end()) return;
  const std::string name = node->s(c10::attr::name);
  const std::string path = parent->second.empty() ? name : parent->second + "." + name;
  attr_paths[node->output()] = path;
  if (is_tensor(node->output())) {
    if (ran.insert(parent->second).second) g.ran.push_back(parent->second);
    if (attribute_reads.find(path) == attribute_reads.end()) g.read.push_back(path);
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

// A pack is judged where it is used: one that is neither concatenated nor
// returned hides its tensors.
void Builder::pack(const jit::Node* node) {
  for (const jit::Use& use : node->output()->uses()) {
    const auto k = use.user->kind();
    // An operator the graph does not know refuses the tensors it is handed.
    if (k.is_aten() && find_family(k) == nullptr) continue;
    if (concatenates(use.user) || k == c10::prim::Return || k == c10::prim::TupleConstruct ||
        k == c10::prim::ListConstruct || k == c10::prim::DictConstruct)
      continue;
    if (use.user->kind().is_aten() && !node->inputs().empty() && !is_tensor(node->input(0)))
      continue;  // a list of sizes or dims, not of tensors
    bool has_tensor = false;
    for (const jit::Value* e : node->inputs()) has_tensor |= is_tensor(e);
    if (has_tensor)
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

void Builder::tuple_unpack(const jit::Node* node) { refuse(node, "unpacks tensors that cannot be followed"); }

void Builder::reads_sizes(const jit::Node*) {}

void Builder::conv(const jit::Node* node) {
  add_module_op(node, OpKind::Conv, ModuleKind::Conv, node->input(0), node->input(1));
}

void Builder::linear(const jit::Node* node) {
  add_module_op(node, OpKind::Linear, ModuleKind::Linear, node->input(0), node->input(1));
}

void Builder::prelu(const jit::Node* node) {
  add_module_op(node, OpKind::PReLU, ModuleKind::PReLU, node->input(0), node->input(1));
}

// Batch and instance norms. One without affine parameters is found through
// its statistics; one with neither normalises each channel on its own and
// holds nothing per channel.
void Builder::batch_norm(const jit::Node* node) {
  bool per_channel = false;
  for (size_t i = 1; i <= 4; ++i) per_channel |= !node->input(i)->mustBeNone();
  if (!per_channel) {
    add_same(node, true);
    return;
  }
  const jit::Value* param = owner_path(node->input(1)).empty() ? node->input(3) : node->input(1);
  add_module_op(node, OpKind::Norm, ModuleKind::BatchNorm, node->input(0), param);
}

void Builder::layer_norm(const jit::Node* node) {
  const int in = value_id(node->input(0));
  auto normalized = const_int_list(node->input(1));
  // A layer norm module normalises its input's last dimension.
  if (g.values[in].guessed && normalized && normalized->size() == 1 && !owner_path(node->input(2)).empty())
    g.values[in].cdim = rank(in) - 1;
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
  if (owner_path(node->input(2)).empty()) {
    refuse(node, "normalises groups of channels without the per-channel weights of a GroupNorm module");
    return;
  }
  add_module_op(node, OpKind::Norm, ModuleKind::GroupNorm, node->input(0), node->input(2));
}

// A weight quantizer belongs to the layer that reads its result (see
// owner_path); an activation quantizer acts on each element, with a single
// step that broadcasts or one step per channel, which follows the channels.
void Builder::lsq_quantize(const jit::Node* node) {
  const std::string layer = owner_path(node->input(0));
  if (layer.empty()) {
    add_same(node, true);
  } else if (owner_path(node->output()).empty()) {
    refuse(node, "quantizes the weights of '" + layer + "' with one step per channel that is not the "
                 "layer's own quan_w_fn.s, so pruning the layer would not shrink it");
  }
}

}  // namespace orrery::dependency::detail
