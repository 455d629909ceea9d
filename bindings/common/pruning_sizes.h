// The size attributes of torch.nn modules that channel pruning lowers. The
// surgeon restores them and the dependency graph checks them against plans,
// so both read this one list.
#pragma once

namespace orrery::bind {

inline constexpr const char* kPrunedSizeAttributes[] = {
    "in_channels", "out_channels", "groups", "in_features",
    "out_features", "num_features", "num_parameters", "normalized_shape"};

}  // namespace orrery::bind
