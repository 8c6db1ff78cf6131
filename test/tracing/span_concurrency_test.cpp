#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "agent/secret_filter.h"
#include "support/header_carrier.h"
#include "support/recording_sensor.h"
#include "tracing/header_key_set.h"
#include "tracing/span.h"

namespace vostrel {
namespace {

using test::HttpHeadersCarrier;
using test::TextMapCarrier;
using test::TracerHarness;

opentracing::StartSpanOptions childOf(const opentracing::SpanContext& parent) {
  opentracing::StartSpanOptions options;
  options.references.emplace_back(opentracing::SpanReferenceType::ChildOfRef, &parent);
  return options;
}

// Lets a group of threads start their racing step together.
class StartLine {
 public:
  explicit StartLine(int runners) : waiting_(runners) {}
  void arriveAndWait() {
    waiting_.fetch_sub(1);
    while (waiting_.load() > 0) std::this_thread::yield();
  }

 private:
  std::atomic<int> waiting_;
};

// Of finishes racing each other and the destructor, exactly one reports the span.
TEST(SpanConcurrency, RacingFinishesReportEachSpanOnce) {
  TracerHarness h;
  constexpr int spans = 50;
  constexpr int finishers = 3;
  for (int i = 0; i < spans; ++i) {
    auto span = h.tracer->StartSpan("contested");
    StartLine line(finishers);
    std::vector<std::thread> threads;
    for (int t = 0; t < finishers; ++t) {
      threads.emplace_back([&, t] {
        line.arriveAndWait();
        if (t == 0) {
          span->Log({{"event", "finish"}});
          span->SetTag("racer", t);
        }
        span->Finish();
      });
    }
    for (auto& thread : threads) thread.join();
    span.reset();
  }
  EXPECT_EQ(h.sensor->records().size(), static_cast<std::size_t>(spans));
  EXPECT_EQ(h.batch().size(), static_cast<std::size_t>(spans));
}

// Threads extract, tag, log, inject and finish shared and own spans while the agent's settings are replaced.
TEST(SpanConcurrency, WorksOnSpansWhileSettingsChange) {
  TracerHarness h;
  const auto defaultFilter = h.sensor->secretFilter();
  const auto userFilter = std::make_shared<SecretFilter>("equals", std::vector<std::string>{"user"});
  auto shared = h.tracer->StartSpan("shared");

  std::atomic<bool> stop{false};
  std::thread replacer([&] {
    for (int i = 0; !stop.load(); ++i) {
      h.sensor->setHeaderKeySet(i % 3 == 0 ? nullptr
                                           : std::make_shared<HeaderKeySet>(std::vector<std::string>{"X-User"}));
      h.sensor->setSecretFilter(i % 2 == 0 ? defaultFilter : userFilter);
      std::this_thread::yield();
    }
  });

  constexpr int workers = 4;
  constexpr int rounds = 300;
  StartLine line(workers);
  std::vector<std::thread> threads;
  for (int t = 0; t < workers; ++t) {
    threads.emplace_back([&, t] {
      line.arriveAndWait();
      const HttpHeadersCarrier incoming(test::Headers{
          {"X-VOSTREL-T", "00000000000000aa"}, {"X-VOSTREL-S", "00000000000000bb"}, {"X-User", "bob"}});
      for (int i = 0; i < rounds; ++i) {
        auto extracted = h.tracer->Extract(static_cast<const opentracing::HTTPHeadersReader&>(incoming));
        ASSERT_TRUE(extracted && *extracted);
        auto child = h.tracer->StartSpanWithOptions("child", childOf(**extracted));
        child->SetTag("http.url", "/a?apikey=1&user=2");
        child->SetTag("worker", t);
        // A burst, so that tagging threads overlap with nothing else ordering them.
        for (int k = 0; k < 16; ++k) shared->SetTag("worker" + std::to_string(t), i * 16 + k);
        shared->SetBaggageItem("b" + std::to_string(t), "v");
        shared->Log({{"round", i}});

        TextMapCarrier outgoing;
        ASSERT_TRUE(h.tracer->Inject(shared->context(), outgoing));
        ASSERT_TRUE(h.tracer->Inject(child->context(), outgoing));
        auto grandchild = h.tracer->StartSpanWithOptions("grandchild", childOf(shared->context()));
        grandchild->Finish();
        child->Finish();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  stop.store(true);
  replacer.join();
  shared->Finish();

  const auto batch = h.batch();
  ASSERT_EQ(batch.size(), static_cast<std::size_t>(workers * rounds * 2 + 1));
  std::size_t children = 0;
  for (const auto& record : batch) {
    const auto& sdk = record["data"]["sdk"];
    if (sdk["name"] != "child") continue;
    ++children;
    EXPECT_EQ(record["t"], 0xaa);
    const auto url = sdk["custom"]["tags"]["http.url"].get<std::string>();
    EXPECT_TRUE(url == "/a?user=2" || url == "/a?apikey=1") << url;
  }
  EXPECT_EQ(children, static_cast<std::size_t>(workers * rounds));
  const auto& last = batch.back()["data"]["sdk"];
  EXPECT_EQ(last["name"], "shared");
  EXPECT_EQ(last["custom"]["baggage"].size(), static_cast<std::size_t>(workers));
}

}  // namespace
}  // namespace vostrel
