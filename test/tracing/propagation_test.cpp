#include "tracing/propagation.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/text_map_carrier.h"
#include "tracing/header_key_set.h"

namespace vostrel {
namespace {

using test::Headers;

const std::error_code corrupted = opentracing::span_context_corrupted_error;
const std::error_code invalidArgument = std::make_error_code(std::errc::invalid_argument);
const std::error_code overflow = std::make_error_code(std::errc::value_too_large);
const std::error_code ioError = std::make_error_code(std::errc::io_error);

struct Extracted {
  std::error_code error;
  bool found = false;
  uint64_t traceId = 0;
  uint64_t spanId = 0;
  bool level = true;
  StringMap baggage;
  StringMap extraFields;
  StringMap capturedHeaders;
};

Extracted noContext() { return {}; }
Extracted failure(std::error_code error) {
  Extracted e;
  e.error = error;
  return e;
}
Extracted context(uint64_t traceId, uint64_t spanId, bool level = true, StringMap baggage = {},
                  StringMap extraFields = {}, StringMap capturedHeaders = {}) {
  return {{}, true, traceId, spanId, level, std::move(baggage), std::move(extraFields), std::move(capturedHeaders)};
}

enum class Carrier { textMap, http };

Extracted extract(Carrier carrier, Headers headers, const HeaderKeySet* keys = nullptr) {
  Extracted out;
  opentracing::expected<bool> result;
  if (carrier == Carrier::textMap) {
    const test::TextMapReader reader(std::move(headers));
    result = extractSpanContextImpl(reader, out.traceId, out.spanId, out.level, keys, out.baggage, out.extraFields,
                                    out.capturedHeaders, ExactKeyCompare{});
  } else {
    const test::HttpHeadersReader reader(std::move(headers));
    result = extractSpanContextImpl<CaseInsensitiveKeyCompare>(reader, out.traceId, out.spanId, out.level, keys,
                                                               out.baggage, out.extraFields, out.capturedHeaders,
                                                               CaseInsensitiveKeyCompare{});
  }
  if (!result) return failure(result.error());
  if (!*result) return noContext();
  out.found = true;
  return out;
}

void expectSame(const Extracted& actual, const Extracted& expected) {
  EXPECT_EQ(actual.error, expected.error);
  EXPECT_EQ(actual.found, expected.found);
  if (!expected.found) return;
  EXPECT_EQ(actual.traceId, expected.traceId);
  EXPECT_EQ(actual.spanId, expected.spanId);
  EXPECT_EQ(actual.level, expected.level);
  EXPECT_EQ(actual.baggage, expected.baggage);
  EXPECT_EQ(actual.extraFields, expected.extraFields);
  EXPECT_EQ(actual.capturedHeaders, expected.capturedHeaders);
}

// Injection writes the ids as 16 lower-case digits, then the level, then one
// header per baggage entry with its key's case kept; HTTP extraction reads it back.
TEST(TextPropagation, InjectsAndExtractsRoundTrip) {
  const StringMap baggage{{"a-rather-long-Key", "1"}, {"K", "two"}};
  test::HttpHeadersWriter writer;
  ASSERT_TRUE(injectSpanContext(writer, 1, 0xABCDEF0123456789ull, true, baggage));

  ASSERT_EQ(writer.headers.size(), 5u);
  EXPECT_EQ(writer.headers[0], (std::pair<std::string, std::string>("X-VOSTREL-T", "0000000000000001")));
  EXPECT_EQ(writer.headers[1], (std::pair<std::string, std::string>("X-VOSTREL-S", "abcdef0123456789")));
  EXPECT_EQ(writer.headers[2], (std::pair<std::string, std::string>("X-VOSTREL-L", "1")));
  const StringMap baggageHeaders(writer.headers.begin() + 3, writer.headers.end());
  EXPECT_EQ(baggageHeaders, (StringMap{{"X-VOSTREL-B-a-rather-long-Key", "1"}, {"X-VOSTREL-B-K", "two"}}));

  expectSame(extract(Carrier::http, writer.headers), context(1, 0xABCDEF0123456789ull, true, baggage));
}

// Level false goes out as "0"; with no baggage exactly three headers are set.
TEST(TextPropagation, InjectsLevelZero) {
  test::TextMapWriter writer;
  ASSERT_TRUE(injectSpanContext(writer, 0, 0, false, {}));
  EXPECT_EQ(writer.headers, (Headers{{"X-VOSTREL-T", "0000000000000000"},
                                     {"X-VOSTREL-S", "0000000000000000"},
                                     {"X-VOSTREL-L", "0"}}));
}

// The first Set that fails ends the injection with its own error; what was
// set before stays.
TEST(TextPropagation, InjectStopsAtFailingSet) {
  for (int failAt = 0; failAt < 4; ++failAt) {
    SCOPED_TRACE(failAt);
    test::TextMapWriter writer(failAt);
    const auto result = injectSpanContext(writer, 1, 2, true, {{"k", "v"}});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), opentracing::invalid_carrier_error);
    EXPECT_EQ(writer.headers.size(), static_cast<std::size_t>(failAt));
  }
}

