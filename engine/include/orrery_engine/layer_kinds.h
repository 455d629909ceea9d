// The kinds of layer that channel pruning changes, each described once.
//
// A row says which torch.nn classes the kind covers, which size attributes
// hold its widths, which structured function prunes each of its sides and
// whether a whole-model pruning plan may start from it. The planner, the
// Python binding (sizes, class checks, plan steps), the surgeon's table of
// plan origins and the restoration of sizes after a failed plan all read this
// table, so teaching pruning a new kind of layer is one row here plus its
// pruning function (see docs/architecture.md).
#pragma once

#include <cstdint>
#include <vector>

namespace orrery::dependency {

// Parameter: a per-channel tensor attribute (a parameter or buffer) that the
// model combines with its activations element-wise, such as a layer scale or
// a bias added by hand; it loses channels along `ModuleInfo::dim`.
enum class ModuleKind { Conv, Linear, BatchNorm, PReLU, LayerNorm, GroupNorm, Parameter };

// Which channels of a module a step removes. Both: its input and output
// channels go together (a norm, a PReLU, a depthwise convolution). A Both
// step's indices number the input channels: for a depthwise convolution with
// k outputs per group they are its groups, and group c takes input c with
// outputs c*k .. c*k+k-1.
enum class Side { Output, Input, Both };

// The size attributes of a module as they are now. `groups` is 1 for kinds
// without groups. Negative sizes stand for a module whose sizes are unknown
// (it runs a layer's operation on parameters of its own).
struct ModuleSizes {
  int64_t in = 0;
  int64_t out = 0;
  int64_t groups = 1;
};

struct LayerKind {
  ModuleKind kind;
  const char* name;  // short name, as the graph's dump prints it
  const char* text;  // "a convolution", for messages
  // The class every layer of the kind derives from (a module path and a
  // class name, e.g. "torch.nn.modules.conv" "_ConvNd"); null for Parameter.
  const char* module;
  const char* base_class;
  // The exact classes a whole-model plan may start from (torch.nn names);
  // empty when plans do not start from this kind.
  std::vector<const char*> plan_origins;
  // Size attributes: the input width (null when the kind has one width for
  // both sides), the output width and the number of groups (null when none).
  // An attribute holding a tuple (a LayerNorm's normalized_shape) gives its
  // last entry.
  const char* in_size;
  const char* out_size;
  const char* groups_size;
  // The structured pruning function of each side; null when the kind has no
  // such side.
  const char* prune_output;
  const char* prune_input;
  const char* prune_both;
  // A width of 1 means one value shared by every channel (a PReLU with one
  // slope): such a module keeps its size while the channels around it shrink.
  bool one_is_shared = false;
  // Whether a group may lose all its channels (and the layer one group) while
  // the others keep equal widths: true where groups are independent (a group
  // norm); a grouped convolution's groups pair inputs with outputs instead.
  bool whole_groups_may_go = false;
};

const std::vector<LayerKind>& layer_kinds();
const LayerKind& layer_kind(ModuleKind kind);

// Whether a module of `kind` with sizes `s` loses input and output channels
// together: kinds with one width, and depthwise convolutions (groups ==
// in_channels > 1, out_channels a multiple of groups: a channel multiplier).
// One with several outputs per group may also lose outputs alone, as many
// from every group; a plan takes whole groups only where it must.
bool sides_tied(ModuleKind kind, const ModuleSizes& s);

// The outputs each group of a depthwise convolution computes from its one
// input (the channel multiplier k); 1 for every module whose sides are not
// so tied.
int64_t outputs_per_group(ModuleKind kind, const ModuleSizes& s);

// The side a step takes when channels reach the module's `side` (Both for
// tied sides, Output when Both is asked of sides that are apart), and the
// width of that side before the step (Both: the input width, which is the
// only width of one-width kinds and a depthwise convolution's groups).
Side step_side(ModuleKind kind, const ModuleSizes& s, Side side);
int64_t side_width(const ModuleSizes& s, Side side);

// The structured function a (kind, side) step applies, or null.
const char* prune_function(ModuleKind kind, Side side);

// The size attribute names of every kind, each once, in table order.
const std::vector<const char*>& size_attributes();

// Channels held in `groups` equal groups of `width / groups` channels stay in
// equal groups only when every group loses as many as every other; where
// whole groups may go, every group that keeps channels must keep as many.
// GroupLoss says whether removing `idxs` (distinct, in [0, width)) does; if
// not, it names the group losing most channels and the one losing least among
// those that matter. `emptied` counts the groups that would lose everything.
struct GroupLoss {
  bool equal = true;
  int64_t most_group = 0, most = 0;
  int64_t least_group = 0, least = 0;
  int64_t emptied = 0;
};
GroupLoss group_loss(int64_t width, int64_t groups, const std::vector<int64_t>& idxs,
                     bool whole_groups_may_go = false);

}  // namespace orrery::dependency
