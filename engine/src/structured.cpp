#include "orrery_engine/structured.h"

#include "orrery_engine/layer_kinds.h"

#include <c10/util/Exception.h>

#include <algorithm>
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

// A depthwise convolution: each input channel is its own group, computing
// out_channels / groups outputs (the channel multiplier).
bool depthwise(const ConvState& conv) {
  return conv.groups > 1 && conv.groups == conv.in_channels && conv.out_channels % conv.groups == 0;
}

// The weight holds out x in/groups (in x out/groups when transposed) slices;
// one that does not would be cut along the wrong channels.
void check_weight(const ConvState& conv, const char* fn) {
  const int64_t rows = conv.transposed ? conv.in_channels : conv.out_channels;
  const int64_t columns = conv.transposed ? conv.out_channels : conv.in_channels;
  TORCH_CHECK_VALUE(conv.groups > 0 && conv.weight.dim() >= 2 && conv.weight.size(0) == rows &&
                        conv.weight.size(1) * conv.groups == columns,
                    fn, ": the weight's shape ", conv.weight.sizes(), " does not match in_channels=",
                    conv.in_channels, ", out_channels=", conv.out_channels, ", groups=", conv.groups,
                    conv.transposed ? " of a transposed convolution" : "",
                    "; only a convolution whose sizes describe its weight can be pruned");
}

// A grouped convolution runs only with groups of equal width, so each group
// must lose as many channels as every other; which ones may differ, since a
// group's outputs read only that group's inputs. Returns, per group, the kept
// positions inside the group.
std::vector<std::vector<int64_t>> kept_per_group(const ConvState& conv, int64_t size,
                                                 const std::vector<int64_t>& keep, const char* fn,
                                                 const char* size_name) {
  TORCH_CHECK_VALUE(!(depthwise(conv) && size == conv.groups), fn, ": the convolution is depthwise (groups=",
                    conv.groups, ", one ", size_name, " per group); a group cannot lose its only channel "
                    "alone, use prune_group_conv to remove whole groups");
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

// The weight without the removed channels of one side (`outputs` or the
// inputs), which keep `keep` of `size`. The side along dim 0 (outputs, or a
// transposed convolution's inputs) keeps rows; the other keeps, in each
// group's block of rows, that group's own positions along dim 1.
at::Tensor kept_weight(const ConvState& conv, bool outputs, const std::vector<int64_t>& keep, const char* fn) {
  const char* size_name = outputs ? "out_channels" : "in_channels";
  const int64_t size = outputs ? conv.out_channels : conv.in_channels;
  std::vector<std::vector<int64_t>> per_group{keep};
  if (conv.groups > 1) per_group = kept_per_group(conv, size, keep, fn, size_name);
  if (outputs != conv.transposed) return keep_slices(conv.weight, 0, keep);
  const int64_t rows = conv.weight.size(0) / conv.groups;
  std::vector<at::Tensor> blocks;
  for (int64_t g = 0; g < conv.groups; ++g)
    blocks.push_back(keep_slices(conv.weight.detach().narrow(0, g * rows, rows), 1, per_group[g]));
  return at::cat(blocks, 0);
}

int64_t removed_values(const at::Tensor& before, const at::Tensor& after) {
  return before.defined() ? before.numel() - after.numel() : 0;
}

}  // namespace

std::vector<int64_t> depthwise_outputs(int64_t per_group, const std::vector<int64_t>& groups) {
  std::vector<int64_t> outputs;
  outputs.reserve(groups.size() * static_cast<size_t>(std::max<int64_t>(per_group, 0)));
  for (int64_t c : groups)
    for (int64_t j = 0; j < per_group; ++j) outputs.push_back(c * per_group + j);
  return outputs;
}

int64_t prune_conv(ConvState& conv, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(conv.out_channels, idxs, true, "prune_conv", "out_channels");
  check_weight(conv, "prune_conv");
  at::Tensor weight = kept_weight(conv, true, keep, "prune_conv");
  refuse_if_emptied(static_cast<int64_t>(keep.size()), "prune_conv", "out_channels");
  at::Tensor bias = conv.bias.defined() ? keep_slices(conv.bias, 0, keep) : at::Tensor();
  const int64_t num_pruned = removed_values(conv.weight, weight) + removed_values(conv.bias, bias);
  conv.out_channels = static_cast<int64_t>(keep.size());
  conv.weight = weight;
  conv.bias = bias;
  return num_pruned;
}

int64_t prune_related_conv(ConvState& conv, const std::vector<int64_t>& idxs) {
  auto keep = kept_indices(conv.in_channels, idxs, true, "prune_related_conv", "in_channels");
  refuse_if_emptied(static_cast<int64_t>(keep.size()), "prune_related_conv", "in_channels");
  check_weight(conv, "prune_related_conv");
  at::Tensor weight = kept_weight(conv, false, keep, "prune_related_conv");
  const int64_t num_pruned = removed_values(conv.weight, weight);
  conv.in_channels = static_cast<int64_t>(keep.size());
  conv.weight = weight;
  return num_pruned;
}

// Whole groups go: group c's input channel and its outputs c*k .. c*k+k-1,
// which are rows c*k .. c*k+k-1 of the weight, or row c of a transposed one.
int64_t prune_group_conv(ConvState& conv, const std::vector<int64_t>& idxs) {
  if (conv.groups > 1 && !depthwise(conv)) throw NotDepthwise(conv.in_channels, conv.out_channels, conv.groups);
  // Lowering groups of an ungrouped convolution would break it.
  TORCH_CHECK_VALUE(conv.groups > 1, "prune_group_conv: the convolution has groups=1; this function "
                    "prunes depthwise convolutions only, use prune_conv for its output channels");
  auto keep = kept_indices(conv.groups, idxs, true, "prune_group_conv", "groups");
  // groups=0 is no convolution at all.
  refuse_if_emptied(static_cast<int64_t>(keep.size()), "prune_group_conv", "groups");
  check_weight(conv, "prune_group_conv");
  const int64_t per_group = conv.out_channels / conv.groups;
  const std::vector<int64_t> outputs = depthwise_outputs(per_group, keep);
  at::Tensor weight = keep_slices(conv.weight, 0, conv.transposed ? keep : outputs);
  at::Tensor bias = conv.bias.defined() ? keep_slices(conv.bias, 0, outputs) : at::Tensor();
  const int64_t num_pruned = removed_values(conv.weight, weight) + removed_values(conv.bias, bias);
  conv.groups = conv.in_channels = static_cast<int64_t>(keep.size());
  conv.out_channels = static_cast<int64_t>(outputs.size());
  conv.weight = weight;
  conv.bias = bias;
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