struct ExtractCase {
  const char* name;
  Carrier carrier;
  Headers headers;
  std::vector<std::string> headerKeys;  // empty: no header set
  Extracted expected;
};

class TextExtraction : public ::testing::TestWithParam<ExtractCase> {};

// Each case is one decision of text extraction: which headers count, what
// they yield, and when the carrier is refused as corrupted.
TEST_P(TextExtraction, Decides) {
  const ExtractCase& c = GetParam();
  std::unique_ptr<HeaderKeySet> keys;
  if (!c.headerKeys.empty()) keys = std::make_unique<HeaderKeySet>(c.headerKeys);
  expectSame(extract(c.carrier, c.headers, keys.get()), c.expected);
}

const Carrier text = Carrier::textMap;
const Carrier http = Carrier::http;
const std::string T = "X-VOSTREL-T";
const std::string S = "X-VOSTREL-S";
const std::string L = "X-VOSTREL-L";
const std::string SY = "X-VOSTREL-SYNTHETIC";

INSTANTIATE_TEST_SUITE_P(
    Cases, TextExtraction,
    ::testing::Values(
        // Identifier counter.
        ExtractCase{"NoHeaders", text, {}, {}, noContext()},
        ExtractCase{"UnrelatedHeaders", http, {{"Host", "x"}}, {}, noContext()},
        ExtractCase{"BothIds", text, {{T, "1"}, {S, "2"}, {"Other", "x"}}, {}, context(1, 2)},
        ExtractCase{"OnlyTraceId", text, {{T, "1"}}, {}, failure(corrupted)},
        ExtractCase{"OnlySpanId", http, {{S, "1"}}, {}, failure(corrupted)},
        ExtractCase{"RepeatedTraceIdCountsTwiceLastValueKept", text, {{T, "1"}, {T, "2"}}, {}, context(2, 0)},
        ExtractCase{"ThreeIdHeaders", text, {{T, "1"}, {S, "2"}, {T, "3"}}, {}, failure(corrupted)},
        ExtractCase{"HexPrefixIsCorrupted", text, {{T, "0x1"}, {S, "2"}}, {}, failure(corrupted)},
        ExtractCase{"SeventeenDigitsAreCorrupted", text, {{T, "10000000000000000"}, {S, "2"}}, {},
                    failure(corrupted)},
        ExtractCase{"BadIdBeatsSyntheticData", text, {{SY, "1"}, {T, "zz"}}, {}, failure(corrupted)},
        ExtractCase{"EmptyIdIsCorrupted", http, {{T, ""}, {S, "2"}}, {}, failure(corrupted)},
        ExtractCase{"LowerCaseKeysIgnoredInTextMap", text, {{"x-vostrel-t", "1"}, {"x-vostrel-s", "2"}}, {},
                    noContext()},
        ExtractCase{"AnyCaseKeysReadFromHttp", http, {{"x-vostrel-t", " 00AbC "}, {"X-Vostrel-S", "2"}}, {},
                    context(0xabc, 2)},
        // Level and correlation.
        ExtractCase{"LevelZero", text, {{T, "1"}, {S, "2"}, {L, "0"}}, {}, context(1, 2, false)},
        ExtractCase{"LevelOneEmptyOrOther", text, {{L, "1"}, {T, "1"}, {L, ""}, {S, "2"}, {L, "x"}}, {},
                    context(1, 2, true)},
        ExtractCase{"LastLevelDecides", text, {{L, "0"}, {T, "1"}, {S, "2"}, {L, "1"}}, {}, context(1, 2, true)},
        ExtractCase{"LevelZeroSkipsCorrelation", text,
                    {{T, "1"}, {S, "2"}, {L, "0,correlationType=web;correlationId=abc"}}, {}, context(1, 2, false)},
        ExtractCase{"CorrelationIdCutTo16", http,
                    {{T, "1"}, {S, "2"}, {L, "1,correlationType=web;correlationId=0123456789abcdefXYZ"}}, {},
                    context(1, 2, true, {}, {{"crtp", "web"}, {"crid", "0123456789abcdef"}})},
        ExtractCase{"CorrelationOnlyGivesZeroIds", text, {{L, "1,correlationType=web;correlationId=abc"}}, {},
                    context(0, 0, true, {}, {{"crtp", "web"}, {"crid", "abc"}})},
        ExtractCase{"CorrelationWithoutSemicolon", text,
                    {{T, "1"}, {S, "2"}, {L, "1,correlationType=webcorrelationId=abc"}}, {}, context(1, 2)},
        ExtractCase{"CorrelationWithoutIdTag", text, {{L, "1,correlationType=web;correlation=abc"}}, {},
                    noContext()},
        ExtractCase{"CorrelationTagIsCaseSensitive", http, {{L, "1,correlationtype=web;correlationId=abc"}}, {},
                    noContext()},
        ExtractCase{"FirstCorrelationWins", text,
                    {{L, "1,correlationType=a;correlationId=1"}, {L, "1,correlationType=b;correlationId=2"}}, {},
                    context(0, 0, true, {}, {{"crtp", "a"}, {"crid", "1"}})},
        // Synthetic requests.
        ExtractCase{"SyntheticRescuesLoneTraceId", text, {{T, "1"}, {SY, "1"}, {L, "0"}}, {},
                    context(0, 0, true, {}, {{"sy", "true"}})},
        ExtractCase{"SyntheticKeepsBothIds", http, {{"x-vostrel-synthetic", "1"}, {T, "1"}, {S, "2"}}, {},
                    context(1, 2, true, {}, {{"sy", "true"}})},
        ExtractCase{"SyntheticNeedsExactOne", text, {{SY, "true"}, {SY, " 1"}}, {}, noContext()},
        // Baggage.
        ExtractCase{"BaggageWithoutIdsIsLost", text, {{"X-VOSTREL-B-k", "v"}}, {}, noContext()},
        ExtractCase{"BaggageFirstValueWins", text,
                    {{T, "1"}, {S, "2"}, {"X-VOSTREL-B-k", "first"}, {"X-VOSTREL-B-k", "second"}}, {},
                    context(1, 2, true, {{"k", "first"}})},
        ExtractCase{"BarePrefixIsNoBaggage", text, {{T, "1"}, {S, "2"}, {"X-VOSTREL-B-", "v"}}, {}, context(1, 2)},
        ExtractCase{"BaggageKeyCaseKeptThroughHttp", http, {{T, "1"}, {S, "2"}, {"x-vostrel-b-UserId", "v"}}, {},
                    context(1, 2, true, {{"UserId", "v"}})},
        ExtractCase{"LowerCasePrefixIsNoBaggageInTextMap", text, {{T, "1"}, {S, "2"}, {"x-vostrel-b-k", "v"}}, {},
                    context(1, 2)},
        // Captured headers.
        ExtractCase{"CapturesAnyCaseUnderLowerName", http, {{"USER-AGENT", "curl"}, {"Accept", "x"}},
                    {"User-Agent"}, context(0, 0, true, {}, {}, {{"user-agent", "curl"}})},
        ExtractCase{"CapturedFirstValueWins", http, {{T, "1"}, {S, "2"}, {"user-agent", "a"}, {"User-Agent", "b"}},
                    {"user-agent", "x-forwarded-for"}, context(1, 2, true, {}, {}, {{"user-agent", "a"}})},
        ExtractCase{"PrefixOrLongerNameNotCaptured", http, {{"User", "a"}, {"User-Agent-X", "b"}}, {"User-Agent"},
                    noContext()},
        ExtractCase{"ContextHeaderCanBeCapturedToo", http, {{T, "1"}, {S, "2"}}, {"x-vostrel-t"},
                    context(1, 2, true, {}, {}, {{"x-vostrel-t", "1"}})}),
    [](const ::testing::TestParamInfo<ExtractCase>& info) { return std::string(info.param.name); });

