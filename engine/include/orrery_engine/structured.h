// Removing whole channels from the tensors of single modules.
//
// Each module kind is described by a plain struct holding its size attributes
// and tensors. A pruning function checks its input completely, then computes
// every new tensor, and only then writes the struct: a refused call leaves the
// struct exactly as it was, so a caller that copies the struct back into a
// module only on success never leaves a module half-changed.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orrery::structured {

// Raised when a call would leave a module with no channels on the pruned side.
struct AllChannelsRemoved : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Raised by prune_group_conv on a grouped convolution that is not depthwise.
struct NotDepthwise : std::logic_error {
  NotDepthwise(int64_t in_channels, int64_t out_channels, int64_t groups)
      : std::logic_error("only group conv with in_channel==groups and out_channels a multiple of groups "
                         "(a depthwise convolution) is supported; this one has in_channels=" +
                         std::to_string(in_channels) + ", out_channels=" + std::to_string(out_channels) +
                         ", groups=" + std::to_string(groups) + ": use prune_conv and prune_related_conv, "
                         "which remove the same number of channels from every group") {}
};

// Bad indices (out of range, negative, repeated where repeats are not merged)
// and unsuitable modules raise c10::ValueError with a message naming the
// function, the offending value and the valid range.

struct ConvState {
  int64_t in_channels = 0;
  int64_t out_channels = 0;
  int64_t groups = 1;
  bool transposed = false;
  at::Tensor weight;
  at::Tensor bias;  // undefined when the convolution has none
};

struct LinearState {
  int64_t in_features = 0;
  int64_t out_features = 0;
  at::Tensor weight;
  at::Tensor bias;  // undefined when the layer has none
};

struct BatchNormState {
  int64_t num_features = 0;
  bool affine = true;
  at::Tensor weight, bias;                 // used only when affine
  at::Tensor running_mean, running_var;    // undefined when statistics are not tracked
};

struct PReLUState {
  int64_t num_parameters = 1;
  at::Tensor weight;
};

// A layer norm over the channels alone: normalized_shape == {channels}.
struct LayerNormState {
  int64_t channels = 0;
  at::Tensor weight, bias;  // undefined without elementwise affine parameters
};

// A group norm: `channels` in `groups` equal groups.
struct GroupNormState {
  int64_t channels = 0;
  int64_t groups = 1;
  at::Tensor weight, bias;  // undefined without affine parameters
};

// Every function returns the number of learnable parameters removed.
int64_t prune_conv(ConvState& conv, const std::vector<int64_t>& idxs);
int64_t prune_related_conv(ConvState& conv, const std::vector<int64_t>& idxs);
// A depthwise convolution (groups == in_channels, k = out_channels / groups
// outputs per group) loses whole groups: `idxs` number the groups, which are
// its input channels, and group c takes outputs c*k .. c*k+k-1 with it.
int64_t prune_group_conv(ConvState& conv, const std::vector<int64_t>& idxs);
int64_t prune_linear(LinearState& linear, const std::vector<int64_t>& idxs);
int64_t prune_related_linear(LinearState& linear, const std::vector<int64_t>& idxs);
int64_t prune_batchnorm(BatchNormState& bn, const std::vector<int64_t>& idxs);
int64_t prune_prelu(PReLUState& prelu, const std::vector<int64_t>& idxs);
int64_t prune_layernorm(LayerNormState& norm, const std::vector<int64_t>& idxs);
// Every group keeps as many channels as every other; a group losing all of
// its channels goes, and `groups` with it.
int64_t prune_groupnorm(GroupNormState& norm, const std::vector<int64_t>& idxs);
// A per-channel tensor (a layer scale, a bias added by hand) loses the slices
// `idxs` along `dim`; returns the number of elements removed.
int64_t prune_tensor(at::Tensor& tensor, int64_t dim, const std::vector<int64_t>& idxs);

// The ascending indices of range(size) absent from `idxs`, after checking that
// every index lies in [0, size) and, unless `merge_repeats`, that none repeats.
// `fn` and `size_name` name the caller and its size attribute in messages.
std::vector<int64_t> kept_indices(int64_t size, const std::vector<int64_t>& idxs, bool merge_repeats,
                                  const char* fn, const char* size_name);

// The output channels of `groups` of a depthwise convolution with
// `per_group` outputs per group: c*per_group .. c*per_group+per_group-1 for
// each group c, in the order given.
std::vector<int64_t> depthwise_outputs(int64_t per_group, const std::vector<int64_t>& groups);

// The slices `keep` of `tensor` along `dim`, as a new tensor of its own.
at::Tensor keep_slices(const at::Tensor& tensor, int64_t dim, const std::vector<int64_t>& keep);

}  // namespace orrery::structured
