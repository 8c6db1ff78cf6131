// Cost of pushing serialized spans into the span queue from host threads
// while the loop thread drains it, against the cost of making the span's
// buffer alone.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

#include "reporting/span_queue.h"

namespace vostrel {
namespace {

constexpr char kPayload[] = ",{\"t\":\"0123456789abcdef\",\"s\":\"fedcba9876543210\",\"n\":\"sdk\",\"d\":12}";

ByteBuffer makeSpan() {
  ByteBuffer buffer;
  buffer.append(kPayload, sizeof(kPayload) - 1);
  return buffer;
}

// A queue with a consumer thread that frees everything it takes, as the
// recorder does after moving the spans into a request body.
struct Drained {
  SpanQueue queue{1000};
  std::atomic<bool> stop{false};
  std::thread consumer{[this] {
    while (!stop.load(std::memory_order_relaxed)) {
      queue.consumeAll([](ByteBuffer* b1, ByteBuffer* e1, ByteBuffer* b2, ByteBuffer* e2) {
        for (; b1 != e1; ++b1) b1->reset();
        for (; b2 != e2; ++b2) b2->reset();
      });
      std::this_thread::yield();
    }
  }};
  ~Drained() {
    stop.store(true);
    consumer.join();
  }
};

std::unique_ptr<Drained> drained;

void startConsumer(const benchmark::State&) { drained = std::make_unique<Drained>(); }
void stopConsumer(const benchmark::State&) { drained.reset(); }

void BM_MakeSpanBuffer(benchmark::State& state) {
  for (auto _ : state) {
    ByteBuffer buffer = makeSpan();
    benchmark::DoNotOptimize(buffer.get());
  }
}
BENCHMARK(BM_MakeSpanBuffer);

// Make a span buffer and push it; a refused span is freed by its producer.
void BM_PushWhileDrained(benchmark::State& state) {
  int64_t refused = 0;
  for (auto _ : state) {
    ByteBuffer buffer = makeSpan();
    if (!drained->queue.push(buffer)) ++refused;
  }
  const double pushed = static_cast<double>(state.iterations() - refused);
  state.counters["pushed"] = benchmark::Counter(pushed, benchmark::Counter::kIsRate);
  state.counters["refused"] = benchmark::Counter(static_cast<double>(refused), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PushWhileDrained)->Setup(startConsumer)->Teardown(stopConsumer)->Threads(1)->Threads(2)->UseRealTime();

// The refusal path: a full queue costs two index reads.
void BM_PushIntoFullQueue(benchmark::State& state) {
  SpanQueue queue(1);
  ByteBuffer first = makeSpan();
  queue.push(first);
  ByteBuffer buffer = makeSpan();
  for (auto _ : state) benchmark::DoNotOptimize(queue.push(buffer));
}
BENCHMARK(BM_PushIntoFullQueue);

}  // namespace
}  // namespace vostrel

BENCHMARK_MAIN();
