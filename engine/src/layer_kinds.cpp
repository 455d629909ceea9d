#include "orrery_engine/layer_kinds.h"

#include <c10/util/Exception.h>

#include <algorithm>
#include <cstring>

namespace orrery::dependency {

const std::vector<LayerKind>& layer_kinds() {
  static const std::vector<LayerKind> table = {
      // kind, name, text, module, base class, plan origins,
      // in size, out size, groups, prune output, prune input, prune both
      {ModuleKind::Conv, "conv", "a convolution", "torch.nn.modules.conv", "_ConvNd",
       {"Conv1d", "Conv2d", "Conv3d", "ConvTranspose1d", "ConvTranspose2d", "ConvTranspose3d"},
       "in_channels", "out_channels", "groups", "prune_conv", "prune_related_conv", "prune_group_conv"},
      {ModuleKind::Linear, "linear", "a linear layer", "torch.nn.modules.linear", "Linear", {"Linear"},
       "in_features", "out_features", nullptr, "prune_linear", "prune_related_linear", nullptr},
      // Batch and instance norms: _NormBase holds num_features, the optional
      // affine parameters and the optional running statistics of both.
      {ModuleKind::BatchNorm, "batch_norm", "a batch or instance norm", "torch.nn.modules.batchnorm",
       "_NormBase",
       {"BatchNorm1d", "BatchNorm2d", "BatchNorm3d", "InstanceNorm1d", "InstanceNorm2d", "InstanceNorm3d"},
       nullptr, "num_features", nullptr, nullptr, nullptr, "prune_batchnorm"},
      {ModuleKind::PReLU, "prelu", "a PReLU", "torch.nn.modules.activation", "PReLU", {},
       nullptr, "num_parameters", nullptr, nullptr, nullptr, "prune_prelu", /*one_is_shared=*/true},
      {ModuleKind::LayerNorm, "layer_norm", "a layer norm", "torch.nn.modules.normalization", "LayerNorm", {},
       nullptr, "normalized_shape", nullptr, nullptr, nullptr, "prune_layernorm"},
      {ModuleKind::GroupNorm, "group_norm", "a group norm", "torch.nn.modules.normalization", "GroupNorm",
       {"GroupNorm"}, nullptr, "num_channels", "num_groups", nullptr, nullptr, "prune_groupnorm",
       /*one_is_shared=*/false, /*whole_groups_may_go=*/true},
      {ModuleKind::Parameter, "parameter", "a per-channel tensor", nullptr, nullptr, {},
       nullptr, nullptr, nullptr, nullptr, nullptr, "prune_parameter"},
  };
  return table;
}

const LayerKind& layer_kind(ModuleKind kind) {
  for (const LayerKind& row : layer_kinds())
    if (row.kind == kind) return row;
  TORCH_INTERNAL_ASSERT(false, "a module kind without a row in the layer kind table");
}

bool sides_tied(ModuleKind kind, const ModuleSizes& s) {
  if (layer_kind(kind).in_size == nullptr) return true;
  // A depthwise convolution: each input channel is its own group, with as
  // many outputs as every other.
  return kind == ModuleKind::Conv && s.groups > 1 && s.groups == s.in && s.out > 0 && s.out % s.groups == 0;
}

int64_t outputs_per_group(ModuleKind kind, const ModuleSizes& s) {
  return kind == ModuleKind::Conv && sides_tied(kind, s) ? s.out / s.groups : 1;
}

Side step_side(ModuleKind kind, const ModuleSizes& s, Side side) {
  if (sides_tied(kind, s)) return Side::Both;
  // Asked for both sides of a module whose sides are apart (prune_group_conv
  // on a convolution that is no longer depthwise): its outputs lead.
  return side == Side::Both ? Side::Output : side;
}

int64_t side_width(const ModuleSizes& s, Side side) { return side == Side::Output ? s.out : s.in; }

const char* prune_function(ModuleKind kind, Side side) {
  const LayerKind& row = layer_kind(kind);
  switch (side) {
    case Side::Output: return row.prune_output;
    case Side::Input: return row.prune_input;
    case Side::Both: return row.prune_both;
  }
  return nullptr;
}

const std::vector<const char*>& size_attributes() {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> out;
    auto add = [&out](const char* name) {
      if (name == nullptr) return;
      for (const char* seen : out)
        if (std::strcmp(seen, name) == 0) return;
      out.push_back(name);
    };
    for (const LayerKind& row : layer_kinds()) {
      add(row.in_size);
      add(row.out_size);
      add(row.groups_size);
    }
    return out;
  }();
  return names;
}

GroupLoss group_loss(int64_t width, int64_t groups, const std::vector<int64_t>& idxs,
                     bool whole_groups_may_go) {
  GroupLoss loss;
  if (groups <= 1 || width <= 0 || width % groups != 0) return loss;
  const int64_t per = width / groups;
  std::vector<int64_t> lost(groups, 0);
  for (int64_t i : idxs)
    if (i >= 0 && i < width) ++lost[i / per];
  bool first = true;
  for (int64_t g = 0; g < groups; ++g) {
    if (lost[g] == per) ++loss.emptied;
    if (whole_groups_may_go && lost[g] == per) continue;
    if (first || lost[g] > loss.most) loss.most_group = g, loss.most = lost[g];
    if (first || lost[g] < loss.least) loss.least_group = g, loss.least = lost[g];
    first = false;
  }
  loss.equal = loss.most == loss.least;
  return loss;
}

}  // namespace orrery::dependency
