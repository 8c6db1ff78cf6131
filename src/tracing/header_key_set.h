#pragma once

#include <opentracing/string_view.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vostrel {

// The request headers the agent wants captured: lower-cased, sorted, never
// changed after construction; shared by pointer and read by any thread.
class HeaderKeySet {
 public:
  explicit HeaderKeySet(std::vector<std::string> names);

  // The stored (lower-case) name equal to name ignoring case, or null.
  const std::string* find(opentracing::string_view name) const noexcept;
  bool empty() const noexcept { return names_.empty(); }
  const std::vector<std::string>& names() const noexcept { return names_; }

 private:
  std::vector<std::string> names_;
  // Bit n set: some name has length n (names of 63 bytes and more share bit
  // 63). Most request headers are rejected on this alone.
  uint64_t lengths_ = 0;
};

}  // namespace vostrel