// An error of the carrier's own iteration reaches the caller unchanged.
TEST(TextPropagation, PassesReaderErrorThrough) {
  struct FailingReader : opentracing::TextMapReader {
    opentracing::expected<void> ForeachKey(
        std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)>)
        const override {
      return opentracing::make_unexpected(opentracing::lookup_key_not_supported_error);
    }
  } reader;
  uint64_t traceId = 0, spanId = 0;
  bool level = true;
  StringMap baggage, extra, captured;
  const auto result = extractSpanContextImpl(reader, traceId, spanId, level, nullptr, baggage, extra, captured,
                                             ExactKeyCompare{});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), opentracing::lookup_key_not_supported_error);
}

// A carrier that throws despite its interface never throws through us.
TEST(TextPropagation, ReportsThrowingCarrierAsInvalid) {
  struct ThrowingReader : opentracing::TextMapReader {
    opentracing::expected<void> ForeachKey(
        std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)>)
        const override {
      throw std::runtime_error("broken carrier");
    }
  } reader;
  struct ThrowingWriter : opentracing::TextMapWriter {
    opentracing::expected<void> Set(opentracing::string_view, opentracing::string_view) const override {
      throw std::runtime_error("broken carrier");
    }
  } writer;
  uint64_t traceId = 0, spanId = 0;
  bool level = true;
  StringMap baggage, extra, captured;
  const auto extracted = extractSpanContextImpl(reader, traceId, spanId, level, nullptr, baggage, extra, captured,
                                                ExactKeyCompare{});
  ASSERT_FALSE(extracted);
  EXPECT_EQ(extracted.error(), opentracing::invalid_carrier_error);
  const auto injected = injectSpanContext(writer, 1, 2, true, {});
  ASSERT_FALSE(injected);
  EXPECT_EQ(injected.error(), opentracing::invalid_carrier_error);
}

