// Reads an inlined TorchScript trace into a ChannelGraph.
//
// The walk visits the trace's nodes in order and hands each to the handler
// of its operator family (operator_table.cpp), once the node's schema has
// been checked against the arguments that handler reads. Nodes of unknown
// operators, and overloads other than the ones a family reads, become
// refusals when they touch a tensor. Channel shuffles, which span several
// nodes, are found by a pass before the walk (shuffle_pass.cpp) and emitted
// in place of their first node. The builder is the only part that holds
// pointers into the trace, and it is gone when the graph is built.
//
// This file holds the walk and the building blocks handlers share: values,
// modules, refusals, module calls and channel-preserving operations.
#include <c10/util/Exception.h>
#include <torch/csrc/jit/ir/constants.h>

#include <algorithm>
#include <unordered_set>

#include "builder.h"

namespace orrery::dependency::detail {

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

c10::optional<std::vector<int64_t>> traced_shape(const jit::Value* v) {
  auto t = v->type()->cast<c10::TensorType>();
  if (!t) return c10::nullopt;
  return t->sizes().concrete_sizes();
}

c10::optional<int64_t> literal_size(const jit::Node* node, size_t d) {
  const auto kind = node->kind();
  if ((kind != c10::aten::view && kind != c10::aten::reshape && kind != c10::aten::unflatten) ||
      node->inputs().size() < 2)
    return c10::nullopt;
  if (kind == c10::aten::unflatten) {
    // Only the dimensions unflatten makes have sizes in its list.
    const auto whole = traced_shape(node->input(0));
    const auto dim = const_int(node->input(1));
    if (!whole || !dim || node->inputs().size() < 3) return c10::nullopt;
    const int64_t first = wrap_dim(*dim, static_cast<int64_t>(whole->size()));
    if (static_cast<int64_t>(d) < first) return c10::nullopt;
    d -= static_cast<size_t>(first);
  }
  const jit::Value* sizes = node->input(kind == c10::aten::unflatten ? 2 : 1);
  c10::optional<int64_t> size;
  if (sizes->node()->kind() == c10::prim::ListConstruct) {
    if (d < sizes->node()->inputs().size()) size = const_int(sizes->node()->input(d));
  } else if (auto all = const_int_list(sizes)) {
    if (d < all->size()) size = (*all)[d];
  }
  if (size && *size == -1) return c10::nullopt;
  return size;
}

std::string where(const jit::Node* node) {
  // The trace names scopes "__module.layer1/__module.layer1.0/..."; the last
  // holds the module's path from the root.
  std::string scope = node->scopeName();
  const auto slash = scope.rfind('/');
  if (slash != std::string::npos) scope = scope.substr(slash + 1);
  const std::string prefix = "__module.";
  if (scope.compare(0, prefix.size(), prefix) != 0 || scope.size() == prefix.size()) return "";
  return " (in module '" + scope.substr(prefix.size()) + "')";
}

namespace {

bool takes_tensor(const jit::Node* node) {
  for (const jit::Value* in : node->inputs())
    if (is_tensor(in)) return true;
  return false;
}

// Tensors handed over directly or packed in a list or tuple.
bool takes_tensor_or_packed_tensor(const jit::Node* node) {
  for (const jit::Value* in : node->inputs()) {
    const auto k = in->node()->kind();
    if (is_tensor(in) || ((k == c10::prim::ListConstruct || k == c10::prim::TupleConstruct) &&
                          takes_tensor(in->node())))
      return true;
  }
  return false;
}

}  // namespace

// ---- building blocks ------------------------------------------------------

int Builder::value_id(const jit::Value* v) {
  auto it = value_ids.find(v);
  if (it != value_ids.end()) return it->second;
  ValueInfo info;
  if (auto shape = traced_shape(v)) {
    info.shape = *shape;
    info.shaped = true;
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

void Builder::refuse(const jit::Node* node, const std::string& why, int module) {
  refuse_as(node, std::string("operation ") + node->kind().toQualString() + " " + why + where(node), module);
}

void Builder::refuse_as(const jit::Node* node, std::string what, int module) {
  Op op(OpKind::Refuse);
  op.module = module;
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
    g.values[o].guessed = true;
    op.outs.push_back(o);
  }
  op.what = std::move(what);
  g.add_op(std::move(op));
}

// Control flow (an if or a loop of a scripted function) runs nodes the walk
// does not read: every tensor it uses from outside, and every tensor it
// gives back, keeps its channels.
void Builder::refuse_control_flow(const jit::Node* node) {
  Op op(OpKind::Refuse);
  std::unordered_set<const jit::Value*> inside;
  std::vector<const jit::Block*> blocks(node->blocks().begin(), node->blocks().end());
  auto use = [&](const jit::Value* v) {
    if (is_tensor(v) && !inside.count(v)) op.ins.push_back(value_id(v));
  };
  for (const jit::Value* in : node->inputs()) use(in);
  for (size_t b = 0; b < blocks.size(); ++b) {
    for (const jit::Value* v : blocks[b]->inputs()) inside.insert(v);
    for (const jit::Node* n : blocks[b]->nodes()) {
      for (const jit::Value* in : n->inputs()) use(in);
      for (const jit::Value* out : n->outputs()) inside.insert(out);
      blocks.insert(blocks.end(), n->blocks().begin(), n->blocks().end());
    }
    for (const jit::Value* out : blocks[b]->outputs()) use(out);
  }
  for (const jit::Value* out : node->outputs()) {
    if (!is_tensor(out)) continue;
    const int o = value_id(out);
    g.values[o].cdim = rank(o) >= 2 ? 1 : (rank(o) == 1 ? 0 : -1);
    g.values[o].guessed = true;
    op.outs.push_back(o);
  }
  op.what = std::string("operation ") + node->kind().toQualString() +
            " (control flow in a scripted function, whose branches the trace does not record)" + where(node);
  g.add_op(std::move(op));
}

// The module that owns a parameter read by GetAttr, or "" when there is none.
// A parameter cast to another dtype or device (as autocast does) is still the
// module's own, and so is a parameter fake-quantized by orrery::lsq_quantize
// with a step that pruning the layer keeps in step (layer_weight_step).
std::string Builder::owner_path(const jit::Value* param) const {
  const auto kind = param->node()->kind();
  if (kind == c10::Symbol::fromQualString("orrery::lsq_quantize") && param->node()->inputs().size() >= 2) {
    const std::string owner = owner_path(param->node()->input(0));
    return !owner.empty() && layer_weight_step(owner, param->node()->input(1)) ? owner : "";
  }
  if ((kind == c10::aten::to || kind == c10::Symbol::aten("_autocast_to_reduced_precision") ||
       kind == c10::Symbol::aten("_autocast_to_full_precision")) &&
      param->node()->inputs().size() > 0 && is_tensor(param->node()->input(0)))
    return owner_path(param->node()->input(0));
  if (kind != c10::prim::GetAttr) return "";
  auto it = attr_paths.find(param->node()->input(0));
  return it == attr_paths.end() ? "" : it->second;
}

// The modules whose parameters a computed tensor is made from, as
// "'b'" or "'b', 'c'"; "" when none is found nearby.
std::string Builder::computed_from(const jit::Value* v) const {
  std::vector<const jit::Value*> pending{v};
  std::unordered_set<const jit::Value*> seen;
  std::vector<std::string> owners;
  for (size_t steps = 0; !pending.empty() && steps < 64; ++steps) {
    const jit::Value* at = pending.back();
    pending.pop_back();
    if (!seen.insert(at).second) continue;
    const std::string owner = at->node()->kind() == c10::prim::GetAttr && is_tensor(at) ? owner_path(at) : "";
    if (!owner.empty()) {
      if (std::find(owners.begin(), owners.end(), owner) == owners.end()) owners.push_back(owner);
      continue;
    }
    for (const jit::Value* in : at->node()->inputs()) pending.push_back(in);
  }
  std::string text;
  for (const std::string& owner : owners) text += (text.empty() ? "'" : ", '") + owner + "'";
  return text;
}

// A weight quantizer's step that stays right when the layer loses output
// channels: a single value, or the layer's own quan_w_fn.s, which the
// structured functions prune along with the output channels.
bool Builder::layer_weight_step(const std::string& layer, const jit::Value* step) const {
  if (auto shape = traced_shape(step)) {
    int64_t numel = 1;
    for (int64_t d : *shape) numel *= d;
    if (numel == 1) return true;
  }
  auto path = attr_paths.find(step);
  return path != attr_paths.end() && path->second == layer + ".quan_w_fn.s";
}

void Builder::add_module_op(const jit::Node* node, OpKind kind, ModuleKind mkind,
                            const jit::Value* data, const jit::Value* param) {
  const std::string path = owner_path(param);
  if (path.empty() || !is_tensor(data) || node->outputs().empty()) {
    const std::string from = computed_from(param);
    refuse(node, from.empty() ? "uses weights that are not parameters of a submodule"
                              : "uses weights computed from the parameters of " + from +
                                    " rather than the parameters themselves");
    return;
  }
  const int module = module_id(path, mkind);
  if (g.modules[module].kind != mkind) {
    refuse(node, "calls module '" + path + "' as a different kind of layer");
    return;
  }
  Op op(kind);
  op.module = module;
  const int in = value_id(data);
  const int out = value_id(node->output(0));
  op.ins = {in};
  op.outs = {out};
  // What a refusal left behind holds its channels where this layer reads them.
  const int64_t reads = kind == OpKind::Linear || mkind == ModuleKind::LayerNorm ? rank(in) - 1 : 1;
  if (g.values[in].guessed) g.values[in].cdim = reads;
  if (kind == OpKind::Linear) {
    g.values[out].cdim = rank(out) - 1;
    op.linear_input_ok = g.values[in].cdim == reads;
  } else if (mkind == ModuleKind::LayerNorm) {
    g.values[out].cdim = g.values[in].cdim;  // the last dimension, checked by layer_norm()
  } else {
    g.values[out].cdim = 1;
    if (g.values[in].cdim != 1) {
      // The call is still the module's: a plan rooted at it meets this refusal.
      refuse(node, "receives a tensor whose channels are not its second dimension", module);
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
  // The output's channel dim follows the highest-rank tensor input, one
  // whose channels are known before one left by a refusal.
  int64_t cdim = -1;
  std::pair<bool, int64_t> best{false, -1};  // (known, rank)
  for (const jit::Value* in : node->inputs()) {
    if (!is_tensor(in)) continue;
    const int v = value_id(in);
    if (rank(v) > out_rank) {
      refuse(node, "drops dimensions");
      return;
    }
    const std::pair<bool, int64_t> mine{!g.values[v].guessed, rank(v)};
    if (g.values[v].cdim >= 0 && mine > best) {
      best = mine;
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
      if (auto attribute = attribute_path(v)) broadcast_attributes.insert(*attribute);
      if (first && first_input_must_couple) {
        refuse(node, "changes the number of channels");
        return;
      }
      refuse_broadcast_channels(node, v);
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
    g.values[ov].guessed = !best.first;  // still only the guess of a refusal
    op.outs.push_back(ov);
  }
  g.add_op(std::move(op));
}

// An input that broadcasts here but carries channels of its own along some
// dimension: they meet another dimension of the result, which a narrower
// input would no longer match.
void Builder::refuse_broadcast_channels(const jit::Node* node, int v) {
  const int64_t cdim = g.values[v].cdim;
  if (cdim < 0 || cdim >= rank(v) || g.values[v].shape[cdim] == 1) return;
  Op stop(OpKind::Refuse, {v});
  stop.what = std::string("operation ") + node->kind().toQualString() +
              ", which broadcasts the channels of one input against another dimension of the result";
  g.add_op(std::move(stop));
}

// A tensor attribute or constant met in an element-wise operation whose
// channels lie along `dim` of it. Attributes become Parameter modules: every
// read of one shares its channels. False when it already holds channels
// along another dimension. The result of a refusal takes the channel
// dimension its use gives it.
bool Builder::adopt(int v, int64_t dim) {
  if (derived.count(v)) return adopt_derived(v, dim);
  ValueInfo& info = g.values[v];
  if (info.guessed) {
    info.cdim = dim;
    return true;
  }
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

// ---- the walk -------------------------------------------------------------

void Builder::visit(const jit::Node* node) {
  if (claimed_nodes.count(node)) return;
  if (!node->blocks().empty()) {
    refuse_control_flow(node);
    return;
  }
  auto chain = shuffles.find(node);
  if (chain != shuffles.end() && emit_shuffle(chain->second)) return;
  const OperatorFamily* family = find_family(node->kind());
  if (family == nullptr) {
    if (takes_tensor_or_packed_tensor(node)) refuse(node, "is not understood");
    return;
  }
  std::string mismatch = signature_mismatch(node, family->signature);
  if (mismatch.empty()) {
    (this->*family->handle)(node);
  } else if (takes_tensor_or_packed_tensor(node)) {
    refuse_as(node, std::move(mismatch));
  }  // else arithmetic on sizes, which leaves the channels alone
}

// A chain that splits the channel dimension into groups becomes one op; one
// that splits another dimension is read node by node.
bool Builder::emit_shuffle(const ShuffleChain& chain) {
  const int in = value_id(chain.in);
  if (g.values[in].cdim != chain.dim) return false;
  claimed_nodes.insert(chain.rest.begin(), chain.rest.end());
  const int out = value_id(chain.out);
  g.values[out].cdim = chain.dim;
  Op op = chain.op;
  op.ins = {in};
  op.outs = {out};
  g.add_op(std::move(op));
  return true;
}

void Builder::read(const jit::Graph& trace) {
  shuffles = find_channel_shuffles(trace);
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

void Builder::finish() {
  refuse_half_coupled_attributes();
  refuse_unfollowed_derivations();
}

void build(const std::vector<const torch::jit::Graph*>& traces, const AttributeShapes& attribute_shapes,
           ChannelGraph::Impl& graph) {
  Builder builder(graph, attribute_shapes);
  for (const torch::jit::Graph* trace : traces) builder.read(*trace);
  builder.finish();
}

}  // namespace orrery::dependency::detail
