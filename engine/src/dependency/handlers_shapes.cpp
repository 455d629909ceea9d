// Handlers of operations that move, reduce, join, split or reshape the
// channel dimension of the tensors they touch.
#include <algorithm>

#include "builder.h"

namespace orrery::dependency::detail {
namespace {

int64_t product(const std::vector<int64_t>& v, size_t from, size_t to) {
  int64_t p = 1;
  for (size_t i = from; i < to && i < v.size(); ++i) p *= v[i];
  return p;
}

}  // namespace

// The channels move to another dimension of the same tensor.
void Builder::moved_channels(const jit::Node* node, int in, int64_t cdim) {
  const int out = value_id(node->output(0));
  g.values[out].cdim = cdim;
  g.values[out].guessed = g.values[in].guessed;
  g.add_op(Op(OpKind::Same, {in}, {out}));
}

void Builder::permute(const jit::Node* node) {
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
  auto dims = const_int_list(node->input(1));
  auto keepdim = jit::toIValue(node->input(2));
  const int64_t cdim = g.values[in].cdim;
  if (!dims || !keepdim || !keepdim->isBool() || cdim < 0) {
    refuse(node, "reduces dimensions that cannot be determined");
    return;
  }
  if (dims->empty()) {  // no dims: every one, as for a reduction without them
    refuse(node, "reduces over every dimension, the channels included");
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

void Builder::split(const jit::Node* node) { pieces(node, /*equal_pieces=*/false); }

void Builder::chunk(const jit::Node* node) { pieces(node, /*equal_pieces=*/true); }

// split/chunk: the pieces come out through a ListUnpack.
void Builder::pieces(const jit::Node* node, bool equal_pieces) {
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

void Builder::view(const jit::Node* node) {
  if (derives(node)) {  // a tensor attribute reshaped before its per-channel use
    derive_by_shapes(node);
    return;
  }
  const int in = value_id(node->input(0));
  const int out = value_id(node->output(0));
  const auto& is = g.values[in].shape;
  const auto& os = g.values[out].shape;
  const int64_t cdim = g.values[in].cdim;
  if (cdim < 0 || cdim >= static_cast<int64_t>(is.size()) || os.empty()) {
    refuse(node, "reshapes a tensor of unknown shape");
    return;
  }
  const bool prefix_kept = static_cast<int64_t>(os.size()) > cdim &&
                           std::equal(is.begin(), is.begin() + cdim + 1, os.begin());
  const bool flattens_channels = static_cast<int64_t>(os.size()) == cdim + 1 &&
                                 std::equal(is.begin(), is.begin() + cdim, os.begin()) &&
                                 os[cdim] == product(is, cdim, is.size());
  if (!prefix_kept && !flattens_channels) {
    if (moved_by_unit_dims(node)) return;
    // Channel shuffles, which this starts, were read before (shuffle_pass.cpp).
    refuse(node, "reshapes the channel dimension in a way that cannot be followed");
    return;
  }
  if (literal_size(node, cdim)) {
    refuse(node, "reshapes to a channel size fixed in the model's code, which pruning would break");
    return;
  }
  add_view_op(node, prefix_kept ? 1 : product(is, cdim + 1, is.size()), false);
}

}  // namespace orrery::dependency::detail
