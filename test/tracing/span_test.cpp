#include "tracing/span.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "support/foreign_context.h"
#include "support/header_carrier.h"
#include "support/recording_sensor.h"
#include "tracing/identifiers.h"
#include "tracing/span_context.h"

namespace vostrel {
namespace {

using opentracing::Value;
using test::TracerHarness;
using namespace std::chrono_literals;

std::unique_ptr<opentracing::Span> startSpan(const TracerHarness& h, const opentracing::StartSpanOptions& options = {},
                                             opentracing::string_view name = "op") {
  auto span = h.tracer->StartSpanWithOptions(name, options);
  EXPECT_NE(span, nullptr);
  return span;
}

opentracing::StartSpanOptions childOf(const opentracing::SpanContext& parent) {
  opentracing::StartSpanOptions options;
  options.references.emplace_back(opentracing::SpanReferenceType::ChildOfRef, &parent);
  return options;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A value in no valid state, as a corrupted caller would pass.
Value invalidValue() {
  Value value;
  static_cast<opentracing::variant_type&>(value) = opentracing::variant_type(opentracing::util::no_init());
  return value;
}

// Finishing twice reports one record; the second finish and later changes never show.
TEST(Span, ReportsOnceWhenFinishedTwice) {
  TracerHarness h;
  auto span = startSpan(h);
  opentracing::FinishSpanOptions first, second;
  first.log_records.push_back({opentracing::SystemClock::now(), {{"first", Value(1)}}});
  second.log_records.push_back({opentracing::SystemClock::now() + 5s, {{"second", Value(2)}}});
  span->FinishWithOptions(first);
  span->FinishWithOptions(second);
  span->SetTag("late", 1);
  span.reset();

  const auto batch = h.batch();
  ASSERT_EQ(batch.size(), 1u);
  const auto& custom = batch[0]["data"]["sdk"]["custom"];
  EXPECT_FALSE(custom["tags"].contains("late"));
  ASSERT_EQ(custom["logs"].size(), 1u);
  EXPECT_TRUE(custom["logs"].begin()->contains("first"));
}

// Destroying an open span reports it with the duration up to the destruction.
TEST(Span, DestructorFinishesOpenSpan) {
  TracerHarness h;
  opentracing::StartSpanOptions options;
  options.start_steady_timestamp = opentracing::SteadyClock::now() - 2s;
  startSpan(h, options).reset();

  const auto batch = h.batch();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_GE(batch[0]["d"].get<int64_t>(), 2000);
  EXPECT_LT(batch[0]["d"].get<int64_t>(), 60000);
}

struct StartTimeCase {
  const char* name;
  bool systemGiven;
  bool steadyGiven;
};

class SpanStartTime : public ::testing::TestWithParam<StartTimeCase> {};

// Either start time alone is enough: the other clock's start is estimated from it.
TEST_P(SpanStartTime, DerivesMissingClockFromTheGivenOne) {
  TracerHarness h;
  const auto systemStart = opentracing::SystemClock::now() - 1s;
  const auto steadyStart = opentracing::SteadyClock::now() - 1s;
  opentracing::StartSpanOptions options;
  if (GetParam().systemGiven) options.start_system_timestamp = systemStart;
  if (GetParam().steadyGiven) options.start_steady_timestamp = steadyStart;
  const int64_t before = nowMs();
  auto span = startSpan(h, options);
  const int64_t after = nowMs();
  opentracing::FinishSpanOptions finish;
  finish.finish_steady_timestamp = opentracing::SteadyClock::now();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(finish.finish_steady_timestamp -
                                                                             steadyStart)
                           .count();
  span->FinishWithOptions(finish);

  const auto record = h.batch().at(0);
  const int64_t ts = record["ts"];
  const int64_t d = record["d"];
  if (GetParam().systemGiven) {
    EXPECT_EQ(ts, std::chrono::duration_cast<std::chrono::milliseconds>(systemStart.time_since_epoch()).count());
  } else if (GetParam().steadyGiven) {
    EXPECT_GE(ts, before - 1000 - 1);
    EXPECT_LE(ts, after - 1000 + 1);
  } else {
    EXPECT_GE(ts, before);
    EXPECT_LE(ts, after);
  }
  if (GetParam().systemGiven || GetParam().steadyGiven) {
    EXPECT_GE(d, 999);
    EXPECT_LE(d, elapsed + 1);
  } else {
    EXPECT_LT(d, elapsed);
  }
}

INSTANTIATE_TEST_SUITE_P(Clocks, SpanStartTime,
                         ::testing::Values(StartTimeCase{"SystemOnly", true, false},
                                           StartTimeCase{"SteadyOnly", false, true},
                                           StartTimeCase{"Both", true, true},
                                           StartTimeCase{"Neither", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Of equal tag keys the last set wins, whether set in the options or later.
TEST(Span, KeepsLastValueOfEqualTagKeys) {
  TracerHarness h;
  opentracing::StartSpanOptions options;
  options.tags = {{"k", Value(1)}, {"k", Value(2)}, {"o", Value(1)}};
  auto span = startSpan(h, options);
  span->SetTag("t", 1);
  span->SetTag("t", 2);
  span->SetTag("o", 3);
  span->Finish();

  const auto tags = h.batch().at(0)["data"]["sdk"]["custom"]["tags"];
  EXPECT_EQ(tags["k"], 2);
  EXPECT_EQ(tags["t"], 2);
  EXPECT_EQ(tags["o"], 3);
}

struct PriorityCase {
  const char* name;
  Value value;
  bool reported;
};

class SpanSamplingPriority : public ::testing::TestWithParam<PriorityCase> {};

// Only an integer priority of 0 switches reporting off.
TEST_P(SpanSamplingPriority, DecidesReportingFromStartTag) {
  TracerHarness h;
  opentracing::StartSpanOptions options;
  options.tags = {{"sampling.priority", GetParam().value}};
  startSpan(h, options)->Finish();
  EXPECT_EQ(h.sensor->records().size(), GetParam().reported ? 1u : 0u);
  EXPECT_EQ(levelFromPriority(GetParam().value), GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SpanSamplingPriority,
    ::testing::Values(PriorityCase{"SignedZero", Value(0), false}, PriorityCase{"SignedMinusOne", Value(-1), true},
                      PriorityCase{"UnsignedZero", Value(0u), false}, PriorityCase{"UnsignedOne", Value(1u), true},
                      PriorityCase{"BoolFalse", Value(false), true}, PriorityCase{"DoubleZero", Value(0.0), true},
                      PriorityCase{"StringZero", Value(std::string("0")), true}),
    [](const auto& info) { return std::string(info.param.name); });

// SetTag of the priority switches reporting off and on again; the tag keeps the last value.
TEST(Span, SamplingPriorityTagTogglesReporting) {
  TracerHarness h;
  auto suppressed = startSpan(h);
  suppressed->SetTag("sampling.priority", 0);
  suppressed->Finish();
  EXPECT_TRUE(h.sensor->records().empty());

  auto restored = startSpan(h);
  restored->SetTag("sampling.priority", 0);
  restored->SetTag("sampling.priority", 1);
  restored->Finish();
  EXPECT_EQ(h.batch().at(0)["data"]["sdk"]["custom"]["tags"]["sampling.priority"], 1);
}

// A parent that says "not recorded" suppresses the child's report, yet the child injects level 1.
TEST(Span, ParentLevelOffSuppressesReportButInjectsLevelOn) {
  TracerHarness h;
  const ImmutableSpanContext parent(5, 6, false, {}, {});
  auto span = startSpan(h, childOf(parent));
  EXPECT_FALSE(static_cast<const SpanContext&>(span->context()).level());
  test::TextMapCarrier carrier;
  ASSERT_TRUE(h.tracer->Inject(span->context(), carrier));
  ASSERT_NE(carrier.find("X-VOSTREL-L"), nullptr);
  EXPECT_EQ(*carrier.find("X-VOSTREL-L"), "1");
  span->Finish();
  EXPECT_TRUE(h.sensor->records().empty());
}

// Of several references the first is the parent, whatever its type, with one warning.
TEST(Span, TakesFirstOfSeveralReferences) {
  TracerHarness h;
  const ImmutableSpanContext first(11, 12, true, {}, {});
  const ImmutableSpanContext second(21, 22, true, {}, {});
  opentracing::StartSpanOptions options;
  options.references = {{opentracing::SpanReferenceType::FollowsFromRef, &first},
                        {opentracing::SpanReferenceType::ChildOfRef, &second}};
  startSpan(h, options)->Finish();

  EXPECT_EQ(h.log.lines(),
            std::vector<std::string>{"Warn: Span created with 2 references; ignoring all but the first"});
  const auto record = h.batch().at(0);
  EXPECT_EQ(record["t"], 11);
  EXPECT_EQ(record["p"], 12);
}

using test::ForeignContext;

// A context of another tracer, or a null one, is no parent: the span opens a new trace.
TEST(Span, StartsNewTraceForForeignOrNullReference) {
  TracerHarness h;
  const ForeignContext foreign;
  startSpan(h, childOf(foreign))->Finish();
  opentracing::StartSpanOptions nullReference;
  nullReference.references.emplace_back(opentracing::SpanReferenceType::ChildOfRef, nullptr);
  startSpan(h, nullReference)->Finish();

  EXPECT_EQ(h.log.lines(), std::vector<std::string>{"Error: Passed in span reference of unexpected type"});
  const auto batch = h.batch();
  ASSERT_EQ(batch.size(), 2u);
  for (const auto& record : batch) EXPECT_FALSE(record.contains("p"));
}

// A child shares its parent's captured headers, and still reports them after the parent is gone.
TEST(Span, KeepsCapturedHeadersAfterParentIsDestroyed) {
  TracerHarness h;
  auto parent = std::make_unique<ImmutableSpanContext>(1, 2, true, StringMap{}, StringMap{},
                                                       StringMap{{"x-user", "u"}});
  auto span = startSpan(h, childOf(*parent));
  parent.reset();
  EXPECT_EQ(static_cast<const SpanContext&>(span->context()).capturedHeaders(), (StringMap{{"x-user", "u"}}));
  span->Finish();
  EXPECT_EQ(h.batch().at(0)["data"]["sdk"]["custom"]["tags"]["http.header"]["x-user"], "u");
}

// A parent without ids opens a new trace, but its baggage, extra fields and captured headers travel on.
TEST(Span, InheritsFromParentWithoutIds) {
  TracerHarness h;
  const ImmutableSpanContext parent(0, 0, true, {{"b", "1"}}, {{"crid", "abc"}}, {{"x-user", "u"}});
  auto span = startSpan(h, childOf(parent));
  EXPECT_EQ(span->BaggageItem("b"), "1");
  EXPECT_EQ(static_cast<const SpanContext&>(span->context()).capturedHeaders(), (StringMap{{"x-user", "u"}}));
  span->Finish();

  const auto record = h.batch().at(0);
  EXPECT_FALSE(record.contains("p"));
  EXPECT_EQ(record["crid"], "abc");
  EXPECT_EQ(record["data"]["sdk"]["custom"]["tags"]["http.header"]["x-user"], "u");
}

// Correlation data opens a new trace even under a valid parent, and so for every descendant.
TEST(Span, ExtraFieldsOpenNewTracesDownTheTree) {
  TracerHarness h;
  const ImmutableSpanContext parent(7, 8, true, {}, {{"sy", "true"}});
  auto child = startSpan(h, childOf(parent));
  auto grandchild = startSpan(h, childOf(child->context()));
  const auto& childContext = static_cast<const SpanContext&>(child->context());
  const auto& grandchildContext = static_cast<const SpanContext&>(grandchild->context());
  EXPECT_NE(childContext.traceId(), 7u);
  EXPECT_NE(grandchildContext.traceId(), childContext.traceId());
  grandchild->Finish();
  child->Finish();

  for (const auto& record : h.batch()) {
    EXPECT_FALSE(record.contains("p"));
    EXPECT_EQ(record["sy"], true);
  }
}

// Baggage keeps the first value of a key; a child copies the parent's baggage once, at its start.
TEST(Span, BaggageKeepsFirstValueAndIsCopiedAtChildStart) {
  TracerHarness h;
  auto parent = startSpan(h);
  parent->SetBaggageItem("Key", "first");
  parent->SetBaggageItem("Key", "second");
  EXPECT_EQ(parent->BaggageItem("Key"), "first");
  EXPECT_EQ(parent->BaggageItem("key"), "");
  EXPECT_EQ(parent->BaggageItem("never"), "");

  auto child = startSpan(h, childOf(parent->context()));
  parent->SetBaggageItem("later", "x");
  EXPECT_EQ(child->BaggageItem("Key"), "first");
  EXPECT_EQ(child->BaggageItem("later"), "");
  child->Finish();
  EXPECT_EQ(h.batch().at(0)["p"].get<int64_t>(),
            static_cast<int64_t>(static_cast<const SpanContext&>(parent->context()).spanId()));
}

// Log sorts its fields by key and keeps the first of equal keys; finish records keep their order,
// and a repeated key among them is written once, with its first value.
TEST(Span, LogSortsFieldsAndKeepsFirstOfEqualKeys) {
  TracerHarness h;
  auto span = startSpan(h);
  span->Log({{"b", 1}, {"a", 2}, {"b", 3}});
  opentracing::FinishSpanOptions finish;
  finish.log_records.push_back({opentracing::SystemClock::now() + 10s, {{"b", Value(1)}, {"a", Value(2)}, {"b", Value(3)}}});
  span->FinishWithOptions(finish);

  const auto logs = h.batch().at(0)["data"]["sdk"]["custom"]["logs"];
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs.begin()->dump(), R"({"a":2,"b":1})");
  EXPECT_EQ((++logs.begin())->dump(), R"({"b":1,"a":2})");
}

// Text the caller lends (const char*, string_view), at any depth, is copied when stored.
TEST(Span, CopiesBorrowedTextWhenStoring) {
  TracerHarness h;
  auto lent = [](const char* text) {
    std::unique_ptr<char[]> copy(new char[std::strlen(text) + 1]);
    std::strcpy(copy.get(), text);
    return copy;
  };
  auto startTag = lent("start"), tag = lent("tag"), nested = lent("nested"), logged = lent("logged"),
       finishLogged = lent("finish");
  opentracing::StartSpanOptions options;
  options.tags = {{"s", Value(static_cast<const char*>(startTag.get()))}};
  auto span = startSpan(h, options);
  span->SetTag("c", static_cast<const char*>(tag.get()));
  span->SetTag("n", Value(opentracing::Values{Value(static_cast<const char*>(nested.get())),
                                              Value(opentracing::Dictionary{
                                                  {"d", Value(static_cast<const char*>(nested.get()))}})}));
#if VOSTREL_OPENTRACING_ABI >= 3
  span->SetTag("v", opentracing::string_view(tag.get()));
#endif
  span->Log({{"l", static_cast<const char*>(logged.get())}});
  span->SetTag("null", static_cast<const char*>(nullptr));
  opentracing::FinishSpanOptions finish;
  finish.log_records.push_back(
      {opentracing::SystemClock::now() + 10s, {{"f", Value(static_cast<const char*>(finishLogged.get()))}}});
  for (auto* text : {startTag.get(), tag.get(), nested.get(), logged.get()}) std::memset(text, 'X', std::strlen(text));
  startTag.reset(), tag.reset(), nested.reset(), logged.reset();
  span->FinishWithOptions(finish);
  std::memset(finishLogged.get(), 'X', 6);
  finishLogged.reset();

  const auto custom = h.batch().at(0)["data"]["sdk"]["custom"];
  EXPECT_EQ(custom["tags"]["s"], "start");
  EXPECT_EQ(custom["tags"]["c"], "tag");
  EXPECT_EQ(custom["tags"]["n"].dump(), R"(["nested",{"d":"nested"}])");
#if VOSTREL_OPENTRACING_ABI >= 3
  EXPECT_EQ(custom["tags"]["v"], "tag");
#endif
  EXPECT_TRUE(custom["tags"]["null"].is_null());
  ASSERT_EQ(custom["logs"].size(), 2u);
  EXPECT_EQ(custom["logs"].begin()->dump(), R"({"l":"logged"})");
  EXPECT_EQ((++custom["logs"].begin())->dump(), R"({"f":"finish"})");
}

// Each failing operation logs one "<name> failed: " line, leaves its state unchanged and the span usable.
TEST(Span, FailedOperationsLogAndLeaveSpanUsable) {
  TracerHarness h;
  const opentracing::string_view oversized("x", std::string().max_size() + 1);
  auto span = startSpan(h, {}, "name");
  span->SetOperationName(oversized);
  span->SetTag("bad", invalidValue());
  span->SetTag(oversized, 1);
  span->SetBaggageItem("k", oversized);
  EXPECT_EQ(span->BaggageItem(oversized), "");
  span->Log({{"bad", invalidValue()}});
  span->SetTag("good", 1);
  span->Finish();

  std::vector<std::string> prefixes;
  for (const auto& line : h.log.lines()) prefixes.push_back(line.substr(0, line.find(':', 7) + 1));
  EXPECT_EQ(prefixes, (std::vector<std::string>{"Error: SetOperationName failed:", "Error: SetTag failed:",
                                                "Error: SetTag failed:", "Error: SetBaggageItem failed:",
                                                "Error: BaggageItem failed:", "Error: Log failed:"}));
  const auto sdk = h.batch().at(0)["data"]["sdk"];
  EXPECT_EQ(sdk["name"], "name");
  EXPECT_EQ(sdk["custom"]["tags"].dump(), R"({"good":1})");
  EXPECT_FALSE(sdk["custom"].contains("logs"));
  EXPECT_FALSE(sdk["custom"].contains("baggage"));
}

// A finish that fails logs once, reports nothing and stays final.
TEST(Span, FailedFinishStaysFinished) {
  TracerHarness h;
  auto span = startSpan(h);
  opentracing::FinishSpanOptions bad;
  bad.log_records.push_back({opentracing::SystemClock::now(), {{"bad", invalidValue()}}});
  span->FinishWithOptions(bad);
  span->Finish();
  span.reset();
  ASSERT_EQ(h.log.lines().size(), 1u);
  EXPECT_EQ(h.log.lines()[0].rfind("Error: FinishWithOptions failed: ", 0), 0u);
  EXPECT_TRUE(h.sensor->records().empty());
}

// A record the recorder refuses is freed by the span, and later spans are reported again.
TEST(Span, ReleasesRefusedRecord) {
  TracerHarness h;
  h.sensor->refuseRecords(true);
  startSpan(h)->Finish();
  h.sensor->refuseRecords(false);
  startSpan(h, {}, "after")->Finish();
  const auto batch = h.batch();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0]["data"]["sdk"]["name"], "after");
}

#if VOSTREL_OPENTRACING_ABI >= 3
// Clone is an immutable snapshot with everything the span passes on, its level included.
TEST(Span, CloneSnapshotsContext) {
  TracerHarness h;
  const ImmutableSpanContext parent(0xabc, 0xdef, true, {{"b", "1"}}, {}, {{"x-user", "u"}});
  auto span = startSpan(h, childOf(parent));
  span->SetBaggageItem("c", "2");
  span->SetTag("sampling.priority", 0);
  const auto clone = span->context().Clone();
  span->SetBaggageItem("d", "3");

  const auto* copy = dynamic_cast<const ImmutableSpanContext*>(clone.get());
  ASSERT_NE(copy, nullptr);
  const auto& original = static_cast<const SpanContext&>(span->context());
  EXPECT_EQ(copy->traceId(), 0xabcu);
  EXPECT_EQ(copy->spanId(), original.spanId());
  EXPECT_FALSE(copy->level());
  StringMap baggage;
  copy->ForeachBaggageItem([&](const std::string& k, const std::string& v) { return baggage.emplace(k, v).second; });
  EXPECT_EQ(baggage, (StringMap{{"b", "1"}, {"c", "2"}}));
  EXPECT_EQ(copy->capturedHeaders(), (StringMap{{"x-user", "u"}}));

  EXPECT_EQ(span->context().ToTraceID(), "0000000000000abc");
  char hex[16];
  EXPECT_EQ(span->context().ToSpanID(), std::string(formatHexId(original.spanId(), hex).data(), 16));
}

// Clone carries extra fields too, so a child of the clone opens a new trace as a child of the span would.
TEST(Span, CloneCarriesExtraFields) {
  TracerHarness h;
  const ImmutableSpanContext parent(1, 2, true, {}, {{"crtp", "web"}});
  auto span = startSpan(h, childOf(parent));
  const auto clone = span->context().Clone();
  StringMap extra;
  static_cast<const SpanContext&>(*clone).foreachExtraField(
      [&](const std::string& k, const std::string& v) { return extra.emplace(k, v).second; });
  EXPECT_EQ(extra, (StringMap{{"crtp", "web"}}));
}

// The timestamped Log overloads record at the given millisecond, fields handled as by Log.
TEST(Span, LogsAtGivenTime) {
  TracerHarness h;
  auto span = startSpan(h);
  const opentracing::SystemTime at{std::chrono::milliseconds(1700000000123)};
  span->Log(at, {{"b", 1}, {"a", 2}});
  const std::vector<std::pair<opentracing::string_view, Value>> fields{{"z", 1}, {"y", 2}};
  span->Log(at + 1ms, fields);
  span->Finish();

  const auto logs = h.batch().at(0)["data"]["sdk"]["custom"]["logs"];
  EXPECT_EQ(logs.dump(), R"({"1700000000123":{"a":2,"b":1},"1700000000124":{"y":2,"z":1}})");
}
#endif

}  // namespace
}  // namespace vostrel
