#pragma once

#include <opentracing/string_view.h>

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
};

}  // namespace vostrel
