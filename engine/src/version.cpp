#include "orrery_engine/version.h"

#include <c10/util/Exception.h>

#include <cctype>

namespace orrery::engine {

namespace {
// Reads the leading decimal number at `pos`, advancing past it.
int read_number(const std::string& text, size_t& pos) {
  const size_t start = pos;
  int value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  TORCH_CHECK(pos > start, "cannot read a version number from \"", text, "\"");
  return value;
}
}  // namespace

std::pair<int, int> major_minor(const std::string& version) {
  size_t pos = 0;
  const int major = read_number(version, pos);
  TORCH_CHECK(pos < version.size() && version[pos] == '.',
              "a version needs a major and a minor number, got \"", version, "\"");
  ++pos;
  const int minor = read_number(version, pos);
  return {major, minor};
}

bool version_at_least(const std::string& version, int major, int minor) {
  return major_minor(version) >= std::make_pair(major, minor);
}

}  // namespace orrery::engine
