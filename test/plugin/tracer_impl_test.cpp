#include "plugin/tracer_impl.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/foreign_context.h"
#include "support/header_carrier.h"
#include "support/recording_sensor.h"
#include "tracing/header_key_set.h"
#include "tracing/span_context.h"

namespace vostrel {
namespace {

using test::Headers;
using test::HttpHeadersCarrier;
using test::TextMapCarrier;
using test::TracerHarness;

using test::ForeignContext;

const SpanContext& own(const opentracing::SpanContext& context) { return dynamic_cast<const SpanContext&>(context); }

// A context of another tracer is refused with invalid_span_context_error and nothing is written.
TEST(TracerImpl, InjectRefusesForeignContext) {
  TracerHarness h;
  const ForeignContext foreign;
  TextMapCarrier textMap;
  HttpHeadersCarrier http;
  std::ostringstream stream;
  const opentracing::expected<void> results[] = {h.tracer->Inject(foreign, textMap), h.tracer->Inject(foreign, http),
                                                 h.tracer->Inject(foreign, stream)};
  for (const auto& result : results) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), opentracing::invalid_span_context_error);
  }
  EXPECT_TRUE(textMap.headers().empty());
  EXPECT_TRUE(http.headers().empty());
  EXPECT_TRUE(stream.str().empty());
}

// A span's context survives injection and extraction through each carrier kind.
TEST(TracerImpl, RoundTripsContextThroughEveryCarrier) {
  TracerHarness h;
  auto span = h.tracer->StartSpan("op");
  span->SetBaggageItem("Key", "value");

  TextMapCarrier textMap;
  ASSERT_TRUE(h.tracer->Inject(span->context(), textMap));
  HttpHeadersCarrier http;
  ASSERT_TRUE(h.tracer->Inject(span->context(), http));
  std::stringstream stream;
  ASSERT_TRUE(h.tracer->Inject(span->context(), stream));

  auto fromTextMap = h.tracer->Extract(textMap);
  auto fromHttp = h.tracer->Extract(static_cast<const opentracing::HTTPHeadersReader&>(http));
  auto fromStream = h.tracer->Extract(stream);
  for (auto* extracted : {&fromTextMap, &fromHttp, &fromStream}) {
    ASSERT_TRUE(*extracted);
    ASSERT_NE(extracted->value(), nullptr);
    EXPECT_TRUE(own(*extracted->value()) == own(span->context()));
  }
}

// HTTP extraction captures the headers of the sensor's current header set, and none before there is one.
TEST(TracerImpl, CapturesHeadersOnlyWithHeaderSet) {
  TracerHarness h;
  const HttpHeadersCarrier http(Headers{{"X-VOSTREL-T", "1"},
                                        {"X-VOSTREL-S", "2"},
                                        {"X-VOSTREL-L", "0"},
                                        {"X-VOSTREL-B-k", "v"},
                                        {"X-User", "bob"}});
  auto before = h.tracer->Extract(static_cast<const opentracing::HTTPHeadersReader&>(http));
  ASSERT_TRUE(before && *before);
  const auto& plain = own(**before);
  EXPECT_EQ(plain.traceId(), 1u);
  EXPECT_EQ(plain.spanId(), 2u);
  EXPECT_FALSE(plain.level());
  EXPECT_TRUE(plain.capturedHeaders().empty());
  StringMap baggage;
  plain.ForeachBaggageItem([&](const std::string& k, const std::string& v) { return baggage.emplace(k, v).second; });
  EXPECT_EQ(baggage, (StringMap{{"k", "v"}}));

  h.sensor->setHeaderKeySet(std::make_shared<HeaderKeySet>(std::vector<std::string>{"X-USER"}));
  auto after = h.tracer->Extract(static_cast<const opentracing::HTTPHeadersReader&>(http));
  ASSERT_TRUE(after && *after);
  EXPECT_EQ(own(**after).capturedHeaders(), (StringMap{{"x-user", "bob"}}));

  // Text maps never capture.
  const TextMapCarrier textMap(http.headers());
  auto fromTextMap = h.tracer->Extract(textMap);
  ASSERT_TRUE(fromTextMap && *fromTextMap);
  EXPECT_TRUE(own(**fromTextMap).capturedHeaders().empty());
}

// A carrier without context headers gives a successful null context.
TEST(TracerImpl, ExtractsNullFromCarrierWithoutContext) {
  TracerHarness h;
  const Headers unrelated{{"Host", "example"}};
  std::istringstream stream;
  const opentracing::expected<std::unique_ptr<opentracing::SpanContext>> results[] = {
      h.tracer->Extract(TextMapCarrier(unrelated)),
      h.tracer->Extract(static_cast<const opentracing::HTTPHeadersReader&>(HttpHeadersCarrier(unrelated))),
      h.tracer->Extract(stream)};
  for (const auto& result : results) {
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, nullptr);
  }
}

