#pragma once

#include <string>
#include <utility>

namespace orrery::engine {

// Major and minor numbers of a version string such as "1.13.0a0+git" or
// "2.1". Compared numerically, so 1.10 ranks above 1.6.
std::pair<int, int> major_minor(const std::string& version);

// True when `version` is at least major.minor.
bool version_at_least(const std::string& version, int major, int minor);

}  // namespace orrery::engine
