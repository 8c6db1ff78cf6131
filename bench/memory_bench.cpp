// Resident memory that the sensor adds to a process: idle (agent not yet
// looked for), and with the agent down while host threads keep finishing
// spans far beyond the buffer cap (must stay bounded by the cap).

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>

#include "bench_support.h"
#include "plugin/tracer_factory.h"
#include "plugin/tracer_options.h"

namespace {

vostrel::TracerOptions agentDownOptions(uint64_t connectDelay) {
  vostrel::TracerOptions options;
  options.agent_host = "127.0.0.1";
  options.agent_port = vostrel::bench::closedLoopbackPort();
  options.max_buffered_spans = 1000;
  options.connect_delay = connectDelay;
  options.lookup_retry_delay = 50000;
  return options;
}

void idleSensor(benchmark::State& state) {
  for (auto _ : state) {
    // Warm the allocator and the libraries the sensor uses, without a sensor.
    { vostrel::bench::Headers warm; }
    const long before = vostrel::bench::residentKiB();
    auto tracer = vostrel::createTracer(agentDownOptions(10000000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long after = vostrel::bench::residentKiB();
    state.counters["rss_added_KiB"] = static_cast<double>(after - before);
    tracer.reset();
  }
}

void agentDownQueueFull(benchmark::State& state) {
  for (auto _ : state) {
    auto tracer = vostrel::createTracer(agentDownOptions(1000));
    const auto incoming = vostrel::bench::incomingHeadersFor(*tracer);
    const vostrel::bench::OutgoingHeaders outgoing;
    auto produce = [&](int spans) {
      for (int i = 0; i < spans; ++i) vostrel::bench::traceRequestSpan(*tracer, incoming, outgoing);
    };
    produce(1000);
    const long atCap = vostrel::bench::residentKiB();
    produce(100000);
    const long after100k = vostrel::bench::residentKiB();
    produce(1000000);
    const long after1m = vostrel::bench::residentKiB();
    state.counters["rss_at_cap_KiB"] = static_cast<double>(atCap);
    state.counters["growth_100k_KiB"] = static_cast<double>(after100k - atCap);
    state.counters["growth_1m_KiB"] = static_cast<double>(after1m - atCap);
    tracer.reset();
  }
}

BENCHMARK(idleSensor)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(agentDownQueueFull)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
