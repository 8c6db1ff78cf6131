#include "reporting/json_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <limits>
#include <nlohmann/json.hpp>
#include <new>
#include <string>
#include <utility>

namespace vostrel {
namespace {

// Escaping turns every byte outside printable ASCII into its own escape.
TEST(JsonWriter, EscapesStringsByteByByte) {
  std::string out;
  appendJsonString(out, std::string("a\"\\/\x1f\x7f\xc3\xa9\n"));
  EXPECT_EQ(out, "\"a\\\"\\\\/\\u001F\\u007F\\u00C3\\u00A9\\n\"");
}

std::string escaped(const std::string& text) {
  std::string out;
  appendEscaped(out, text.data(), text.size());
  return out;
}

// The plain-text check agrees with the escaper for every byte value at every
// position of texts of every length up to three vectors, read from the end of
// an allocation so that a read past the text would be caught under ASan.
TEST(JsonWriter, PlainTextCheckAgreesWithEscaping) {
  for (std::size_t length = 0; length <= 48; ++length) {
    for (std::size_t position = 0; position < std::max<std::size_t>(length, 1); ++position) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string text(length, 'a');
        if (length != 0) text[position] = static_cast<char>(byte);
        std::unique_ptr<char[]> exact(new char[length == 0 ? 1 : length]);
        std::copy(text.begin(), text.end(), exact.get());
        ASSERT_EQ(isPlainJsonText(exact.get(), length), escaped(text) == text)
            << "length " << length << ", byte " << byte << " at " << position;
        if (length == 0) break;
      }
    }
  }
}

// Each byte class has its escape: the five short ones, quotation mark and
// backslash, \u00XX for the other controls, DEL and every byte above it;
// printable bytes, the solidus among them, stay as they are.
TEST(JsonWriter, EscapeTable) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string(1, '\0'), "\\u0000"},
      {"\x01", "\\u0001"},
      {"\x07", "\\u0007"},
      {"\x08", "\\b"},
      {"\x09", "\\t"},
      {"\x0a", "\\n"},
      {"\x0b", "\\u000B"},
      {"\x0c", "\\f"},
      {"\x0d", "\\r"},
      {"\x1f", "\\u001F"},
      {" ", " "},
      {"\"", "\\\""},
      {"/", "/"},
      {"\\", "\\\\"},
      {"~", "~"},
      {"\x7f", "\\u007F"},
      {"\x80", "\\u0080"},
      {"\xc3\xa9", "\\u00C3\\u00A9"},
      {"\xff", "\\u00FF"},
      {"plain text", "plain text"},
      {"", ""},
      {"ab\ncd\te", "ab\\ncd\\te"},
  };
  for (const auto& [input, output] : cases) EXPECT_EQ(escaped(input), output);

  // Every byte: the output is printable ASCII, and a byte is kept exactly
  // when it is printable and neither quotation mark nor backslash.
  for (int b = 0; b < 256; ++b) {
    const std::string out = escaped(std::string(1, static_cast<char>(b)));
    for (char c : out) ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << b;
    const bool kept = b >= 0x20 && b <= 0x7E && b != '"' && b != '\\';
    EXPECT_EQ(out.size() == 1, kept) << b;
  }
}

// Strings get their quotation marks, an empty one too.
TEST(JsonWriter, QuotesStrings) {
  std::string out;
  appendJsonString(out, "", 0);
  EXPECT_EQ(out, "\"\"");
  out.clear();
  appendJsonString(out, "\"", 1);
  EXPECT_EQ(out, "\"\\\"\"");
}

std::string written(const opentracing::Value& value) {
  std::string text;
  appendJsonValue(text, value);
  ByteBuffer buffer;
  appendJsonValue(buffer, value);
  EXPECT_EQ(buffer.toString(), text) << "string and buffer outputs differ";
  return text;
}

// Every value kind in its JSON form; doubles in "%f" with the special values
// quoted, integers exact at their extremes.
TEST(JsonWriter, WritesEveryValueKind) {
  const std::pair<opentracing::Value, std::string> cases[] = {
      {true, "true"},
      {false, "false"},
      {0.1, "0.100000"},
      {1.5, "1.500000"},
      {-0.0, "-0.000000"},
      {1e20, "100000000000000000000.000000"},
      {std::numeric_limits<double>::quiet_NaN(), "\"NaN\""},
      {std::numeric_limits<double>::infinity(), "\"+Inf\""},
      {-std::numeric_limits<double>::infinity(), "\"-Inf\""},
      {int64_t{0}, "0"},
      {int64_t{-42}, "-42"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<int64_t>::max(), "9223372036854775807"},
      {uint64_t{0}, "0"},
      {std::numeric_limits<uint64_t>::max(), "18446744073709551615"},
      {std::string("a\"b"), "\"a\\\"b\""},
      {std::string("nul\0in", 6), "\"nul\\u0000in\""},
      {"text", "\"text\""},
      {static_cast<const char*>("zero\x01terminated"), "\"zero\\u0001terminated\""},
      {nullptr, "null"},
      {static_cast<const char*>(nullptr), "null"},
      {opentracing::Values{static_cast<const char*>(nullptr)}, "[null]"},
      {opentracing::Values{}, "[]"},
      {opentracing::Values{int64_t{1}, "two", opentracing::Values{nullptr}}, "[1,\"two\",[null]]"},
      {opentracing::Dictionary{}, "{}"},
      {opentracing::Dictionary{{"k", opentracing::Values{true}}}, "{\"k\":[true]}"},
#if VOSTREL_OPENTRACING_ABI >= 3
      {opentracing::string_view("view\"", 5), "\"view\\\"\""},
      {opentracing::string_view("cut here", 3), "\"cut\""},
#endif
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(written(value), text);
}

// The largest doubles are written out in full, sign included.
TEST(JsonWriter, WritesHugeDoublesInFull) {
  for (double value : {std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest()}) {
    char expected[400];
    std::snprintf(expected, sizeof(expected), "%f", value);
    const std::string text = written(value);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.size(), value > 0 ? 316u : 317u);
  }
}

// A dictionary of several entries is one well-formed object, whatever the
// order of its entries.
TEST(JsonWriter, WritesDictionaryEntries) {
  const opentracing::Dictionary dictionary{
      {"a", int64_t{1}}, {"b\n", "x"}, {"c", opentracing::Dictionary{{"d", 2.5}}}};
  const nlohmann::json parsed = nlohmann::json::parse(written(dictionary));
  EXPECT_EQ(parsed, nlohmann::json::parse(R"({"a":1,"b\n":"x","c":{"d":2.5}})"));
}

// A value in no valid state throws the variant's access error.
TEST(JsonWriter, InvalidValueThrows) {
  opentracing::Value value(true);
  // bool needs no destruction, so the storage can be re-made invalid.
  new (static_cast<opentracing::variant_type*>(&value)) opentracing::variant_type(opentracing::util::no_init{});
  ASSERT_FALSE(value.valid());
  std::string out;
  try {
    appendJsonValue(out, value);
    ADD_FAILURE() << "no exception";
  } catch (const opentracing::util::bad_variant_access& e) {
    EXPECT_STREQ(e.what(), "in get<T>()");
  }
}

}  // namespace
}  // namespace vostrel
