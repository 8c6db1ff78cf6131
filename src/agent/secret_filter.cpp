#include "agent/secret_filter.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string_view>

namespace vostrel {

namespace {

char lowerChar(char c) noexcept {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalIgnoringCase(char a, char b) noexcept { return lowerChar(a) == lowerChar(b); }

// Names and patterns are a few bytes long: a plain loop beats find()'s
// library calls for every pattern.
bool containsBytes(std::string_view text, std::string_view pattern) noexcept {
  if (pattern.size() > text.size()) return false;
  if (pattern.empty()) return true;
  const std::size_t last = text.size() - pattern.size();
  for (std::size_t i = 0; i <= last; ++i) {
    if (text[i] == pattern[0] && text.compare(i, pattern.size(), pattern) == 0) return true;
  }
  return false;
}

// Query parameter names are short; longer ones take the slower path that
// folds both sides byte by byte.
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
  const std::string_view n(name, length);
  // tolower(a) == tolower(b) exactly when the lowered name holds the lowered
  // pattern's bytes: one tolower per name byte, then plain byte searches.
  char lowered[maxLoweredName];
  const bool ignoreCase = mode_ == MatcherMode::containsIgnoreCase || mode_ == MatcherMode::equalsIgnoreCase;
  if (ignoreCase && length <= maxLoweredName) {
    for (std::size_t i = 0; i < length; ++i) lowered[i] = lower_[static_cast<unsigned char>(name[i])];
    const std::string_view l(lowered, length);
    if (mode_ == MatcherMode::containsIgnoreCase) {
      if (l.empty()) return false;
      return std::any_of(loweredList_.begin(), loweredList_.end(),
                         [l](const std::string& pattern) { return containsBytes(l, pattern); });
    }
    return std::any_of(loweredList_.begin(), loweredList_.end(),
                       [l](const std::string& pattern) { return pattern == l; });
  }
  switch (mode_) {
    case MatcherMode::containsIgnoreCase:
      if (n.empty()) return false;
      return std::any_of(list_.begin(), list_.end(), [n](const std::string& pattern) {
        return std::search(n.begin(), n.end(), pattern.begin(), pattern.end(), equalIgnoringCase) != n.end();
      });
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
  const std::string_view input(text, length);
  const std::size_t question = input.find('?');
  if (question == std::string_view::npos) {
    out.append(text, length);
    return;
  }

  out.reserve(out.size() + length);
  out.append(input.data(), question);

  const std::size_t queryBegin = question + 1;
  std::size_t queryEnd = input.find('#', queryBegin);
  if (queryEnd == std::string_view::npos) queryEnd = length;

  bool wroteParameter = false;
  std::size_t begin = queryBegin;
  char separator = '?';
  while (true) {
    // Scanning by hand stops at the fragment instead of searching past it.
    std::size_t end = begin;
    while (end < queryEnd && input[end] != '&' && input[end] != ';') ++end;
    const std::string_view parameter = input.substr(begin, end - begin);
    // A parameter without "=" is tested as a whole, wherever it stands.
    const std::string_view name = parameter.substr(0, parameter.find('='));
    if (!filter.matches(name.data(), name.size())) {
      out.push_back(wroteParameter ? separator : '?');
      out.append(parameter.data(), parameter.size());
      wroteParameter = true;
    }
    if (end == queryEnd) break;
    separator = input[end];
    begin = end + 1;
  }
  out.append(input.data() + queryEnd, length - queryEnd);
}

}  // namespace vostrel
