#include "reporting/span_serializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "agent/secret_filter.h"
#include "support/recording_sensor.h"
#include "tracing/span_context.h"

namespace vostrel {
namespace {

using nlohmann::ordered_json;
using opentracing::Value;
using test::TracerHarness;
using namespace std::chrono_literals;

opentracing::StartSpanOptions childOf(const opentracing::SpanContext& parent) {
  opentracing::StartSpanOptions options;
  options.references.emplace_back(opentracing::SpanReferenceType::ChildOfRef, &parent);
  return options;
}

// The record of one span, finished right away, framed and parsed as the agent sees it.
template <class Prepare>
ordered_json recordOf(TracerHarness& h, const opentracing::StartSpanOptions& options, Prepare&& prepare) {
  auto span = h.tracer->StartSpanWithOptions("op", options);
  prepare(*span);
  span->Finish();
  const auto batch = h.batch();
  EXPECT_EQ(batch.size(), 1u);
  return batch.at(0);
}

// Identifiers are signed decimals, "p" only under a parent; the trailer closes data, "n" and "f".
TEST(SpanSerializer, WritesIdentifiersAndTrailerMembers) {
  TracerHarness h;
  const ImmutableSpanContext parent(~uint64_t{0}, uint64_t{1} << 63, true, {}, {});
  const auto child = recordOf(h, childOf(parent), [](opentracing::Span&) {});
  h.sensor->recording().clear();
  const auto root = recordOf(h, {}, [](opentracing::Span&) {});

  EXPECT_EQ(child["t"], -1);
  EXPECT_EQ(child["p"], std::numeric_limits<int64_t>::min());
  EXPECT_TRUE(child["s"].is_number_integer());
  EXPECT_FALSE(root.contains("p"));
  std::vector<std::string> members;
  for (const auto& member : child.items()) members.push_back(member.key());
  EXPECT_EQ(members, (std::vector<std::string>{"t", "p", "s", "ts", "d", "data", "n", "f"}));
  EXPECT_EQ(child["data"].dump(), R"({"sdk":{"name":"op"}})");
  EXPECT_EQ(child["n"], "sdk");
  EXPECT_EQ(child["f"].dump(), R"({"e":4711,"h":"uuid"})");
}

// The duration runs from the steady start to the finish time of the options, in whole milliseconds.
TEST(SpanSerializer, WritesDurationFromFinishOptions) {
  TracerHarness h;
  const auto start = opentracing::SteadyClock::now();
  opentracing::StartSpanOptions options;
  options.start_steady_timestamp = start;
  auto span = h.tracer->StartSpanWithOptions("op", options);
  opentracing::FinishSpanOptions finish;
  finish.finish_steady_timestamp = start + 1500ms + 999us;
  span->FinishWithOptions(finish);
  EXPECT_EQ(h.batch().at(0)["d"], 1500);
}

// A service name from the trailer lands in "data" after "sdk".
TEST(SpanSerializer, TrailerAddsServiceToData) {
  TracerHarness h;
  h.tracer->StartSpan("op")->Finish();
  const auto record =
      ordered_json::parse(test::frameBatch(h.sensor->records(), test::spanTail(1, "u", "shop"))).at(0);
  EXPECT_EQ(record["data"].dump(), R"({"sdk":{"name":"op"},"service":"shop"})");
}

// "custom" appears only with content; "tags" is then always there, "http.header" joins it without a stray comma.
TEST(SpanSerializer, WritesCustomOnlyWithContent) {
  TracerHarness h;
  const auto withBaggage = recordOf(h, {}, [](opentracing::Span& s) { s.SetBaggageItem("b", "1"); });
  h.sensor->recording().clear();
  const ImmutableSpanContext capturing(1, 2, true, {}, {}, {{"x-user", "bob"}});
  const auto withHeaders = recordOf(h, childOf(capturing), [](opentracing::Span&) {});
  h.sensor->recording().clear();
  const auto withBoth = recordOf(h, childOf(capturing), [](opentracing::Span& s) { s.SetTag("a", 1); });

  EXPECT_EQ(withBaggage["data"]["sdk"]["custom"].dump(), R"({"tags":{},"baggage":{"b":"1"}})");
  EXPECT_EQ(withHeaders["data"]["sdk"]["custom"].dump(), R"({"tags":{"http.header":{"x-user":"bob"}}})");
  EXPECT_EQ(withBoth["data"]["sdk"]["custom"]["tags"].dump(), R"({"a":1,"http.header":{"x-user":"bob"}})");
}

// Extra fields become top-level members; "true" and "false" are literals, anything else a string.
TEST(SpanSerializer, WritesExtraFieldsAsTopLevelMembers) {
  TracerHarness h;
  const ImmutableSpanContext parent(1, 2, true, {}, {{"sy", "true"}, {"crid", "false!"}, {"crtp", "web"}});
  const auto record = recordOf(h, childOf(parent), [](opentracing::Span&) {});
  EXPECT_EQ(record["sy"], true);
  EXPECT_EQ(record["crid"], "false!");
  EXPECT_EQ(record["crtp"], "web");
}

// Tag values keep their JSON kinds; names and texts are escaped.
TEST(SpanSerializer, WritesTagValuesWithTheirKinds) {
  TracerHarness h;
  const auto record = recordOf(h, {}, [](opentracing::Span& s) {
    s.SetOperationName("say \"hi\"\n");
    s.SetTag("bool", true);
    s.SetTag("double", 1.5);
    s.SetTag("nan", std::nan(""));
    s.SetTag("int", -3);
    s.SetTag("uint", std::numeric_limits<uint64_t>::max());
    s.SetTag("string", std::string("t\xc3\xa9"));
    s.SetTag("null", nullptr);
    s.SetTag("list", opentracing::Values{1, "x"});
    s.SetTag("dict", opentracing::Dictionary{{"k", false}});
  });
  const auto& tags = record["data"]["sdk"]["custom"]["tags"];
  EXPECT_EQ(record["data"]["sdk"]["name"], "say \"hi\"\n");
  EXPECT_EQ(tags["bool"], true);
  EXPECT_EQ(tags["double"], 1.5);
  EXPECT_EQ(tags["nan"], "NaN");
  EXPECT_EQ(tags["int"], -3);
  EXPECT_EQ(tags["uint"], std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(tags["string"], "t\u00c3\u00a9");
  EXPECT_TRUE(tags["null"].is_null());
  EXPECT_EQ(tags["list"].dump(), R"([1,"x"])");
  EXPECT_EQ(tags["dict"].dump(), R"({"k":false})");
}

struct UrlCase {
  const char* name;
  Value url;
  bool replaceFilter;  // an equals filter for "user" instead of the default one
  bool removeFilter;
  ordered_json expected;
};

class SpanSerializerUrl : public ::testing::TestWithParam<UrlCase> {};

// Only a text "http.url" tag is redacted, by the sensor's current filter.
TEST_P(SpanSerializerUrl, RedactsUrlTagWithCurrentFilter) {
  TracerHarness h;
  if (GetParam().replaceFilter) {
    h.sensor->setSecretFilter(std::make_shared<SecretFilter>("equals", std::vector<std::string>{"user"}));
  }
  if (GetParam().removeFilter) h.sensor->setSecretFilter(nullptr);
  const auto record = recordOf(h, {}, [](opentracing::Span& s) {
    s.SetTag("http.url", GetParam().url);
    s.SetTag("other", "/a?apikey=1");
    s.SetBaggageItem("url", "/a?apikey=1");
  });
  const auto& custom = record["data"]["sdk"]["custom"];
  EXPECT_EQ(custom["tags"]["http.url"], GetParam().expected);
  EXPECT_EQ(custom["tags"]["other"], "/a?apikey=1");
  EXPECT_EQ(custom["baggage"]["url"], "/a?apikey=1");
}

INSTANTIATE_TEST_SUITE_P(
    Urls, SpanSerializerUrl,
    ::testing::Values(UrlCase{"DefaultFilter", Value(std::string("/a?apikey=1&b=2")), false, false, "/a?b=2"},
                      UrlCase{"CString", Value(static_cast<const char*>("/a?pass=1&b=2")), false, false, "/a?b=2"},
                      UrlCase{"ReplacedFilter", Value("/a?apikey=1&user=2"), true, false, "/a?apikey=1"},
                      UrlCase{"NoFilter", Value("/a?apikey=1"), false, true, "/a?apikey=1"},
                      UrlCase{"Number", Value(42), false, false, 42}),
    [](const auto& info) { return std::string(info.param.name); });

// Log records become one member per millisecond in time order; records of the same millisecond are merged.
TEST(SpanSerializer, MergesLogRecordsOfOneMillisecond) {
  TracerHarness h;
  auto span = h.tracer->StartSpan("op");
  const opentracing::SystemTime t{std::chrono::milliseconds(1700000000000)};
  opentracing::FinishSpanOptions finish;
  finish.log_records = {{t + 5ms, {{"late", Value(1)}}},
                        {t + 2us, {{"x", Value(1)}, {"y", Value(2)}}},
                        {t + 3us, {{"y", Value(3)}, {"z", Value(4)}}},
                        {t - 1ms, {{"early", Value(1)}}}};
  span->FinishWithOptions(finish);
  EXPECT_EQ(h.batch().at(0)["data"]["sdk"]["custom"]["logs"].dump(),
            R"({"1699999999999":{"early":1},"1700000000000":{"x":1,"y":2,"z":4},"1700000000005":{"late":1}})");
}

// Many fields in one millisecond stay unique however many there are.
TEST(SpanSerializer, KeepsLogMemberNamesUniqueInLargeRecords) {
  TracerHarness h;
  auto span = h.tracer->StartSpan("op");
  const opentracing::SystemTime t{std::chrono::milliseconds(1700000000000)};
  opentracing::FinishSpanOptions finish;
  for (int record = 0; record < 3; ++record) {
    opentracing::LogRecord log{t, {}};
    for (int i = 0; i < 40; ++i) log.fields.emplace_back("k" + std::to_string(i), Value(record));
    finish.log_records.push_back(std::move(log));
  }
  span->FinishWithOptions(finish);
  const std::string piece = h.sensor->records().at(0);
  EXPECT_EQ(piece.find("\"k7\":0"), piece.rfind("\"k7\":"));
  const auto logs = h.batch().at(0)["data"]["sdk"]["custom"]["logs"];
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs.begin()->size(), 40u);
  for (const auto& field : logs.begin()->items()) EXPECT_EQ(field.value(), 0);
}

// A batch of several records is one JSON array with the trailer after each record.
TEST(SpanSerializer, FramesRecordsIntoOneArray) {
  TracerHarness h;
  for (const char* name : {"a", "b", "c"}) h.tracer->StartSpan(name)->Finish();
  const auto pieces = h.sensor->records();
  for (const auto& piece : pieces) EXPECT_EQ(piece.rfind(",{\"t\":", 0), 0u);

  const std::string single = test::frameBatch({pieces[0]}, test::spanTail(4711, "uuid"));
  EXPECT_EQ(single.front(), '[');
  EXPECT_EQ(single.substr(single.size() - 2), "}]");
  const auto batch = h.batch();
  ASSERT_TRUE(batch.is_array());
  ASSERT_EQ(batch.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(batch[i]["data"]["sdk"]["name"], std::string(1, static_cast<char>('a' + i)));
    EXPECT_EQ(batch[i]["f"]["e"], 4711);
  }
}

// A record far larger than the thread's scratch is written whole, and the next record after it is intact.
TEST(SpanSerializer, WritesRecordsLargerThanScratch) {
  TracerHarness h;
  const std::string large = std::string(100 * 1024, 'a') + "\"" + std::string(1000, 'b');
  h.tracer->StartSpan("large")->SetTag("big", large);
  auto big = h.tracer->StartSpan("large");
  big->SetTag("big", large);
  big->SetTag("plain", std::string(3000, 'c'));
  big->Finish();
  h.tracer->StartSpan("small")->Finish();
  const auto batch = h.batch();
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[1]["data"]["sdk"]["custom"]["tags"]["big"], large);
  EXPECT_EQ(batch[1]["data"]["sdk"]["custom"]["tags"]["plain"], std::string(3000, 'c'));
  EXPECT_EQ(batch[2]["data"]["sdk"].dump(), R"({"name":"small"})");
}

// Names are checked many bytes at a time: a byte that needs escaping is
// found wherever it stands, and plain text of any length is copied whole.
TEST(SpanSerializer, EscapesSpecialBytesAtEveryPosition) {
  TracerHarness h;
  for (const char special : {'\x01', '\x1f', '"', '\\', '\x7f', '\x80', '\xff', 'a', ' ', '~'}) {
    for (std::size_t length = 1; length <= 40; ++length) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string name(length, 'n');
        name[at] = special;
        h.tracer->StartSpan(name)->Finish();
        const auto batch = h.batch();
        h.sensor->recording().clear();
        ASSERT_EQ(batch.size(), 1u);
        // Each byte from 0x80 up is escaped as a character of its own, which
        // the parser hands back as that code point in UTF-8.
        std::string expected;
        for (const char c : name) {
          const auto byte = static_cast<unsigned char>(c);
          if (byte < 0x80) {
            expected += c;
          } else {
            expected += static_cast<char>(0xC0 | (byte >> 6));
            expected += static_cast<char>(0x80 | (byte & 0x3F));
          }
        }
        ASSERT_EQ(batch[0]["data"]["sdk"]["name"].get<std::string>(), expected)
            << "byte " << int(static_cast<unsigned char>(special)) << " at " << at << " of " << length;
      }
    }
  }
}

