#pragma once

#include <opentracing/string_view.h>

#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace vostrel {

enum class MatcherMode : uint8_t {
  containsIgnoreCase = 0,
  contains = 1,
  equalsIgnoreCase = 2,
  equals = 3,
  regex = 4,
};

// Decides which query parameter names are secret. Immutable once built, so
// any number of threads may use one filter at once.
class SecretFilter {
 public:
  // Throws std::runtime_error "Invalid matcher mode <mode>" or
  // "Invalid regex <pattern>: <library text>".
  SecretFilter(opentracing::string_view mode, std::vector<std::string> list);

  // Never throws. In regex mode a name longer than maxRegexNameLength, or
  // one the matcher gives up on, counts as secret: the standard matcher
  // recurses per character and would overflow the caller's stack.
  bool matches(const char* name, std::size_t length) const noexcept;
  static constexpr std::size_t maxRegexNameLength = 256;
  MatcherMode mode() const noexcept { return mode_; }
  const std::vector<std::string>& list() const noexcept { return list_; }

 private:
  MatcherMode mode_;
  std::vector<std::string> list_;
  // The ignore-case modes compare a lowered name against these, lowered once
  // here (in the locale of construction) instead of for every name.
  std::vector<std::string> loweredList_;
  // tolower of every byte in the same locale: a table read per name byte
  // instead of a library call.
  char lower_[256];
  // contains-ignore-case: startsPattern_[b] says whether byte b, lowered,
  // begins some pattern, so a name is searched in one pass and patterns are
  // tried only where one could start.
  bool startsPattern_[256] = {};
  bool emptyPattern_ = false;
  std::vector<std::regex> regexes_;
};

// The text with every query parameter whose name the filter matches removed.
std::string redactQueryString(const SecretFilter& filter, const char* text, std::size_t length);
// The same text appended to out, which callers may reuse to save allocations.
void appendRedactedQueryString(std::string& out, const SecretFilter& filter, const char* text, std::size_t length);
// The same text written at out, which has room for length bytes (the result
// is never longer); returns its length. out must not overlap text.
std::size_t writeRedactedQueryString(char* out, const SecretFilter& filter, const char* text,
                                     std::size_t length) noexcept;

}  // namespace vostrel