class ThrowingReader final : public opentracing::TextMapReader {
 public:
  explicit ThrowingReader(bool outOfMemory) : outOfMemory_(outOfMemory) {}
  opentracing::expected<void> ForeachKey(
      std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)>)
      const override {
    if (outOfMemory_) throw std::bad_alloc();
    throw std::runtime_error("carrier broke");
  }

 private:
  bool outOfMemory_;
};

// Extraction errors come back as codes: the routine's own, ENOMEM, or invalid_carrier_error for a throwing carrier.
TEST(TracerImpl, ReportsExtractionFailuresAsCodes) {
  TracerHarness h;
  const auto corrupted = h.tracer->Extract(TextMapCarrier(Headers{{"X-VOSTREL-T", "1"}}));
  const auto outOfMemory = h.tracer->Extract(ThrowingReader(true));
  const auto broken = h.tracer->Extract(ThrowingReader(false));
  ASSERT_FALSE(corrupted);
  EXPECT_EQ(corrupted.error(), opentracing::span_context_corrupted_error);
  ASSERT_FALSE(outOfMemory);
  EXPECT_EQ(outOfMemory.error(), std::make_error_code(std::errc::not_enough_memory));
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error(), opentracing::invalid_carrier_error);
  EXPECT_TRUE(h.log.lines().empty());
}

// A span keeps its tracer alive after the host has let go of it.
TEST(TracerImpl, SpanKeepsTracerAlive) {
  TracerHarness h;
  std::weak_ptr<TracerImpl> weak = h.tracer;
  auto span = h.tracer->StartSpan("op");
  h.tracer.reset();
  EXPECT_FALSE(weak.expired());
  span->Finish();
  EXPECT_EQ(h.sensor->records().size(), 1u);
  span.reset();
  EXPECT_TRUE(weak.expired());
}

// Close flushes nothing and changes nothing: spans finished afterwards are still reported.
TEST(TracerImpl, CloseLeavesReportingAlone) {
  TracerHarness h;
  auto open = h.tracer->StartSpan("open");
  h.tracer->StartSpan("before")->Finish();
  h.tracer->Close();
  EXPECT_EQ(h.sensor->records().size(), 1u);
  open->Finish();
  h.tracer->StartSpan("after")->Finish();
  EXPECT_EQ(h.sensor->records().size(), 3u);
}

class CustomCarrier final : public opentracing::CustomCarrierWriter, public opentracing::CustomCarrierReader {
 public:
  opentracing::expected<void> Inject(const opentracing::Tracer& tracer,
                                     const opentracing::SpanContext&) const override {
    injectedBy = &tracer;
    return opentracing::make_unexpected(std::make_error_code(std::errc::operation_not_supported));
  }
  opentracing::expected<std::unique_ptr<opentracing::SpanContext>> Extract(
      const opentracing::Tracer& tracer) const override {
    extractedBy = &tracer;
    return std::unique_ptr<opentracing::SpanContext>(new ImmutableSpanContext(3, 4, true, {}, {}));
  }
  mutable const opentracing::Tracer* injectedBy = nullptr;
  mutable const opentracing::Tracer* extractedBy = nullptr;
};

// Custom carriers run their own injection and extraction with this tracer; results pass unchanged.
TEST(TracerImpl, LetsCustomCarriersPropagate) {
  TracerHarness h;
  CustomCarrier carrier;
  auto span = h.tracer->StartSpan("op");
  const auto injected = h.tracer->Inject(span->context(), static_cast<const opentracing::CustomCarrierWriter&>(carrier));
  ASSERT_FALSE(injected);
  EXPECT_EQ(injected.error(), std::make_error_code(std::errc::operation_not_supported));
  EXPECT_EQ(carrier.injectedBy, h.tracer.get());

  const auto extracted = h.tracer->Extract(static_cast<const opentracing::CustomCarrierReader&>(carrier));
  ASSERT_TRUE(extracted && *extracted);
  EXPECT_EQ(own(**extracted).traceId(), 3u);
  EXPECT_EQ(carrier.extractedBy, h.tracer.get());
}

// A tracer that no shared pointer owns cannot start spans: one error line and no span.
TEST(TracerImpl, StartSpanWithoutOwnerLogsAndReturnsNull) {
  test::LogCapture log;
  const TracerImpl unowned(log.logger(), std::make_shared<test::RecordingSensor>());
  EXPECT_EQ(unowned.StartSpan("op"), nullptr);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Error: StartSpanWithOptions failed: ", 0), 0u);
}

}  // namespace
}  // namespace vostrel
