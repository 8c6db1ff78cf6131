#include "tracing/header_key_set.h"

#include <algorithm>

namespace vostrel {

namespace {

// ASCII folding, as for every HTTP field name: cheaper than std::tolower on
// the request path and independent of the host's locale.
unsigned char lowerByte(char c) noexcept {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte | 0x20) : byte;
}

// Stored names are lower case already; only the probe is folded.
bool storedLessThanName(const std::string& stored, opentracing::string_view name) noexcept {
  const std::size_t common = std::min(stored.size(), name.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char a = static_cast<unsigned char>(stored[i]);
    const unsigned char b = lowerByte(name.data()[i]);
    if (a != b) return a < b;
  }
  return stored.size() < name.size();
}

bool equalsIgnoringCase(const std::string& stored, opentracing::string_view name) noexcept {
  if (stored.size() != name.size()) return false;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (static_cast<unsigned char>(stored[i]) != lowerByte(name.data()[i])) return false;
  }
  return true;
}

uint64_t lengthBit(std::size_t length) noexcept { return uint64_t{1} << (length < 63 ? length : 63); }

}  // namespace

HeaderKeySet::HeaderKeySet(std::vector<std::string> names) : names_(std::move(names)) {
  for (std::string& name : names_) {
    for (char& c : name) c = static_cast<char>(lowerByte(c));
  }
  std::sort(names_.begin(), names_.end());
  for (const std::string& name : names_) lengths_ |= lengthBit(name.size());
}

const std::string* HeaderKeySet::find(opentracing::string_view name) const noexcept {
  if ((lengths_ & lengthBit(name.size())) == 0) return nullptr;
  // A handful of names, as agents ask for: the equal lengths alone are compared.
  if (names_.size() <= 8) {
    for (const std::string& stored : names_) {
      if (equalsIgnoringCase(stored, name)) return &stored;
    }
    return nullptr;
  }
  const auto it = std::lower_bound(names_.begin(), names_.end(), name, storedLessThanName);
  if (it == names_.end() || !equalsIgnoringCase(*it, name)) return nullptr;
  return &*it;
}

}  // namespace vostrel
