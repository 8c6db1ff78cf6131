// Host-thread cost of the spans of one NGINX request: extract the incoming
// context, start a child, five tags, inject into the outgoing request,
// finish (serialization and the hand-off to the recorder included). The
// recorder pushes into a real SpanQueue and a consumer thread takes the
// spans as the sensor's loop thread does: it copies their bytes and gives
// the buffers back for reuse. For comparison, the same with every buffer
// freed by the consumer (host memory freed on another thread), and freed on
// the host thread itself.

#include <benchmark/benchmark.h>
#include <event2/buffer.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/secret_filter.h"
#include "bench_support.h"
#include "plugin/tracer_impl.h"
#include "reporting/span_queue.h"
#include "reporting/spare_buffers.h"
#include "runtime/shared_snapshot.h"
#include "tracing/header_key_set.h"

namespace vostrel {
namespace {

// What becomes of a finished span's buffer.
enum class Disposal {
  // Queued; the consumer copies the bytes out and gives the buffer back for
  // the next span, as the recorder does.
  recycled = 0,
  // Refused, so the finishing thread frees its own buffer.
  freedOnHost = 1,
  // Queued; the consumer frees every buffer it takes: the cost of freeing
  // host-allocated memory on another thread.
  freedByConsumer = 2,
};

class QueueRecorder final : public Recorder {
 public:
  explicit QueueRecorder(Disposal disposal)
      : disposal_(disposal), queue_(1 << 16), spares_(4096), consumer_([this] { consume(); }) {}
  ~QueueRecorder() override {
    stop_.store(true);
    consumer_.join();
  }
  bool record(ByteBuffer& buffer) noexcept override {
    if (disposal_ == Disposal::freedOnHost) return false;
    if (queue_.push(buffer)) return true;
    refused_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  ByteBuffer spareBuffer() noexcept override {
    return disposal_ == Disposal::recycled ? spares_.take() : ByteBuffer(nullptr);
  }
  uint64_t refused() const noexcept { return refused_.load(); }

 private:
  void consume() {
    // Copied into a body as the recorder does, and freed here.
    const auto dispose = [&](ByteBuffer* b1, ByteBuffer* e1, ByteBuffer* b2, ByteBuffer* e2) {
      ByteBuffer body;
      for (const auto& range : {std::make_pair(b1, e1), std::make_pair(b2, e2)}) {
        for (ByteBuffer* b = range.first; b != range.second; ++b) {
          ByteBuffer taken(std::move(*b));
          const std::size_t length = taken.size();
          body.append(reinterpret_cast<const char*>(evbuffer_pullup(taken.get(), -1)), length);
          if (disposal_ == Disposal::recycled) spares_.give(taken);
        }
      }
    };
    while (!stop_.load()) {
      queue_.consumeAll(dispose);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    queue_.consumeAll(dispose);
  }

  const Disposal disposal_;
  SpanQueue queue_;
  SpareBuffers spares_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> refused_{0};
  std::thread consumer_;
};

class BenchSensor final : public Sensor {
 public:
  explicit BenchSensor(Disposal disposal)
      : recorder_(disposal),
        headerKeys_(std::make_shared<HeaderKeySet>(std::vector<std::string>{"X-Request-Id"})),
        filter_(std::make_shared<SecretFilter>("contains-ignore-case",
                                               std::vector<std::string>{"key", "pass", "secret"})) {}
  Recorder& recorder() noexcept override { return recorder_; }
  std::shared_ptr<const HeaderKeySet> headerKeySet() const noexcept override { return headerKeys_.load(); }
  std::shared_ptr<const SecretFilter> secretFilter() const noexcept override { return filter_.load(); }
  Borrowed<HeaderKeySet> borrowHeaderKeySet() const noexcept override { return headerKeys_.borrow(); }
  Borrowed<SecretFilter> borrowSecretFilter() const noexcept override { return filter_.borrow(); }
  uint64_t refused() const noexcept { return recorder_.refused(); }

 private:
  QueueRecorder recorder_;
  // Held as the agent connection holds them.
  SharedSnapshot<HeaderKeySet> headerKeys_;
  SharedSnapshot<SecretFilter> filter_;
};

// The request headers NGINX hands over.
class IncomingHeaders final : public opentracing::HTTPHeadersReader {
 public:
  opentracing::expected<void> ForeachKey(
      std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)> f)
      const override {
    static const std::pair<opentracing::string_view, opentracing::string_view> headers[] = {
        {"Host", "shop.example.com"},
        {"User-Agent", "Mozilla/5.0 (X11; Linux x86_64)"},
        {"Accept", "*/*"},
        {"X-VOSTREL-T", "1d3f5a7b9c2e4f60"},
        {"X-VOSTREL-S", "0a1b2c3d4e5f6071"},
        {"X-VOSTREL-L", "1"},
        {"X-Request-Id", "7f1c2e"},
    };
    for (const auto& header : headers) {
      auto result = f(header.first, header.second);
      if (!result) return result;
    }
    return {};
  }
};

struct Fixture {
  explicit Fixture(Disposal disposal)
      : sensor(std::make_shared<BenchSensor>(disposal)),
        tracer(std::make_shared<TracerImpl>(std::make_shared<Logger>(), sensor)) {}
  std::shared_ptr<BenchSensor> sensor;
  std::shared_ptr<TracerImpl> tracer;
};

Fixture& fixture(Disposal disposal = Disposal::recycled) {
  // Never destroyed: they outlive every benchmark thread.
  static Fixture* fixtures[] = {new Fixture(Disposal::recycled), new Fixture(Disposal::freedOnHost),
                                new Fixture(Disposal::freedByConsumer)};
  return *fixtures[static_cast<int>(disposal)];
}

void reportPerSpan(benchmark::State& state, const Fixture& used) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["ns_per_span"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (state.thread_index() == 0 && &used != &fixture(Disposal::freedOnHost)) {
    state.counters["refused"] = static_cast<double>(used.sensor->refused());
  }
}

void requestSpan(benchmark::State& state) {
  const Fixture& used = fixture(static_cast<Disposal>(state.range(0)));
  const TracerImpl& tracer = *used.tracer;
  const IncomingHeaders incoming;
  const bench::OutgoingHeaders outgoing;
  for (auto _ : state) bench::traceRequestSpan(tracer, incoming, outgoing);
  reportPerSpan(state, used);
}
// The argument is the Disposal: 0 as the recorder does, 1 freed on the host, 2 freed by the consumer.
BENCHMARK(requestSpan)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("disposal")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->MinTime(1.0);

void startFinish(benchmark::State& state) {
  const Fixture& used = fixture();
  const TracerImpl& tracer = *used.tracer;
  const opentracing::StartSpanOptions options;
  for (auto _ : state) {
    tracer.StartSpanWithOptions("op", options)->Finish();
  }
  reportPerSpan(state, used);
}
BENCHMARK(startFinish)->Threads(1)->Threads(2)->UseRealTime()->MinTime(1.0);

}  // namespace
}  // namespace vostrel

BENCHMARK_MAIN();
