#include "tracing/string_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vostrel {
namespace {

std::vector<std::string> keysOf(const StringMap& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

// Small and indexed maps alike: the first value of a key stays on emplace,
// insert_or_assign replaces it, entries keep their first insertion order.
TEST(StringMap, KeepsFirstValueAndInsertionOrderAtEverySize) {
  for (const std::size_t size :
       {std::size_t{3}, StringMap::indexedSize, StringMap::indexedSize + 1, std::size_t{500}}) {
    StringMap map;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < size; ++i) {
      keys.push_back("k" + std::to_string(size - i));
      EXPECT_TRUE(map.emplace(keys.back(), "first").second);
    }
    for (const auto& key : keys) {
      const auto result = map.emplace(key, "second");
      EXPECT_FALSE(result.second) << key;
      EXPECT_EQ(result.first->second, "first");
    }
    EXPECT_EQ(map.size(), size);
    EXPECT_EQ(keysOf(map), keys);
    map.insert_or_assign(keys.front(), "replaced");
    map.insert_or_assign("new", "added");
    EXPECT_EQ(map.at(keys.front()), "replaced");
    EXPECT_EQ(map.at("new"), "added");
    EXPECT_EQ(map.find("k0"), map.end());
    EXPECT_THROW(map.at("k0"), std::out_of_range);

    // A copy has its own index, and equality ignores order.
    StringMap copy = map;
    EXPECT_EQ(copy.at(keys.back()), "first");
    EXPECT_EQ(StringMap(map.begin(), map.end()), map);
    StringMap backwards;
    std::vector<std::pair<std::string, std::string>> entries(map.begin(), map.end());
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) backwards.emplace(it->first, it->second);
    EXPECT_EQ(backwards, map);
    backwards.insert_or_assign("new", "other");
    EXPECT_NE(backwards, map);
  }
}

TEST(StringMap, ClearsAndComparesBySize) {
  StringMap map{{"a", "1"}, {"b", "2"}};
  EXPECT_NE(map, (StringMap{{"a", "1"}}));
  EXPECT_EQ(map, (StringMap{{"b", "2"}, {"a", "1"}}));
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map, StringMap{});
}

}  // namespace
}  // namespace vostrel
