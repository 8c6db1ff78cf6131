// Spans per second delivered end to end, from host threads through the
// sensor to a loopback agent that only counts records (the validating
// simulator is slower than the sensor), at the default buffer cap; a run counts only
// when nothing was dropped. The producer is paced at the given rate (spans
// per second, 0: as fast as it can) for the given number of spans.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench_support.h"
#include "counting_agent.h"
#include "plugin/tracer_factory.h"
#include "plugin/tracer_options.h"

namespace {

using Clock = std::chrono::steady_clock;

void delivery(benchmark::State& state) {
  const auto rate = static_cast<uint64_t>(state.range(0));
  const auto total = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    vostrel::bench::CountingAgent agent;
    vostrel::TracerOptions options;
    options.agent_host = "127.0.0.1";
    options.agent_port = agent.port();
    options.max_buffered_spans = 1000;
    options.connect_delay = 20000;
    auto tracer = vostrel::createTracer(options);
    const auto incoming = vostrel::bench::incomingHeadersFor(*tracer);
    const vostrel::bench::OutgoingHeaders outgoing;
    auto waitFor = [](auto condition, std::chrono::milliseconds timeout) {
      auto deadline = Clock::now() + timeout;
      while (!condition() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return condition();
    };
    // The caller span of the incoming headers is the first record.
    if (!waitFor([&] { return agent.records() >= 1; }, std::chrono::seconds(10))) {
      state.SkipWithError("the sensor did not deliver to the agent");
      return;
    }
    const size_t before = agent.records();

    const auto start = Clock::now();
    // Small steps: a request rate, not bursts of back-to-back spans.
    constexpr uint64_t chunk = 10;
    for (size_t sent = 0; sent < total;) {
      for (uint64_t i = 0; i < chunk && sent < total; ++i, ++sent) {
        vostrel::bench::traceRequestSpan(*tracer, incoming, outgoing);
      }
      if (rate > 0) std::this_thread::sleep_until(start + std::chrono::nanoseconds(sent * 1000000000ull / rate));
    }
    const auto produced = Clock::now();
    // The last batch goes out with the next timed flush.
    const bool all = waitFor([&] { return agent.records() >= before + total; }, std::chrono::seconds(5));
    const size_t received = agent.records() - before;
    const double seconds = std::chrono::duration<double>(produced - start).count();
    // The rate the spans were finished at; all of them arrived when zero_drops is 1.
    state.counters["offered_per_s"] = static_cast<double>(total) / seconds;
    state.counters["dropped"] = static_cast<double>(total - received);
    state.counters["zero_drops"] = all && received == total ? 1 : 0;
    tracer.reset();
  }
}

BENCHMARK(delivery)
    ->ArgNames({"rate", "spans"})
    ->Args({20000, 40000})
    ->Args({50000, 100000})
    ->Args({75000, 150000})
    ->Args({100000, 200000})
    ->Args({150000, 300000})
    ->Args({0, 200000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
