#include "agent/secret_filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace vostrel {
namespace {

SecretFilter defaultFilter() { return SecretFilter("contains-ignore-case", {"key", "pass", "secret"}); }

bool matches(const SecretFilter& filter, const std::string& name) {
  return filter.matches(name.data(), name.size());
}

std::string redact(const SecretFilter& filter, const std::string& url) {
  return redactQueryString(filter, url.data(), url.size());
}

struct MatchCase {
  const char* mode;
  std::vector<std::string> patterns;
  std::vector<std::string> secret;
  std::vector<std::string> kept;
};

// Each mode decides by its own rule which names are secret.
TEST(SecretFilter, MatchesByMode) {
  const MatchCase cases[] = {
      {"contains-ignore-case", {"key", "pass", "secret"}, {"password", "Passport", "apiKey", "MY_SECRET", "key"},
       {"user", "", "ke", "pas"}},
      {"contains-ignore-case", {""}, {"a", "anything"}, {""}},
      // Patterns sharing a first byte, one cut off by the name's end, names past any short buffer.
      {"contains-ignore-case", {"pass", "PaSsWoRd", "kEy"}, {"xPASSWORD", std::string(300, 'p') + "Key", "pAss"},
       {"paswor_", std::string(300, 'k') + "ke", "pas", "PA"}},
      {"contains-ignore-case", {"Token"}, {"tokeN_"}, {"tok", "toke"}},
      {"contains-ignore-case", {"\xc3\x89"}, {"x\xc3\x89y"}, {"\xc3\xa9"}},
      {"contains", {"pass"}, {"password", "bypass"}, {"Password", "pas", ""}},
      {"contains", {""}, {"a", "Z"}, {""}},
      {"equals-ignore-case", {"token"}, {"token", "Token", "TOKEN"}, {"tok", "tokens", ""}},
      {"equals-ignore-case", {""}, {""}, {"a"}},
      {"equals", {"token"}, {"token"}, {"Token", "tokens", ""}},
      {"equals", {"a", ""}, {"a", ""}, {"b"}},
      {"regex", {"pass.*"}, {"password", "pass"}, {"mypassword", "Password"}},
      {"regex", {"x", "[a-c]+"}, {"x", "abc"}, {"xx", "abcd", ""}},
      {"regex", {}, {}, {"", "anything"}},
      {"contains", {}, {}, {"", "anything"}},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.mode);
    const SecretFilter filter(c.mode, c.patterns);
    for (const std::string& name : c.secret) EXPECT_TRUE(matches(filter, name)) << name;
    for (const std::string& name : c.kept) EXPECT_FALSE(matches(filter, name)) << name;
  }
}

// Unknown modes and patterns that do not compile refuse construction with
// their message.
TEST(SecretFilter, RefusesBadModeOrPattern) {
  const struct {
    const char* mode;
    std::vector<std::string> patterns;
    std::string message;
    bool libraryText;
  } cases[] = {
      {"Contains", {"a"}, "Invalid matcher mode Contains", false},
      {"", {"a"}, "Invalid matcher mode ", false},
      {"regexp", {"a"}, "Invalid matcher mode regexp", false},
      {"regex", {"ok", "("}, "Invalid regex (: ", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    try {
      SecretFilter(c.mode, c.patterns);
      ADD_FAILURE() << "constructed";
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.substr(0, c.message.size()), c.message);
      if (c.libraryText) {
        EXPECT_GT(what.size(), c.message.size()) << "library text missing";
      } else {
        EXPECT_EQ(what, c.message);
      }
    }
  }
  // A pattern that only looks odd to other modes is kept as it is.
  EXPECT_EQ(SecretFilter("contains", {"("}).list(), std::vector<std::string>{"("});
}

// Long names in regex mode count as secret without running the matcher,
// whose recursion would otherwise overflow the stack.
TEST(SecretFilter, TreatsOverlongNamesAsSecretInRegexMode) {
  const SecretFilter filter("regex", {"(a|b|c)*"});
  EXPECT_TRUE(matches(filter, std::string(SecretFilter::maxRegexNameLength, 'a')));
  EXPECT_FALSE(matches(filter, std::string(SecretFilter::maxRegexNameLength, 'z')));
  EXPECT_TRUE(matches(filter, std::string(SecretFilter::maxRegexNameLength + 1, 'z')));
  EXPECT_TRUE(matches(filter, std::string(1 << 20, 'a')));
  EXPECT_EQ(redact(filter, "/x?" + std::string(100000, 'z') + "=1&q=2"), "/x?q=2");
}

// Secret parameters disappear with the separator in front of them; the
// first kept parameter gets the "?", the fragment stays.
TEST(RedactQueryString, DropsSecretParameters) {
  const SecretFilter filter = defaultFilter();
  const struct {
    const char* url;
    const char* redacted;
  } cases[] = {
      {"/login?user=bob&password=x&apiKey=1#top", "/login?user=bob#top"},
      {"/login?Passport=1&a=2", "/login?a=2"},
      {"/x?secret=1;a=2", "/x?a=2"},
      {"/x?a=1;b=2&c=3", "/x?a=1;b=2&c=3"},
      {"/x?a=1;pass=2&c=3", "/x?a=1&c=3"},
      {"/x?pass=1", "/x"},
      {"/x?pass=1#frag", "/x#frag"},
      {"/plain#with?nothing", "/plain#with?nothing"},
      {"/p#a?pass=1", "/p#a"},
      {"/plain#frag", "/plain#frag"},
      {"/plain", "/plain"},
      {"", ""},
      {"/x?", "/x?"},
      {"/x?#f", "/x?#f"},
      {"/x?a=1&", "/x?a=1&"},
      {"/x?a=1&&b=2", "/x?a=1&&b=2"},
      {"/x?flag&a=1", "/x?flag&a=1"},
      {"/x?password&a=1", "/x?a=1"},
      {"/x?a=1&password", "/x?a=1"},
      {"/x?a=key=1", "/x?a=key=1"},
      {"/x?key%20=1&a=%70ass", "/x?a=%70ass"},
      {"/x?a=1#b&key=2", "/x?a=1#b&key=2"},
      {"/x?a=1?key=2", "/x?a=1?key=2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(redact(filter, c.url), c.redacted);
    // Appending keeps what the output held.
    std::string out = "kept:";
    appendRedactedQueryString(out, filter, c.url, std::strlen(c.url));
    EXPECT_EQ(out, std::string("kept:") + c.redacted);
  }
}

// With an empty pattern in mode "contains" every named parameter goes.
TEST(RedactQueryString, EmptyPatternDropsAllNamedParameters) {
  const SecretFilter filter("contains", {""});
  EXPECT_EQ(redact(filter, "/x?a=1&b=2;=3#f"), "/x?=3#f");
}

}  // namespace
}  // namespace vostrel
