#include "tracing/header_key_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vostrel {
namespace {

// Names are lower-cased and sorted by byte value; duplicates stay.
TEST(HeaderKeySet, StoresLowerCaseSortedNames) {
  const HeaderKeySet keys({"X-Forwarded-For", "accept", "User-Agent", "ACCEPT", "\xc3\x89tag"});
  EXPECT_EQ(keys.names(),
            (std::vector<std::string>{"accept", "accept", "user-agent", "x-forwarded-for", "\xc3\x89tag"}));
}

// Lookup ignores case over the whole name and returns the stored name.
// Small sets are searched linearly, larger ones by binary search: both alike.
TEST(HeaderKeySet, FindsWholeNamesIgnoringCase) {
  const struct {
    const char* probe;
    const char* found;
  } cases[] = {
      {"user-agent", "user-agent"}, {"USER-AGENT", "user-agent"}, {"X-B3", "x-b3"},  {"x-request-id", "x-request-id"},
      {"A", "a"},                   {"User", nullptr},           {"User-Agent-X", nullptr},
      {"", nullptr},                {"b", nullptr},               {"zzz", nullptr},
  };
  const std::vector<std::string> names = {"User-Agent", "x-b3", "X-Request-Id", "a"};
  std::vector<std::string> many = names;
  for (int i = 0; i < 10; ++i) many.push_back("Pad-" + std::to_string(i));
  for (const HeaderKeySet& keys : {HeaderKeySet(names), HeaderKeySet(many)}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.probe) + " among " + std::to_string(keys.names().size()) + " names");
      const std::string* found = keys.find(c.probe);
      if (c.found == nullptr) {
        EXPECT_EQ(found, nullptr);
      } else {
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, c.found);
      }
    }
  }
  EXPECT_EQ(HeaderKeySet({}).find("a"), nullptr);
}

// Names of 63 bytes and more share one length class; each is still found
// only by its own length.
TEST(HeaderKeySet, FindsLongNamesByTheirOwnLength) {
  const std::string name63(63, 'a');
  const std::string name80 = "X-" + std::string(78, 'b');
  const HeaderKeySet keys({name63, name80});
  ASSERT_NE(keys.find(name63), nullptr);
  ASSERT_NE(keys.find("x-" + std::string(78, 'B')), nullptr);
  EXPECT_EQ(*keys.find(name80), "x-" + std::string(78, 'b'));
  EXPECT_EQ(keys.find(std::string(64, 'a')), nullptr);
  EXPECT_EQ(keys.find("x-" + std::string(77, 'b')), nullptr);
  EXPECT_EQ(keys.find(std::string(62, 'a')), nullptr);
}

}  // namespace
}  // namespace vostrel
