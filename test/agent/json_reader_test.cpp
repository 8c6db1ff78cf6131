#include "agent/json_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vostrel {
namespace {

// Outcome of one reader call on a text: the error message (empty when it
// succeeded) and the text left after the cursor.
struct Outcome {
  std::string error;
  std::string rest;
};

Outcome run(const std::string& text, const std::function<void(const char*&, const char*)>& read) {
  const char* cursor = text.data();
  const char* end = text.data() + text.size();
  try {
    read(cursor, end);
  } catch (const ParseError& e) {
    return {e.what(), ""};
  }
  return {"", std::string(cursor, end)};
}

struct Case {
  std::string input;
  std::string value;  // the decoded result, or the expected message on failure
  std::string rest;   // text left after a success
  bool fails = false;
};

Case ok(std::string input, std::string value, std::string rest = "") {
  return {std::move(input), std::move(value), std::move(rest), false};
}
Case error(std::string input, std::string message) {
  return {std::move(input), std::move(message), "", true};
}

void expectCases(const std::vector<Case>& cases,
                 const std::function<std::string(const char*&, const char*)>& read) {
  for (const Case& c : cases) {
    SCOPED_TRACE("input: " + c.input);
    std::string value;
    const Outcome outcome = run(c.input, [&](const char*& cursor, const char* end) {
      value = read(cursor, end);
    });
    if (c.fails) {
      EXPECT_EQ(outcome.error, c.value);
    } else {
      EXPECT_EQ(outcome.error, "");
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(outcome.rest, c.rest);
    }
  }
}

// A literal is matched byte by byte; too little input and a differing byte
// have their own messages, and blanks are skipped only on request.
TEST(JsonReader, ExpectsLiterals) {
  struct LiteralCase {
    std::string input;
    std::string literal;
    std::string error;
    size_t consumed;
  };
  for (const LiteralCase& c : std::vector<LiteralCase>{
           {"true,", "true", "", 4},
           {"", "{", "parse failure exepected {", 0},
           {"tru", "true", "parse failure exepected true", 0},
           {"trux!", "true", "parse failue expected e", 4},
           {"frue", "true", "parse failue expected true", 1},
           {" {", "{", "parse failue expected {", 1},
       }) {
    SCOPED_TRACE(c.input);
    const char* cursor = c.input.data();
    std::string message;
    try {
      expect(cursor, c.input.data() + c.input.size(), c.literal.data(), c.literal.size());
    } catch (const ParseError& e) {
      message = e.what();
    }
    EXPECT_EQ(message, c.error);
    EXPECT_EQ(static_cast<size_t>(cursor - c.input.data()), c.consumed);
  }
  // Blanks, tabs and line feeds before the literal are accepted on request.
  const std::string spaced = " \t\n\r\v\f:x";
  const char* cursor = spaced.data();
  expectAfterWhitespace(cursor, spaced.data() + spaced.size(), ":", 1);
  EXPECT_EQ(std::string(cursor), "x");
}

// Strings decode the usual escapes, keep unknown ones and other bytes as
// they stand, and turn \u escapes up to 0xFF into one byte.
TEST(JsonReader, ParsesStrings) {
  expectCases(
      {ok(R"("abc",)", "abc", ","), ok(R"("")", ""), ok(R"("a\"b\\c")", "a\"b\\c"),
       ok(R"("\b\f\n\r\t")", "\b\f\n\r\t"), ok(R"("\u0041")", "A"), ok(R"("\u00e9")", "\xE9"),
       ok(R"("\u00FF")", "\xFF"), ok(R"("\u0000")", std::string(1, '\0')), ok(R"("\u 41 ")", "A"),
       ok(R"("\u20ac")", R"(\u20ac)"), ok(R"("\u00zz")", R"(\u00zz)"), ok(R"("\u    ")", R"(\u    )"),
       ok(R"("\u4 1 ")", R"(\u4 1 )"), ok(R"("\u+041")", R"(\u+041)"), ok(R"("\/")", R"(\/)"),
       ok(R"("\q")", R"(\q)"), ok("\"\x01\t\xff\"", "\x01\t\xff"),
       error(R"("\u0041)", "parse error: invalid hex escape sequence"),
       error(R"("\u00)", "parse error: invalid hex escape sequence"),
       error(R"("abc)", "parse error: missing unmatching \""),
       error(R"("abc\)", "parse error: invalid escape sequence"),
       error("abc", "parse failue expected \""), error("", "parse failure exepected \""),
       error(" \"a\"", "parse failue expected \"")},
      [](const char*& cursor, const char* end) {
        std::string out = "stale";
        parseString(out, cursor, end);
        return out;
      });
}

// Integers read as strtoll reads them; no digits gives 0 without moving, and
// values outside 64 bits are an error.
TEST(JsonReader, ParsesIntegers) {
  expectCases({ok("42,", "42", ","), ok(" \t-17}", "-17", "}"), ok("+5", "5"), ok("007x", "7", "x"),
               ok("\"5\"", "0", "\"5\""), ok("-", "0", "-"), ok("", "0"),
               ok("9223372036854775807", "9223372036854775807"),
               ok("-9223372036854775808", "-9223372036854775808"),
               error("9223372036854775808", std::strerror(ERANGE)),
               error("-9223372036854775809", std::strerror(ERANGE))},
              [](const char*& cursor, const char* end) {
                return std::to_string(parseInteger(cursor, end));
              });
}

// The conversion stops at the end of the range even when digits follow it,
// as in a response body that is not zero-terminated.
TEST(JsonReader, ReadsIntegersOnlyInsideRange) {
  const std::string text = "12345";
  const char* cursor = text.data();
  EXPECT_EQ(parseInteger(cursor, text.data() + 2), 12);
  EXPECT_EQ(cursor, text.data() + 2);
}

// Arrays hold strings only; an empty array and blanks between tokens are fine.
TEST(JsonReader, ParsesStringArrays) {
  expectCases({ok("[]", "", ""), ok(" [ \t\n ] ,", "", " ,"), ok(R"(["a"])", "a|"),
               ok(" [ \"a\" ,\n\"b\\\"\" ]x", "a|b\"|", "x"), error(R"(["a",])", "parse failue expected \""),
               error("[1]", "parse failue expected \""), error("[", "invalid json"),
               error(R"(["a")", "invalid json"), error(R"(["a" "b"])", "invalid token"),
               error("x", "parse failue expected [")},
              [](const char*& cursor, const char* end) {
                std::string joined;
                for (const std::string& s : parseStringArray(cursor, end)) joined += s + "|";
                return joined;
              });
}

// Any one value is skipped up to the separator that ends it, strings with
// brackets and escaped quotes included; broken nesting is reported.
TEST(JsonReader, SkipsValues) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  expectCases({ok("123, next", "", ", next"), ok("true}", "", "}"), ok("null ]", "", "]"), ok("", ""),
               ok(R"({"a":"}\"","b":[1,{"c":"]"}]} ,x)", "", ",x"), ok(R"("str\"ing"])", "", "]"),
               ok(R"("a,b")", "", ""), ok(deep + ",", "", ","),
               error("[1,2", "parse error: unmatched braces"),
               error("[1}", "parse error: no matching '{'"), error("{1]", "parse error: no matching '['"),
               error("[\"abc", "parse error: missing unmatching \""),
               error("\"abc\\", "parse error: missing unmatching \"")},
              [](const char*& cursor, const char* end) {
                skipValue(cursor, end);
                return std::string();
              });
}

}  // namespace
}  // namespace vostrel
