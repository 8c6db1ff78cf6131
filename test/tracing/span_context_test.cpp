#include "tracing/span_context.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "support/text_map_carrier.h"
#include "tracing/header_key_set.h"

namespace vostrel {
namespace {

using test::Headers;

// Builds a context the way the tracer does: extraction, then the maps moved in.
std::unique_ptr<ImmutableSpanContext> extractFromHttp(Headers headers, const HeaderKeySet* keys) {
  const test::HttpHeadersReader reader(std::move(headers));
  uint64_t traceId = 0, spanId = 0;
  bool level = true;
  StringMap baggage, extra, captured;
  const auto found = extractSpanContextImpl<CaseInsensitiveKeyCompare>(
      reader, traceId, spanId, level, keys, baggage, extra, captured, CaseInsensitiveKeyCompare{});
  if (!found || !*found) return nullptr;
  return std::make_unique<ImmutableSpanContext>(traceId, spanId, level, std::move(baggage), std::move(extra),
                                                std::move(captured));
}

// An extracted context passes its own level on, with its baggage, and
// writes neither extra fields nor captured headers into text carriers.
TEST(ImmutableSpanContext, InjectsWhatWasExtracted) {
  const HeaderKeySet keys({"User-Agent"});
  const auto context = extractFromHttp({{"X-VOSTREL-T", "a"},
                                        {"X-VOSTREL-S", "B"},
                                        {"X-VOSTREL-L", "0"},
                                        {"X-VOSTREL-SYNTHETIC", "1"},
                                        {"X-VOSTREL-B-Tenant", "blue"},
                                        {"user-agent", "curl"}},
                                       &keys);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->capturedHeaders(), (StringMap{{"user-agent", "curl"}}));

  test::TextMapWriter textMap;
  ASSERT_TRUE(context->inject(textMap));
  test::HttpHeadersWriter http;
  ASSERT_TRUE(context->inject(http));
  const Headers expected{{"X-VOSTREL-T", "000000000000000a"},
                         {"X-VOSTREL-S", "000000000000000b"},
                         {"X-VOSTREL-L", "0"},
                         {"X-VOSTREL-B-Tenant", "blue"}};
  EXPECT_EQ(textMap.headers, expected);
  EXPECT_EQ(http.headers, expected);
}

// A context with zero ids (only extra data arrived) still injects, as zeros.
TEST(ImmutableSpanContext, InjectsZeroIds) {
  const ImmutableSpanContext context(0, 0, true, {}, {{"sy", "true"}});
  test::TextMapWriter writer;
  ASSERT_TRUE(context.inject(writer));
  EXPECT_EQ(writer.headers, (Headers{{"X-VOSTREL-T", "0000000000000000"},
                                     {"X-VOSTREL-S", "0000000000000000"},
                                     {"X-VOSTREL-L", "1"}}));
}

// The stream form carries the extra fields as well.
TEST(ImmutableSpanContext, InjectsBinaryWithExtraFields) {
  const ImmutableSpanContext context(3, 4, false, {{"k", "v"}}, {{"crid", "x"}});
  std::stringstream stream;
  ASSERT_TRUE(context.inject(static_cast<std::ostream&>(stream)));
  uint64_t traceId = 0, spanId = 0;
  bool level = true;
  StringMap baggage, extra;
  const auto found = extractSpanContext(stream, traceId, spanId, level, baggage, extra);
  ASSERT_TRUE(found && *found);
  const ImmutableSpanContext back(traceId, spanId, level, std::move(baggage), std::move(extra));
  EXPECT_EQ(back, context);
  StringMap backExtra;
  back.foreachExtraField([&](const std::string& k, const std::string& v) { return backExtra.emplace(k, v).second; });
  EXPECT_EQ(backExtra, (StringMap{{"crid", "x"}}));
}

// Visiting stops after the first false; an empty visitor is a caller error
// only once there is something to visit.
TEST(ImmutableSpanContext, VisitsUntilFalse) {
  const ImmutableSpanContext context(1, 2, true, {{"a", "1"}, {"b", "2"}, {"c", "3"}}, {{"x", "1"}, {"y", "2"}});
  int calls = 0;
  context.ForeachBaggageItem([&](const std::string&, const std::string&) {
    ++calls;
    return false;
  });
  EXPECT_EQ(calls, 1);
  calls = 0;
  context.foreachExtraField([&](const std::string&, const std::string&) {
    ++calls;
    return false;
  });
  EXPECT_EQ(calls, 1);

  EXPECT_THROW(context.ForeachBaggageItem(nullptr), std::bad_function_call);
  EXPECT_THROW(context.foreachExtraField(nullptr), std::bad_function_call);
  const ImmutableSpanContext empty(1, 2, true, {}, {});
  EXPECT_NO_THROW(empty.ForeachBaggageItem(nullptr));
  EXPECT_NO_THROW(empty.foreachExtraField(nullptr));
}

// Equality looks at ids, level, baggage and captured headers, never at
// extra fields or insertion order.
TEST(SpanContextEquality, ComparesContent) {
  StringMap forward, backward;
  for (int i = 0; i < 50; ++i) forward.emplace(std::to_string(i), "v");
  for (int i = 49; i >= 0; --i) backward.emplace(std::to_string(i), "v");
  const ImmutableSpanContext base(1, 2, true, forward, {{"crid", "a"}}, {{"h", "1"}});

  const struct {
    const char* name;
    ImmutableSpanContext other;
    bool equal;
  } cases[] = {
      {"same content, other order, other extra", {1, 2, true, backward, {{"sy", "true"}}, {{"h", "1"}}}, true},
      {"trace id", {9, 2, true, forward, {}, {{"h", "1"}}}, false},
      {"span id", {1, 9, true, forward, {}, {{"h", "1"}}}, false},
      {"level", {1, 2, false, forward, {}, {{"h", "1"}}}, false},
      {"baggage value", {1, 2, true, StringMap{{"0", "x"}}, {}, {{"h", "1"}}}, false},
      {"baggage missing", {1, 2, true, {}, {}, {{"h", "1"}}}, false},
      {"captured value", {1, 2, true, forward, {}, {{"h", "2"}}}, false},
      {"captured missing", {1, 2, true, forward, {}, {}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(base == c.other, c.equal);
    EXPECT_EQ(c.other == base, c.equal);
    EXPECT_EQ(base != c.other, !c.equal);
  }
}

#if VOSTREL_OPENTRACING_ABI >= 3
// A clone is an equal, independent context; the id texts are the header forms.
TEST(ImmutableSpanContext, ClonesAndFormatsIds) {
  auto original = std::make_unique<ImmutableSpanContext>(0xABCull, 0xFFFFFFFFFFFFFFFFull, false,
                                                         StringMap{{"k", "v"}}, StringMap{{"sy", "true"}},
                                                         StringMap{{"h", "1"}});
  std::unique_ptr<opentracing::SpanContext> clone = original->Clone();
  const auto* copy = dynamic_cast<const ImmutableSpanContext*>(clone.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(*copy, *original);
  original.reset();
  EXPECT_EQ(copy->level(), false);
  EXPECT_EQ(copy->capturedHeaders(), (StringMap{{"h", "1"}}));
  StringMap extra;
  copy->foreachExtraField([&](const std::string& k, const std::string& v) { return extra.emplace(k, v).second; });
  EXPECT_EQ(extra, (StringMap{{"sy", "true"}}));
  EXPECT_EQ(copy->ToTraceID(), "0000000000000abc");
  EXPECT_EQ(copy->ToSpanID(), "ffffffffffffffff");
}
#endif

}  // namespace
}  // namespace vostrel
