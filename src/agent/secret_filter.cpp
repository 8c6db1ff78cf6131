#include "agent/secret_filter.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace vostrel {

namespace {

char lowerChar(char c) noexcept {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalIgnoringCase(char a, char b) noexcept { return lowerChar(a) == lowerChar(b); }

// What ends a query parameter's name and the parameter itself.
constexpr unsigned char endsParameter = 1;
constexpr unsigned char endsName = 2;
struct QueryBytes {
  unsigned char kind[256];
  constexpr QueryBytes() : kind() {
    kind[static_cast<unsigned char>('&')] = endsParameter | endsName;
    kind[static_cast<unsigned char>(';')] = endsParameter | endsName;
    kind[static_cast<unsigned char>('=')] = endsName;
  }
};
constexpr QueryBytes queryBytes;

unsigned char queryByteKind(char c) noexcept { return queryBytes.kind[static_cast<unsigned char>(c)]; }

// Query parameter names are short; longer ones take the slower path that
// folds both sides byte by byte (equals-ignore-case).
constexpr std::size_t maxLoweredName = 128;

MatcherMode parseMode(opentracing::string_view mode) {
  const std::string_view m(mode.data(), mode.size());
  if (m == "contains-ignore-case") return MatcherMode::containsIgnoreCase;
  if (m == "contains") return MatcherMode::contains;
  if (m == "equals-ignore-case") return MatcherMode::equalsIgnoreCase;
  if (m == "equals") return MatcherMode::equals;
  if (m == "regex") return MatcherMode::regex;
  throw std::runtime_error("Invalid matcher mode " + std::string(m));
}

}  // namespace

SecretFilter::SecretFilter(opentracing::string_view mode, std::vector<std::string> list)
    : mode_(parseMode(mode)), list_(std::move(list)) {
  for (int b = 0; b < 256; ++b) lower_[b] = lowerChar(static_cast<char>(b));
  if (mode_ == MatcherMode::containsIgnoreCase || mode_ == MatcherMode::equalsIgnoreCase) {
    loweredList_.reserve(list_.size());
    for (const std::string& pattern : list_) {
      std::string lowered = pattern;
      for (char& c : lowered) c = lowerChar(c);
      loweredList_.push_back(std::move(lowered));
    }
    for (const std::string& pattern : loweredList_) {
      if (pattern.empty()) emptyPattern_ = true;
      for (int b = 0; !pattern.empty() && b < 256; ++b) startsPattern_[b] |= lower_[b] == pattern[0];
    }
  }
  if (mode_ != MatcherMode::regex) return;
  regexes_.reserve(list_.size());
  for (const std::string& pattern : list_) {
    try {
      regexes_.emplace_back(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      throw std::runtime_error("Invalid regex " + pattern + ": " + e.what());
    }
  }
}

bool SecretFilter::matches(const char* name, std::size_t length) const noexcept {
  if (mode_ == MatcherMode::containsIgnoreCase) {
    // tolower(a) == tolower(b) exactly when the lowered bytes are equal, and
    // the patterns are lowered already.
    if (length == 0) return false;
    if (emptyPattern_) return true;
    for (std::size_t at = 0; at < length; ++at) {
      if (!startsPattern_[static_cast<unsigned char>(name[at])]) continue;
      for (const std::string& pattern : loweredList_) {
        if (pattern.size() > length - at || pattern[0] != lower_[static_cast<unsigned char>(name[at])]) continue;
        std::size_t i = 1;
        while (i != pattern.size() && lower_[static_cast<unsigned char>(name[at + i])] == pattern[i]) ++i;
        if (i == pattern.size()) return true;
      }
    }
    return false;
  }
  const std::string_view n(name, length);
  // tolower(a) == tolower(b) exactly when the lowered name holds the lowered
  // pattern's bytes: one tolower per name byte, then plain comparisons.
  char lowered[maxLoweredName];
  if (mode_ == MatcherMode::equalsIgnoreCase && length <= maxLoweredName) {
    for (std::size_t i = 0; i < length; ++i) lowered[i] = lower_[static_cast<unsigned char>(name[i])];
    const std::string_view l(lowered, length);
    return std::any_of(loweredList_.begin(), loweredList_.end(),
                       [l](const std::string& pattern) { return pattern == l; });
  }
  switch (mode_) {
    case MatcherMode::containsIgnoreCase:
      return false;  // answered above
    case MatcherMode::contains:
      if (n.empty()) return false;
      return std::any_of(list_.begin(), list_.end(),
                         [n](const std::string& pattern) { return n.find(pattern) != std::string_view::npos; });
    case MatcherMode::equalsIgnoreCase:
      return std::any_of(list_.begin(), list_.end(), [n](const std::string& pattern) {
        return pattern.size() == n.size() && std::equal(n.begin(), n.end(), pattern.begin(), equalIgnoringCase);
      });
    case MatcherMode::equals:
      return std::any_of(list_.begin(), list_.end(), [n](const std::string& pattern) { return pattern == n; });
    case MatcherMode::regex:
      if (regexes_.empty()) return false;
      if (length > maxRegexNameLength) return true;
      try {
        return std::any_of(regexes_.begin(), regexes_.end(),
                           [n](const std::regex& re) { return std::regex_match(n.begin(), n.end(), re); });
      } catch (...) {
        // Dropping a parameter is safer than leaking a secret.
        return true;
      }
  }
  return false;
}

std::string redactQueryString(const SecretFilter& filter, const char* text, std::size_t length) {
  std::string out;
  appendRedactedQueryString(out, filter, text, length);
  return out;
}

void appendRedactedQueryString(std::string& out, const SecretFilter& filter, const char* text, std::size_t length) {
  const std::size_t start = out.size();
  out.resize(start + length);
  out.resize(start + writeRedactedQueryString(&out[start], filter, text, length));
}

std::size_t writeRedactedQueryString(char* const begin, const SecretFilter& filter, const char* text,
                                     std::size_t length) noexcept {
  const void* const questionMark = std::memchr(text, '?', length);
  if (questionMark == nullptr) {
    std::memcpy(begin, text, length);
    return length;
  }
  const std::size_t question = static_cast<std::size_t>(static_cast<const char*>(questionMark) - text);

  char* write = begin;
  std::memcpy(write, text, question);
  write += question;

  const char* const queryEnd = [&] {
    const void* hash = std::memchr(text + question + 1, '#', length - question - 1);
    return hash != nullptr ? static_cast<const char*>(hash) : text + length;
  }();
  bool wroteParameter = false;
  char separator = '?';
  for (const char* parameter = text + question + 1;;) {
    // Scanning by hand stops at the fragment instead of searching past it;
    // the name ends at the first "=", or is the whole parameter.
    const char* nameEnd = parameter;
    while (nameEnd != queryEnd && queryByteKind(*nameEnd) == 0) ++nameEnd;
    const char* end = nameEnd;
    while (end != queryEnd && (queryByteKind(*end) & endsParameter) == 0) ++end;
    if (!filter.matches(parameter, static_cast<std::size_t>(nameEnd - parameter))) {
      *write++ = wroteParameter ? separator : '?';
      std::memcpy(write, parameter, static_cast<std::size_t>(end - parameter));
      write += end - parameter;
      wroteParameter = true;
    }
    if (end == queryEnd) break;
    separator = *end;
    parameter = end + 1;
  }
  const std::size_t fragment = static_cast<std::size_t>(text + length - queryEnd);
  std::memcpy(write, queryEnd, fragment);
  write += fragment;
  return static_cast<std::size_t>(write - begin);
}

}  // namespace vostrel
