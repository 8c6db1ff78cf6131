// Spans per second delivered end to end, from host threads through the
// sensor to the agent simulator, at the default buffer cap; a run counts only
// when nothing was dropped. The producer is paced at the given rate (spans
// per second, 0: as fast as it can) for the given number of spans.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "agent_simulator/agent_simulator.h"
#include "bench_support.h"
#include "plugin/tracer_factory.h"
#include "plugin/tracer_options.h"

namespace {

using Clock = std::chrono::steady_clock;

void delivery(benchmark::State& state) {
  const auto rate = static_cast<uint64_t>(state.range(0));
  const auto total = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    vostrel::sim::SimulatorConfig config;
    config.printSpans = false;
    vostrel::sim::AgentSimulator simulator(config);
    vostrel::TracerOptions options;
    options.agent_host = "127.0.0.1";
    options.agent_port = simulator.port();
    options.max_buffered_spans = 1000;
    options.connect_delay = 20000;
    auto tracer = vostrel::createTracer(options);
    if (!simulator.waitForRequests("HEAD", "/com.vostrel.plugin.cpp.4711", 1, std::chrono::seconds(10))) {
      state.SkipWithError("the sensor did not get ready");
      return;
    }
    // The readiness answer is in flight; give the sensor a moment to read it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto incoming = vostrel::bench::incomingHeadersFor(*tracer);
    // The caller span of the incoming headers is one more record.
    simulator.waitForSpans(1, std::chrono::seconds(5));
    const size_t before = simulator.spans().size();

    const auto start = Clock::now();
    constexpr uint64_t chunk = 100;
    for (size_t sent = 0; sent < total;) {
      for (uint64_t i = 0; i < chunk && sent < total; ++i, ++sent) {
        vostrel::bench::traceRequestSpan(*tracer, incoming);
      }
      if (rate > 0) std::this_thread::sleep_until(start + std::chrono::nanoseconds(sent * 1000000000ull / rate));
    }
    const bool all = simulator.waitForSpans(before + total, std::chrono::seconds(20));
    const auto end = Clock::now();
    const size_t received = simulator.spans().size() - before;
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.counters["delivered_per_s"] = static_cast<double>(received) / seconds;
    state.counters["dropped"] = static_cast<double>(total - received);
    state.counters["zero_drops"] = all && received == total ? 1 : 0;
    tracer.reset();
  }
}

BENCHMARK(delivery)
    ->ArgNames({"rate", "spans"})
    ->Args({50000, 100000})
    ->Args({100000, 200000})
    ->Args({150000, 300000})
    ->Args({200000, 300000})
    ->Args({0, 200000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
