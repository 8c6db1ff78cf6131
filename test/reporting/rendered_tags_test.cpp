#include "reporting/rendered_tags.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace vostrel {
namespace {

using opentracing::Value;

// The members as one JSON object; a kept URL is rendered as a plain string.
nlohmann::json parsed(const RenderedTags& tags) {
  std::string text = "{";
  tags.foreachMember([&](const RenderedTags::Member& member) {
    if (text.size() > 1) text += ',';
    if (!member.rawUrl) {
      text.append(member.text.data(), member.text.size());
    } else {
      text.append(member.text.data(), member.keyLength + 1);
      text += nlohmann::json(std::string(member.text.substr(member.keyLength + 1))).dump();
    }
  });
  return nlohmann::json::parse(text + "}");
}

std::size_t memberCount(const RenderedTags& tags) {
  std::size_t count = 0;
  tags.foreachMember([&](const RenderedTags::Member&) { ++count; });
  return count;
}

Value invalidValue() {
  Value value;
  static_cast<opentracing::variant_type&>(value) = opentracing::variant_type(opentracing::util::no_init());
  return value;
}

// Random sets and replacements, far past the inline room, hold exactly one
// member per key with its last value; keys that differ only in bytes that
// are escaped stay apart.
TEST(RenderedTags, KeepsLastValueOfEachKeyWhileGrowing) {
  const std::string keys[] = {"a", "b", "a\"", "a\\", "a\x01", "a\x02", "\x7F", "http.status_code", "", "k"};
  std::mt19937 random(7);
  RenderedTags tags;
  std::map<std::string, nlohmann::json> expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string key = keys[random() % std::size(keys)] + std::to_string(random() % 20);
    switch (random() % 4) {
      case 0:
        tags.set(key, int64_t{i});
        expected[key] = i;
        break;
      case 1: {
        const std::string text(random() % 300, 'v');
        tags.set(key, text);
        expected[key] = text;
        break;
      }
      case 2:
        tags.set(key, i % 2 == 0);
        expected[key] = i % 2 == 0;
        break;
      default:
        tags.set(key, Value(opentracing::Values{1.5, "t\n"}));
        expected[key] = nlohmann::json::array({1.5, "t\n"});
    }
  }
  const auto object = parsed(tags);
  EXPECT_EQ(memberCount(tags), expected.size());
  EXPECT_EQ(object, nlohmann::json(expected));
}

// Only a text "http.url" is kept as given; other kinds and other keys are rendered.
TEST(RenderedTags, KeepsOnlyTextUrlsUnrendered) {
  struct Case {
    const char* key;
    Value value;
    bool rawUrl;
    std::string text;
  };
  const Case cases[] = {
      {"http.url", std::string("/a?b=\"1\""), true, "\"http.url\":/a?b=\"1\""},
      {"http.url", static_cast<const char*>("/c"), true, "\"http.url\":/c"},
#if VOSTREL_OPENTRACING_ABI >= 3
      {"http.url", opentracing::string_view("/d?x", 2), true, "\"http.url\":/d"},
#endif
      {"http.url", int64_t{5}, false, "\"http.url\":5"},
      {"http.url", static_cast<const char*>(nullptr), false, "\"http.url\":null"},
      {"http.URL", "/e", false, "\"http.URL\":\"/e\""},
  };
  for (const auto& c : cases) {
    RenderedTags tags;
    tags.set(c.key, c.value);
    tags.foreachMember([&](const RenderedTags::Member& member) {
      EXPECT_EQ(member.rawUrl, c.rawUrl) << c.text;
      EXPECT_EQ(member.text, c.text);
      EXPECT_EQ(member.keyLength, std::string(c.key).size() + 2);
    });
  }
}

// A URL replaced by a number and again by a text is one member, kept as given only while it is text.
TEST(RenderedTags, ReplacesUrlAcrossKinds) {
  RenderedTags tags;
  tags.set("http.url", "/a?k=1");
  tags.set("http.url", int64_t{7});
  EXPECT_EQ(parsed(tags), nlohmann::json({{"http.url", 7}}));
  tags.set("http.url", std::string("/b"));
  std::vector<bool> raw;
  tags.foreachMember([&](const RenderedTags::Member& member) { raw.push_back(member.rawUrl); });
  EXPECT_EQ(raw, std::vector<bool>{true});
  EXPECT_EQ(parsed(tags), nlohmann::json({{"http.url", "/b"}}));
}

// A set that fails, in the value or with a forged key length, throws and leaves every member as it was.
TEST(RenderedTags, FailedSetLeavesTagsUnchanged) {
  for (const std::size_t existing : {std::size_t{1}, std::size_t{40}}) {
    RenderedTags tags;
    for (std::size_t i = 0; i < existing; ++i) tags.set("k" + std::to_string(i), std::string(20, 'v'));
    const auto before = parsed(tags);
    EXPECT_ANY_THROW(tags.set("k0", invalidValue()));
    EXPECT_THROW(tags.set(opentracing::string_view("x", std::string().max_size() + 1), 1), std::length_error);
    EXPECT_EQ(parsed(tags), before);
    EXPECT_EQ(memberCount(tags), existing);
  }
}

}  // namespace
}  // namespace vostrel