struct HexCase {
  const char* text;
  std::error_code error;
  uint64_t value;
};

// The identifier parse accepts blanks around, upper case, leading zeros and
// up to 16 significant digits; everything else is refused with its own code.
TEST(ParseHexId, ParsesOrRefuses) {
  const HexCase cases[] = {
      {"", invalidArgument, 0},
      {" \t\n", invalidArgument, 0},
      {"0x1", invalidArgument, 0},
      {"-1", invalidArgument, 0},
      {"+1", invalidArgument, 0},
      {"12 34", invalidArgument, 0},
      {"g", invalidArgument, 0},
      {"\xc3\xa9", invalidArgument, 0},
      {" 00AbC\t", {}, 0xabc},
      {"0", {}, 0},
      {"0000", {}, 0},
      {"1", {}, 1},
      {"ffffffffffffffff", {}, std::numeric_limits<uint64_t>::max()},
      {"0FFFFFFFFFFFFFFFF", {}, std::numeric_limits<uint64_t>::max()},
      {"10000000000000000", overflow, 0},
      {"1zzzzzzzzzzzzzzzz", overflow, 0},
  };
  for (const HexCase& c : cases) {
    SCOPED_TRACE(c.text);
    const auto result = parseHexId(c.text);
    if (c.error) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), c.error);
    } else {
      ASSERT_TRUE(result);
      EXPECT_EQ(*result, c.value);
    }
  }
  // A NUL inside the range is a byte like any other, not an end.
  EXPECT_FALSE(parseHexId(opentracing::string_view("1\0" "2", 3)));
}

