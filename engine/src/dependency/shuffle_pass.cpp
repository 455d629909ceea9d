// Finds channel shuffles in a trace before the walk reads it.
//
// ShuffleNet interleaves the channels of its groups with
//   view(n, groups, c / groups, h, w) -> transpose(1, 2) -> [contiguous] -> view(n, c, h, w)
// (or unflatten(1, (groups, -1)) for the first view, permute(0, 2, 1, 3, 4)
// for the transpose, reshape or flatten(1, 2) for the last view).
// No node of that chain can be read on its own: the first splits the channel
// dimension in two, which no later width could be followed through. Read as
// one Shuffle operation the chain is a permutation of the channels, and a
// narrower tensor keeps the factor the model's code fixes as a number (the
// groups here) while the other one shrinks.
#include <algorithm>

#include "builder.h"

namespace orrery::dependency::detail {
namespace {

const jit::Node* sole_user(const jit::Value* v) {
  return v->uses().size() == 1 ? v->uses()[0].user : nullptr;
}

// Whether `split` is `whole` with dimension `d` cut into two factors (neither
// of them 1, which would keep the dimension as it is).
bool splits_dimension(const std::vector<int64_t>& whole, const std::vector<int64_t>& split, size_t d) {
  return d < whole.size() && split.size() == whole.size() + 1 &&
         std::equal(whole.begin(), whole.begin() + d, split.begin()) &&
         std::equal(whole.begin() + d + 1, whole.end(), split.begin() + d + 2) &&
         split[d] * split[d + 1] == whole[d] && split[d + 1] != 1;
}

// The dimension whose two factors a transpose (or a permute that only swaps
// two neighbouring dimensions) of `split` swaps, or -1.
int64_t swapped_pair(const jit::Node* swap, int64_t rank) {
  if (read_by(swap, &Builder::transpose)) {
    auto d0 = const_int(swap->input(1));
    auto d1 = const_int(swap->input(2));
    if (!d0 || !d1) return -1;
    const int64_t a = wrap_dim(*d0, rank), b = wrap_dim(*d1, rank);
    return std::max(a, b) == std::min(a, b) + 1 ? std::min(a, b) : -1;
  }
  auto dims = read_by(swap, &Builder::permute) ? const_int_list(swap->input(1)) : c10::nullopt;
  if (!dims || static_cast<int64_t>(dims->size()) != rank) return -1;
  std::vector<int64_t> order;
  for (int64_t i : *dims) order.push_back(wrap_dim(i, rank));
  int64_t d = 0;
  while (d < rank && order[d] == d) ++d;
  if (d + 1 >= rank || order[d] != d + 1 || order[d + 1] != d) return -1;
  for (int64_t i = d + 2; i < rank; ++i)
    if (order[i] != i) return -1;
  return d;
}

// The node that views the transposed groups back into one dimension, after
// an optional contiguous(); the nodes passed on the way join `passed`.
const jit::Node* merge_after(const jit::Node* swap, std::vector<const jit::Node*>& passed) {
  const jit::Node* merge = sole_user(swap->output(0));
  if (merge != nullptr && merge->kind() == c10::aten::contiguous && read_by(merge, &Builder::same)) {
    passed.push_back(merge);
    merge = sole_user(merge->output(0));
  }
  if (merge == nullptr || !read_by(merge, &Builder::view)) return nullptr;
  const auto k = merge->kind();
  return k == c10::aten::view || k == c10::aten::reshape || k == c10::aten::flatten ? merge : nullptr;
}

// The op a chain becomes. A narrower tensor keeps the factor fixed in the
// code; with both fixed (or the width viewed back to a fixed number) the
// chain breaks, with neither it is unknown which factor would shrink.
Op shuffle_op(const jit::Node* head, const jit::Node* merge, const std::vector<int64_t>& split, size_t d) {
  const bool major_fixed = literal_size(head, d).has_value();
  const bool minor_fixed = literal_size(head, d + 1).has_value();
  const bool width_fixed = literal_size(merge, d).has_value();
  if (major_fixed != minor_fixed && !width_fixed) {
    Op op(OpKind::Shuffle);
    op.chunks = major_fixed ? split[d] : split[d + 1];
    op.major_fixed = major_fixed;
    return op;
  }
  Op refusal(OpKind::Refuse);
  refusal.what = std::string("operation ") + head->kind().toQualString() + " starts a channel shuffle " +
                 (major_fixed || minor_fixed || width_fixed
                      ? "whose group sizes are fixed in the model's code, which pruning would misalign"
                      : "whose group sizes the model's code does not fix, so which of them a narrower "
                        "tensor keeps is unknown");
  return refusal;
}

c10::optional<ShuffleChain> chain_from(const jit::Node* head) {
  if (!read_by(head, &Builder::view)) return c10::nullopt;
  const auto whole = traced_shape(head->input(0));
  const auto split = traced_shape(head->output(0));
  const jit::Node* swap = sole_user(head->output(0));
  if (!whole || !split || swap == nullptr) return c10::nullopt;
  const int64_t d = swapped_pair(swap, static_cast<int64_t>(split->size()));
  if (d < 0 || !splits_dimension(*whole, *split, static_cast<size_t>(d))) return c10::nullopt;
  ShuffleChain chain;
  chain.rest.push_back(swap);
  const jit::Node* merge = merge_after(swap, chain.rest);
  if (merge == nullptr || traced_shape(merge->output(0)) != whole) return c10::nullopt;
  chain.rest.push_back(merge);
  chain.in = head->input(0);
  chain.out = merge->output(0);
  chain.dim = d;
  chain.op = shuffle_op(head, merge, *split, static_cast<size_t>(d));
  return chain;
}

}  // namespace

std::unordered_map<const jit::Node*, ShuffleChain> find_channel_shuffles(const jit::Graph& trace) {
  std::unordered_map<const jit::Node*, ShuffleChain> chains;
  for (const jit::Node* node : trace.nodes()) {
    if (auto chain = chain_from(node)) chains.emplace(node, std::move(*chain));
  }
  return chains;
}

}  // namespace orrery::dependency::detail