// serializeSpan can be called on its own, and the finish time of the options decides the duration.
TEST(SpanSerializer, SerializesOpenSpanDirectly) {
  TracerHarness h;
  const auto start = opentracing::SteadyClock::now();
  opentracing::StartSpanOptions options;
  options.start_steady_timestamp = start;
  auto span = h.tracer->StartSpanWithOptions("direct", options);
  opentracing::FinishSpanOptions finish;
  finish.finish_steady_timestamp = start + 42ms;
  const ByteBuffer piece = serializeSpan(static_cast<const Span&>(*span), finish);
  const auto record = ordered_json::parse(test::frameBatch({piece.toString()}, test::spanTail(1, "u"))).at(0);
  EXPECT_EQ(record["d"], 42);
  EXPECT_EQ(record["data"]["sdk"]["name"], "direct");
}


// A buffer given back for reuse still holds an earlier span, in one chain or
// several, shorter or longer than the new record: the record comes out the
// same as in a new buffer.
TEST(SpanSerializer, ReusedBufferHoldsOnlyTheNewRecord) {
  TracerHarness h;
  auto span = h.tracer->StartSpan("reused");
  span->SetTag("long", std::string(3000, 'x'));
  opentracing::FinishSpanOptions finish;
  finish.finish_steady_timestamp = opentracing::SteadyClock::now();
  const auto serialize = [&] { return serializeSpan(static_cast<const Span&>(*span), finish).toString(); };
  const std::string fresh = serialize();

  const auto holding = [](const std::vector<std::size_t>& chainLengths) {
    ByteBuffer spare;
    for (const std::size_t length : chainLengths) {
      ByteBuffer chain;
      chain.append(std::string(length, 'o'));
      spare.appendBuffer(chain);
    }
    return spare;
  };
  const std::vector<std::vector<std::size_t>> spares = {{}, {1}, {10}, {10000}, {700, 5000}};
  for (const auto& chains : spares) {
    SCOPED_TRACE(testing::Message() << chains.size() << " chains, first " << (chains.empty() ? 0 : chains[0]));
    h.sensor->recording().offerSpare(holding(chains));
    EXPECT_EQ(serialize(), fresh);
  }
}

}  // namespace
}  // namespace vostrel
