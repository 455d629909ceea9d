// Handlers of operations that select, pad or regroup the channels with numbers
// fixed in the model's code (slices, constant padding, pixel and channel
// shuffles), and of the views that only insert or drop dimensions of size 1.
//
// Tensor attributes and constants learn where their channels lie from their
// first element-wise use (Builder::adopt). A per-channel scale is often
// reshaped first (`g.view(1, -1, 1, 1)`, `g[None, :, None, None]`): such a
// reshape is recorded as a derivation, and adopting the reshaped value adopts
// the attribute along the matching dimension and joins the two.
#include <algorithm>
#include <limits>

#include "builder.h"

namespace orrery::dependency::detail {
namespace {

// For each dimension of `out`, the dimension of `in` it is, when `out` is
// `in` with only dimensions of size 1 inserted or dropped; -1 for those of
// size 1.
c10::optional<std::vector<int64_t>> unit_dim_map(const std::vector<int64_t>& in, const std::vector<int64_t>& out) {
  std::vector<int64_t> map(out.size(), -1);
  size_t i = 0;
  for (size_t k = 0; k < out.size(); ++k) {
    if (out[k] == 1) continue;
    while (i < in.size() && in[i] == 1) ++i;
    if (i == in.size() || in[i] != out[k]) return c10::nullopt;
    map[k] = static_cast<int64_t>(i++);
  }
  while (i < in.size() && in[i] == 1) ++i;
  if (i != in.size()) return c10::nullopt;
  return map;
}

// An optional integer argument: its default when None, nothing when it is
// computed at run time.
c10::optional<int64_t> int_or(const jit::Value* v, int64_t fallback) {
  auto iv = jit::toIValue(v);
  if (iv && iv->isNone()) return fallback;
  return const_int(v);
}

std::string bounds_text(const Op& op) {
  if (op.length >= 0) return "(start " + std::to_string(op.start) + ", length " + std::to_string(op.length) + ")";
  std::string text = "[" + (op.start ? std::to_string(op.start) : "") + ":";
  if (op.stop != std::numeric_limits<int64_t>::max()) text += std::to_string(op.stop);
  return text + (op.step != 1 ? ":" + std::to_string(op.step) : "") + "]";
}

}  // namespace

// ---- derivations of tensor attributes and constants ---------------------------

// Whether the node's input is an attribute or constant whose channels are not
// known yet, so that the node derives another such value from it.
bool Builder::derives(const jit::Node* node) const {
  auto it = value_ids.find(node->input(0));
  if (it == value_ids.end()) return false;
  const ValueInfo& info = g.values[it->second];
  return info.adopts_channels && info.cdim < 0;
}

void Builder::derive(const jit::Node* node, std::vector<int64_t> dims) {
  const int source = value_id(node->input(0));
  const int out = value_id(node->output(0));
  g.values[out].adopts_channels = true;
  g.values[out].source = g.values[source].source;
  derived[out] = Derived{source, std::move(dims)};
}

// A view or reshape of an attribute that only inserts or drops dimensions of
// size 1; a size the code fixes as a number cannot carry channels.
void Builder::derive_by_shapes(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const int out = value_id(node->output(0));
  auto map = g.values[in].shaped && g.values[out].shaped ? unit_dim_map(g.values[in].shape, g.values[out].shape)
                                                         : c10::nullopt;
  if (!map) {
    refuse(node, "reshapes a tensor attribute or constant in a way the dependency graph cannot follow");
    return;
  }
  bool any = false, fixed = false;
  for (size_t k = 0; k < map->size(); ++k) {
    if ((*map)[k] >= 0 && literal_size(node, k)) {
      (*map)[k] = -1;
      fixed = true;
    }
    any = any || (*map)[k] >= 0;
  }
  if (fixed && !any) {
    refuse(node, "reshapes to a channel size fixed in the model's code, which pruning would break");
    return;
  }
  derive(node, std::move(*map));
}

bool Builder::adopt_derived(int v, int64_t dim) {
  const Derived d = derived.at(v);
  if (g.values[v].cdim >= 0) return g.values[v].cdim == dim;
  if (dim < 0 || dim >= static_cast<int64_t>(d.dims.size()) || d.dims[dim] < 0 || !adopt(d.source, d.dims[dim]))
    return false;
  g.values[v].cdim = dim;
  g.add_op(Op(OpKind::Same, {d.source}, {v}));
  return true;
}

// A derived value whose source carries channels but which itself was never
// joined to it (used where it broadcasts, or by an operation that refused it)
// would change shape unseen: its source keeps its channels.
void Builder::refuse_unfollowed_derivations() {
  std::vector<int> unfollowed;  // in graph order, so that the graph reads the same every time
  for (const auto& [v, d] : derived)
    if (g.values[v].cdim < 0 && g.values[d.source].cdim >= 0) unfollowed.push_back(v);
  std::sort(unfollowed.begin(), unfollowed.end());
  for (int v : unfollowed) {
    const Derived& d = derived.at(v);
    Op refusal(OpKind::Refuse, {d.source});
    refusal.what = g.values[d.source].source + ", which is also reshaped for a use whose channels are not followed";
    g.add_op(std::move(refusal));
  }
}

c10::optional<std::string> Builder::attribute_path(int v) const {
  for (auto d = derived.find(v); d != derived.end(); d = derived.find(v)) v = d->second.source;
  auto attribute = attribute_of.find(v);
  if (attribute == attribute_of.end()) return c10::nullopt;
  return attribute->second;
}

// ---- size-1 dimensions ----------------------------------------------------------

// A view whose result is its input with dimensions of size 1 inserted or
// dropped: the channels move to another dimension. False when it is not.
bool Builder::moved_by_unit_dims(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const int out = value_id(node->output(0));
  const int64_t cdim = g.values[in].cdim;
  if (!g.values[out].shaped || g.values[in].shape[cdim] == 1) return false;  // where it goes is unknown
  auto map = unit_dim_map(g.values[in].shape, g.values[out].shape);
  if (!map) return false;
  for (size_t k = 0; k < map->size(); ++k) {
    if ((*map)[k] != cdim) continue;
    if (literal_size(node, k))
      refuse(node, "reshapes to a channel size fixed in the model's code, which pruning would break");
    else
      moved_channels(node, in, static_cast<int64_t>(k));
    return true;
  }
  return false;
}

// unsqueeze(dim), squeeze(dim) and squeeze(): the dimension each result
// dimension comes from follows from the argument. A squeeze that names the
// channel dimension (or none) would drop it once a plan left one channel.
void Builder::unit_dims(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const int out = value_id(node->output(0));
  const bool squeeze = node->kind() == c10::aten::squeeze;
  const auto dim = node->inputs().size() > 1 ? const_int(node->input(1)) : c10::nullopt;
  const int64_t d = dim ? wrap_dim(*dim, squeeze ? rank(in) : rank(out)) : -1;
  if (node->inputs().size() == 1) {
    refuse(node, "squeezes every dimension of size 1, which would drop the channel dimension of a tensor "
                 "pruned to one channel; name the dimension to squeeze");
    return;
  }
  if (!g.values[in].shaped || !g.values[out].shaped || d < 0 || d >= (squeeze ? rank(in) : rank(out))) {
    refuse(node, "names a dimension that cannot be determined");
    return;
  }
  const bool dropped = squeeze && g.values[in].shape[d] == 1;
  std::vector<int64_t> map;
  for (int64_t k = 0; k < rank(out); ++k) {
    if (squeeze) map.push_back(dropped && k >= d ? k + 1 : (k == d ? -1 : k));
    else map.push_back(k < d ? k : (k == d ? -1 : k - 1));
  }
  if (derives(node)) {
    derive(node, std::move(map));
    return;
  }
  const int64_t cdim = g.values[in].cdim;
  if (cdim < 0 || (squeeze && d == cdim)) {
    refuse(node, cdim < 0 ? "has no input with tracked channels"
                          : "squeezes the channel dimension, which it would drop once a plan left one channel");
    return;
  }
  for (int64_t k = 0; k < rank(out); ++k)
    if (map[k] == cdim) moved_channels(node, in, k);
}

// ---- slices -------------------------------------------------------------------

// x[:, a:b:s] along dimension `dim`: a Slice op when it cuts the channels, a
// pass-through when it cuts another dimension, and, for an attribute whose
// channels are not known yet, a derivation when it keeps every element.
void Builder::select(const jit::Node* node, int64_t dim, Op op) {
  const int in = value_id(node->input(0));
  const int64_t d = wrap_dim(dim, rank(in));
  if (!g.values[in].shaped || d < 0 || d >= rank(in)) {
    refuse(node, "slices a tensor of unknown shape");
    return;
  }
  if (derives(node)) {
    const auto whole = select_channels(op, g.values[in].shape[d]);
    if (!whole || whole->start != 0 || whole->step != 1 || whole->stop != g.values[in].shape[d]) {
      refuse(node, "selects part of a tensor attribute or constant before its channels are known");
      return;
    }
    std::vector<int64_t> map;
    for (int64_t k = 0; k < rank(in); ++k) map.push_back(k);
    derive(node, std::move(map));
    return;
  }
  const int64_t cdim = g.values[in].cdim;
  if (cdim < 0) {
    refuse(node, "has no input with tracked channels");
    return;
  }
  if (d != cdim) {
    moved_channels(node, in, cdim);
    return;
  }
  const int out = value_id(node->output(0));
  g.values[out].cdim = cdim;
  op.ins = {in};
  op.outs = {out};
  op.what = std::string("operation ") + node->kind().toQualString() + " " + bounds_text(op) +
            " of the channels, with bounds fixed in the model's code";
  g.add_op(std::move(op));
}

void Builder::slice(const jit::Node* node) {
  const auto dim = const_int(node->input(1));
  const auto start = int_or(node->input(2), 0);
  const auto stop = int_or(node->input(3), std::numeric_limits<int64_t>::max());
  const auto step = const_int(node->input(4));
  if (!dim || !start || !stop || !step || *step < 1) {
    refuse(node, "slices by bounds computed at run time, which the dependency graph cannot follow");
    return;
  }
  Op op(OpKind::Slice);
  op.start = *start;
  op.stop = *stop;
  op.step = *step;
  select(node, *dim, std::move(op));
}

void Builder::narrow(const jit::Node* node) {
  const auto dim = const_int(node->input(1));
  const auto start = const_int(node->input(2));
  const auto length = const_int(node->input(3));
  if (!dim || !start || !length || *length < 0) {
    refuse(node, "narrows by bounds computed at run time, which the dependency graph cannot follow");
    return;
  }
  Op op(OpKind::Slice);
  op.start = *start;
  op.length = *length;
  select(node, *dim, std::move(op));
}

// ---- padding --------------------------------------------------------------------

// Constant padding of the channels concatenates channels the code fixes in
// number before and after the input's: a Cat whose outer parts are values
// without a producer, so that no plan removes them. Padding that repeats
// channels (reflect, replicate, circular) or crops them is refused.
void Builder::pad(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const int64_t cdim = g.values[in].cdim;
  const auto pads = const_int_list(node->input(1));
  const int64_t pair = 2 * (rank(in) - 1 - cdim);  // where the channels' amounts sit
  if (cdim < 0 || !g.values[in].shaped || (pads && pair + 1 >= static_cast<int64_t>(pads->size())) ||
      (pads && (*pads)[pair] == 0 && (*pads)[pair + 1] == 0)) {
    add_same(node, true);  // other dimensions only
    return;
  }
  if (!pads) {
    refuse(node, "pads by amounts computed at run time, which the dependency graph cannot follow");
    return;
  }
  const auto mode = node->kind() == c10::aten::pad ? jit::toIValue(node->input(2)) : c10::nullopt;
  if (node->kind() == c10::aten::pad && !(mode && mode->isString() && mode->toStringRef() == "constant")) {
    refuse(node, "pads the channel dimension in a mode other than 'constant', so its padding repeats channels "
                 "that pruning would remove");
    return;
  }
  if ((*pads)[pair] < 0 || (*pads)[pair + 1] < 0) {
    refuse(node, "crops the channel dimension (negative padding) by amounts fixed in the model's code");
    return;
  }
  const int out = value_id(node->output(0));
  g.values[out].cdim = cdim;
  Op op(OpKind::Cat, {}, {out});
  for (int64_t amount : {(*pads)[pair], int64_t{-1}, (*pads)[pair + 1]}) {
    if (amount < 0) {
      op.ins.push_back(in);
      continue;
    }
    if (amount == 0) continue;
    ValueInfo padding;
    padding.shape = g.values[in].shape;
    padding.shape[cdim] = amount;
    padding.shaped = true;
    padding.cdim = cdim;
    padding.source = std::string("the padding of operation ") + node->kind().toQualString() +
                     ", whose width the model's code fixes";
    op.ins.push_back(g.add_value(std::move(padding)));
  }
  g.add_op(std::move(op));
}

// ---- pixel and channel shuffles ------------------------------------------------

// A Flatten op whose steps show in a plan as a view of this node's shapes.
void Builder::add_view_op(const jit::Node* node, int64_t block, bool merges_blocks) {
  const int in = value_id(node->input(0));
  const int out = value_id(node->output(0));
  Op op(OpKind::Flatten, {in}, {out});
  op.block = block;
  op.merges_blocks = merges_blocks;
  g.values[out].cdim = g.values[in].cdim;
  op.view = static_cast<int>(g.views.size());
  g.views.push_back({node->kind().toQualString(), shape_text(g.values[in].shape) + " -> " +
                                                      shape_text(g.values[out].shape)});
  g.add_op(std::move(op));
}

// pixel_unshuffle(r) turns each channel into r*r channels; pixel_shuffle(r)
// turns each r*r channels into one. Both work on dimension -3.
void Builder::pixel_shuffle(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const auto factor = const_int(node->input(1));
  if (!factor || *factor < 1 || rank(in) < 3 || g.values[in].cdim != rank(in) - 3) {
    refuse(node, "regroups pixels of a tensor whose channels are not its third dimension from the end");
    return;
  }
  add_view_op(node, *factor * *factor, node->kind() == c10::aten::pixel_shuffle);
}

// channel_shuffle(groups): the channels, viewed as `groups` rows, are read by
// columns; the code fixes the number of groups.
void Builder::channel_shuffle(const jit::Node* node) {
  const int in = value_id(node->input(0));
  const auto groups = const_int(node->input(1));
  if (!groups || *groups < 1 || g.values[in].cdim != 1) {
    refuse(node, "shuffles channels that are not the second dimension, or in groups computed at run time");
    return;
  }
  const int out = value_id(node->output(0));
  g.values[out].cdim = 1;
  Op op(OpKind::Shuffle, {in}, {out});
  op.chunks = *groups;
  op.major_fixed = true;
  g.add_op(std::move(op));
}

}  // namespace orrery::dependency::detail