// Sixteen characters, the length of our own ids, take a path of their own:
// every byte value at every position gives what the plain rule gives.
TEST(ParseHexId, SixteenCharactersWithAnyByteAnywhere) {
  const auto reference = [](std::string text) -> opentracing::expected<uint64_t> {
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!text.empty() && blank(text.front())) text.erase(0, 1);
    while (!text.empty() && blank(text.back())) text.pop_back();
    if (text.empty()) return opentracing::make_unexpected(invalidArgument);
    uint64_t value = 0;
    for (const char c : text) {
      const char* digits = "0123456789abcdef";
      const char* at = std::strchr(digits, std::tolower(static_cast<unsigned char>(c)));
      if (c == '\0' || at == nullptr) return opentracing::make_unexpected(invalidArgument);
      value = value << 4 | static_cast<uint64_t>(at - digits);
    }
    return value;
  };
  for (const std::string base : {"0123456789abcdef", "FEDCBA9876543210"}) {
    for (std::size_t position = 0; position < base.size(); ++position) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string text = base;
        text[position] = static_cast<char>(byte);
        SCOPED_TRACE(testing::Message() << "byte " << byte << " at " << position);
        const auto expected = reference(text);
        const auto result = parseHexId(opentracing::string_view(text.data(), text.size()));
        ASSERT_EQ(static_cast<bool>(result), static_cast<bool>(expected));
        if (expected) {
          EXPECT_EQ(*result, *expected);
        }
      }
    }
  }
}

// Forges binary records field by field.
struct Record {
  std::string bytes;
  template <class T>
  Record& raw(T value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    return *this;
  }
  Record& ids(uint64_t traceId, uint64_t spanId, uint8_t level) {
    return raw(traceId).raw(spanId).raw(level);
  }
  Record& field(const std::string& s) {
    raw(static_cast<uint32_t>(s.size()));
    bytes += s;
    return *this;
  }
};

struct BinaryExtracted {
  opentracing::expected<bool> result;
  uint64_t traceId = 0;
  uint64_t spanId = 0;
  bool level = true;
  StringMap baggage;
  StringMap extraFields;
};

BinaryExtracted extractBinary(std::istream& stream) {
  BinaryExtracted out;
  out.result = extractSpanContext(stream, out.traceId, out.spanId, out.level, out.baggage, out.extraFields);
  return out;
}

BinaryExtracted extractBinary(const std::string& bytes) {
  std::istringstream stream(bytes);
  return extractBinary(stream);
}

// The binary form carries ids, level, baggage and extra fields, and every
// cut of a record short of its end is an I/O error.
TEST(BinaryPropagation, RoundTripsAndRefusesEveryTruncation) {
  const StringMap baggage{{"k", "v"}, {"empty", ""}};
  const StringMap extra{{"crid", "abc"}};
  std::ostringstream out;
  ASSERT_TRUE(injectSpanContext(out, 0x8000000000000001ull, 7, false, baggage, extra));
  const std::string bytes = out.str();
  EXPECT_EQ(bytes.size(), 8 + 8 + 1 + 4 + (4 + 1 + 4 + 1) + (4 + 5 + 4 + 0) + 4 + (4 + 4 + 4 + 3));

  const BinaryExtracted whole = extractBinary(bytes);
  ASSERT_TRUE(whole.result);
  EXPECT_TRUE(*whole.result);
  EXPECT_EQ(whole.traceId, 0x8000000000000001ull);
  EXPECT_EQ(whole.spanId, 7u);
  EXPECT_FALSE(whole.level);
  EXPECT_EQ(whole.baggage, baggage);
  EXPECT_EQ(whole.extraFields, extra);

  for (std::size_t length = 1; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    const BinaryExtracted cut = extractBinary(bytes.substr(0, length));
    ASSERT_FALSE(cut.result);
    EXPECT_EQ(cut.result.error(), ioError);
  }
}

