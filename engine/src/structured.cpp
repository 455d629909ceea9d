#include "orrery_engine/structured.h"

#include "orrery_engine/layer_kinds.h"

#include <c10/util/Exception.h>

#include <tuple>
#include <utility>

namespace orrery::structured {

std::vector<int64_t> kept_indices(int64_t size, const std::vector<int64_t>& idxs, bool merge_repeats,
                                  const char* fn, const char* size_name) {
  std::vector<char> removed(static_cast<size_t>(std::max<int64_t>(size, 0)), 0);
  for (int64_t idx : idxs) {
    TORCH_CHECK_VALUE(idx >= 0, fn, ": negative channel index ", idx, "; indices must lie in [0, ",
                      size, ") for ", size_name, "=", size);
    TORCH_CHECK_VALUE(idx < size, fn, ": channel index ", idx, " is out of range for ", size_name,
                      "=", size, "; indices must lie in [0, ", size, ")");
    TORCH_CHECK_VALUE(merge_repeats || !removed[idx], fn, ": channel index ", idx,
                      " is repeated; pass each index once");
    removed[idx] = 1;
  }
  std::vector<int64_t> keep;
  keep.reserve(removed.size());
  for (int64_t i = 0; i < size; ++i) {
    if (!removed[i]) keep.push_back(i);
  }
  return keep;
}

at::Tensor keep_slices(const at::Tensor& tensor, int64_t dim, const std::vector<int64_t>& keep) {
  at::Tensor index = at::tensor(keep, at::TensorOptions().dtype(at::kLong)).to(tensor.device());
  // index_select always copies, so the result shares nothing with the old tensor.
  return tensor.detach().index_select(dim, index);
}

namespace {

int64_t product_from(const at::Tensor& t, int64_t first_dim) {
  int64_t p = 1;
  for (int64_t d = first_dim; d < t.dim(); ++d) p *= t.size(d);
  return p;
}

// Weight and bias without the removed output units, computed before the
// caller changes anything so that a failure leaves the module as it was.
std::pair<at::Tensor, at::Tensor> kept_outputs(const at::Tensor& weight, const at::Tensor& bias,
                                               int64_t weight_dim,
                                               const std::vector<int64_t>& keep) {
  return {keep_slices(weight, weight_dim, keep),
          bias.defined() ? keep_slices(bias, 0, keep) : at::Tensor()};
}

void refuse_if_emptied(int64_t new_size, const char* fn, const char* size_name) {
  if (new_size <= 0) {
    throw AllChannelsRemoved(std::string(fn) + ": removing every entry of " + size_name);
  }
}

}  // namespace

namespace {

// A grouped convolution runs only with groups of equal width, so each group
// must lose as many channels as every other; which ones may differ, since a
// group's outputs read only that group's inputs. Returns, per group, the kept
// positions inside the group.
std::vector<std::vector<int64_t>> kept_per_group(const ConvState& conv, int64_t size,
                                                 const std::vector<int64_t>& keep, const char* fn,
                                                 const char* size_name) {
  TORCH_CHECK_VALUE(!(conv.groups == conv.in_channels && conv.groups == conv.out_channels), fn,
                    ": the convolution is depthwise (groups=", conv.groups,
                    "); its channels go together on both sides, use prune_group_conv");
  TORCH_CHECK_VALUE(!conv.transposed, fn, ": the transposed convolution is grouped (groups=",
                    conv.groups, "); only grouped convolutions that are not transposed can lose "
                    "channels inside their groups");
  const int64_t width = size / conv.groups;
  std::vector<int64_t> removed;
  std::vector<char> kept(size, 0);
  for (int64_t i : keep) kept[i] = 1;
  for (int64_t i = 0; i < size; ++i)
    if (!kept[i]) removed.push_back(i);
  const auto loss = dependency::group_loss(size, conv.groups, removed);
  TORCH_CHECK_VALUE(loss.equal, fn, ": the grouped convolution has groups=", conv.groups, " of ", width, " ",
                    size_name, " each; group ", loss.most_group, " would lose ", loss.most, " but group ",
                    loss.least_group, " ", loss.least, "; remove the same number of channels from every group");
  std::vector<std::vector<int64_t>> per_group(conv.groups);
  for (int64_t i : keep) per_group[i / width].push_back(i % width);
  return per_group;
}

}  // namespace

int64_t prune_conv(ConvState& conv, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(conv.out_channels, idxs, true, "prune_conv", "out_channels");
  if (conv.groups > 1) kept_per_group(conv, conv.out_channels, keep, "prune_conv", "out_channels");
  const int64_t n = conv.out_channels - static_cast<int64_t>(keep.size());
  const int64_t num_pruned = n * product_from(conv.weight, 1) + (conv.bias.defined() ? n : 0);
  refuse_if_emptied(conv.out_channels - n, "prune_conv", "out_channels");
  auto kept = kept_outputs(conv.weight, conv.bias, conv.transposed ? 1 : 0, keep);
  conv.out_channels -= n;
  std::tie(conv.weight, conv.bias) = kept;
  return num_pruned;
}

int64_t prune_related_conv(ConvState& conv, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(conv.in_channels, idxs, true, "prune_related_conv", "in_channels");
  const int64_t n = conv.in_channels - static_cast<int64_t>(keep.size());
  refuse_if_emptied(conv.in_channels - n, "prune_related_conv", "in_channels");
  if (conv.groups > 1) {
    // Each group's block of output rows keeps the columns of its own inputs.
    const auto per_group = kept_per_group(conv, conv.in_channels, keep, "prune_related_conv", "in_channels");
    const int64_t rows = conv.out_channels / conv.groups;
    std::vector<at::Tensor> blocks;
    for (int64_t g = 0; g < conv.groups; ++g)
      blocks.push_back(keep_slices(conv.weight.detach().narrow(0, g * rows, rows), 1, per_group[g]));
    const int64_t num_pruned = (conv.weight.numel() - conv.weight.size(0) * static_cast<int64_t>(
                                                          per_group[0].size()) * product_from(conv.weight, 2));
    conv.weight = at::cat(blocks, 0);
    conv.in_channels -= n;
    return num_pruned;
  }
  const int64_t num_pruned = n * conv.weight.size(0) * product_from(conv.weight, 2);
  conv.weight = keep_slices(conv.weight, conv.transposed ? 0 : 1, keep);
  conv.in_channels -= n;
  return num_pruned;
}

int64_t prune_group_conv(ConvState& conv, const std::vector<int64_t>& idxs) {
  if (conv.groups > 1 && !(conv.groups == conv.in_channels && conv.groups == conv.out_channels)) {
    throw NotDepthwise();
  }
  // Lowering groups of an ungrouped convolution would break it.
  TORCH_CHECK_VALUE(conv.groups > 1, "prune_group_conv: the convolution has groups=1; this function "
                    "prunes depthwise convolutions only, use prune_conv for its output channels");
  auto keep = kept_indices(conv.out_channels, idxs, true, "prune_group_conv", "out_channels");
  const int64_t n = conv.out_channels - static_cast<int64_t>(keep.size());
  const int64_t num_pruned = n * product_from(conv.weight, 1) + (conv.bias.defined() ? n : 0);
  // groups=0 is no convolution at all.
  refuse_if_emptied(conv.out_channels - n, "prune_group_conv", "out_channels");
  auto kept = kept_outputs(conv.weight, conv.bias, 0, keep);
  conv.out_channels -= n;
  conv.in_channels -= n;
  conv.groups -= n;
  std::tie(conv.weight, conv.bias) = kept;
  return num_pruned;
}

int64_t prune_linear(LinearState& linear, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(linear.out_features, idxs, false, "prune_linear", "out_features");
  const int64_t n = static_cast<int64_t>(idxs.size());
  const int64_t num_pruned = n * linear.weight.size(1) + (linear.bias.defined() ? n : 0);
  refuse_if_emptied(linear.out_features - n, "prune_linear", "out_features");
  auto kept = kept_outputs(linear.weight, linear.bias, 0, keep);
  linear.out_features -= n;
  std::tie(linear.weight, linear.bias) = kept;
  return num_pruned;
}

int64_t prune_related_linear(LinearState& linear, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(linear.in_features, idxs, false, "prune_related_linear", "in_features");
  const int64_t n = static_cast<int64_t>(idxs.size());
  const int64_t num_pruned = n * linear.weight.size(0);
  refuse_if_emptied(linear.in_features - n, "prune_related_linear", "in_features");
  linear.weight = keep_slices(linear.weight, 1, keep);
  linear.in_features -= n;
  return num_pruned;
}

int64_t prune_batchnorm(BatchNormState& bn, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(bn.num_features, idxs, false, "prune_batchnorm", "num_features");
  const int64_t n = static_cast<int64_t>(idxs.size());
  const int64_t num_pruned = bn.affine ? 2 * n : n;
  refuse_if_emptied(bn.num_features - n, "prune_batchnorm", "num_features");
  BatchNormState out = bn;
  out.num_features -= n;
  if (bn.running_mean.defined()) out.running_mean = keep_slices(bn.running_mean, 0, keep);
  if (bn.running_var.defined()) out.running_var = keep_slices(bn.running_var, 0, keep);
  if (bn.affine) {
    out.weight = keep_slices(bn.weight, 0, keep);
    out.bias = keep_slices(bn.bias, 0, keep);
  }
  bn = out;
  return num_pruned;
}

int64_t prune_prelu(PReLUState& prelu, const std::vector<int64_t>& idxs) {
  // One slope shared by every channel: nothing per channel to remove.
  if (prelu.num_parameters == 1) return 0;
  auto keep = kept_indices(prelu.num_parameters, idxs, false, "prune_prelu", "num_parameters");
  const int64_t n = static_cast<int64_t>(idxs.size());
  refuse_if_emptied(prelu.num_parameters - n, "prune_prelu", "num_parameters");
  prelu.weight = keep_slices(prelu.weight, 0, keep);
  prelu.num_parameters -= n;
  return n;
}

namespace {

// A norm's optional per-channel weight and bias keep the slices `keep`;
// returns the number of values removed.
int64_t keep_affine(at::Tensor& weight, at::Tensor& bias, const std::vector<int64_t>& keep) {
  int64_t removed = 0;
  for (at::Tensor* t : {&weight, &bias}) {
    if (!t->defined()) continue;
    removed += t->size(0) - static_cast<int64_t>(keep.size());
    *t = keep_slices(*t, 0, keep);
  }
  return removed;
}

}  // namespace

int64_t prune_layernorm(LayerNormState& norm, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(norm.channels, idxs, false, "prune_layernorm", "normalized_shape[0]");
  const int64_t n = static_cast<int64_t>(idxs.size());
  refuse_if_emptied(norm.channels - n, "prune_layernorm", "normalized_shape[0]");
  LayerNormState out = norm;
  out.channels -= n;
  const int64_t num_pruned = keep_affine(out.weight, out.bias, keep);
  norm = out;
  return num_pruned;
}

int64_t prune_groupnorm(GroupNormState& norm, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(norm.channels, idxs, false, "prune_groupnorm", "num_channels");
  const int64_t n = static_cast<int64_t>(idxs.size());
  refuse_if_emptied(norm.channels - n, "prune_groupnorm", "num_channels");
  TORCH_CHECK_VALUE(norm.groups > 0 && norm.channels % norm.groups == 0, "prune_groupnorm: num_channels=",
                    norm.channels, " does not divide into num_groups=", norm.groups);
  const auto loss = dependency::group_loss(norm.channels, norm.groups, idxs, /*whole_groups_may_go=*/true);
  TORCH_CHECK_VALUE(loss.equal, "prune_groupnorm: the group norm has num_groups=", norm.groups, " of ",
                    norm.channels / norm.groups, " channels each; group ", loss.most_group, " would lose ",
                    loss.most, " but group ", loss.least_group, " ", loss.least,
                    "; remove the same number of channels from every group, or whole groups");
  GroupNormState out = norm;
  out.channels -= n;
  out.groups -= loss.emptied;
  const int64_t num_pruned = keep_affine(out.weight, out.bias, keep);
  norm = out;
  return num_pruned;
}

int64_t prune_tensor(at::Tensor& tensor, int64_t dim, const std::vector<int64_t>& idxs) {
  TORCH_CHECK_VALUE(dim >= 0 && dim < tensor.dim(), "prune_parameter: dimension ", dim,
                    " does not exist in a tensor of shape ", tensor.sizes());
  const int64_t size = tensor.size(dim);
  auto keep = kept_indices(size, idxs, false, "prune_parameter", "the pruned dimension");
  refuse_if_emptied(size - static_cast<int64_t>(idxs.size()), "prune_parameter", "the pruned dimension");
  at::Tensor smaller = keep_slices(tensor, dim, keep);
  const int64_t removed = tensor.numel() - smaller.numel();
  tensor = smaller;
  return removed;
}

}  // namespace orrery::structured