// Decisions of binary extraction on forged records.
TEST(BinaryPropagation, ReadsForgedRecords) {
  BinaryExtracted empty = extractBinary(std::string());
  ASSERT_TRUE(empty.result);
  EXPECT_FALSE(*empty.result);

  // Any non-zero level byte is true; a negative count means no entries.
  BinaryExtracted e = extractBinary(Record().ids(1, 2, 7).raw(int32_t{-5}).raw(int32_t{0}).bytes);
  ASSERT_TRUE(e.result);
  EXPECT_TRUE(e.level);
  EXPECT_TRUE(e.baggage.empty());

  // A repeated key keeps its last value.
  e = extractBinary(
      Record().ids(1, 2, 1).raw(int32_t{2}).field("k").field("first").field("k").field("last").raw(int32_t{0}).bytes);
  ASSERT_TRUE(e.result);
  EXPECT_EQ(e.baggage, (StringMap{{"k", "last"}}));

  // A forged count with nothing behind it fails at the first missing entry.
  e = extractBinary(Record().ids(1, 2, 1).raw(std::numeric_limits<int32_t>::max()).bytes);
  ASSERT_FALSE(e.result);
  EXPECT_EQ(e.result.error(), ioError);
}

// Length fields above the bound are refused as corrupted before anything is
// allocated for them, for keys and values, in baggage and extra fields.
TEST(BinaryPropagation, RefusesHugeLengthFields) {
  const uint32_t huge[] = {maxBinaryFieldLength + 1, std::numeric_limits<uint32_t>::max()};
  for (const uint32_t length : huge) {
    SCOPED_TRACE(length);
    const std::string forged[] = {
        Record().ids(1, 2, 1).raw(int32_t{1}).raw(length).bytes,
        Record().ids(1, 2, 1).raw(int32_t{1}).field("k").raw(length).bytes,
        Record().ids(1, 2, 1).raw(int32_t{0}).raw(int32_t{1}).raw(length).bytes,
        Record().ids(1, 2, 1).raw(int32_t{0}).raw(int32_t{1}).field("k").raw(length).bytes,
    };
    for (const std::string& bytes : forged) {
      const BinaryExtracted e = extractBinary(bytes);
      ASSERT_FALSE(e.result);
      EXPECT_EQ(e.result.error(), corrupted);
    }
  }
}

// A value of exactly the bound travels; one byte more is refused at
// injection, so no unreadable record is ever written.
TEST(BinaryPropagation, BoundsFieldsAtInjection) {
  const std::string largest(maxBinaryFieldLength, 'x');
  std::ostringstream out;
  ASSERT_TRUE(injectSpanContext(out, 1, 2, true, {{"k", largest}}, {}));
  const BinaryExtracted e = extractBinary(out.str());
  ASSERT_TRUE(e.result);
  EXPECT_EQ(e.baggage.at("k").size(), largest.size());

  std::ostringstream refused;
  const auto result = injectSpanContext(refused, 1, 2, true, {}, {{largest + "x", "v"}});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), overflow);
  EXPECT_TRUE(refused.str().empty());
}

// Streams already in error, or failing while written, give io_error.
TEST(BinaryPropagation, ReportsStreamErrors) {
  std::istringstream failedIn(Record().ids(1, 2, 1).raw(int32_t{0}).raw(int32_t{0}).bytes);
  failedIn.setstate(std::ios::failbit);
  const BinaryExtracted e = extractBinary(failedIn);
  ASSERT_FALSE(e.result);
  EXPECT_EQ(e.result.error(), ioError);

  std::ostringstream failedOut;
  failedOut.setstate(std::ios::badbit);
  auto result = injectSpanContext(failedOut, 1, 2, true, {}, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ioError);

  struct FullBuffer : std::streambuf {
    int_type overflow(int_type) override { return traits_type::eof(); }
  } full;
  std::ostream throwingOut(&full);
  throwingOut.exceptions(std::ios::badbit | std::ios::failbit);
  result = injectSpanContext(throwingOut, 1, 2, true, {}, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ioError);
}

}  // namespace
}  // namespace vostrel
