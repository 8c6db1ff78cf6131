// Host-thread cost of one request span (extract, start, five tags, inject,
// finish): ours with the real sensor running and posting to the agent
// simulator, next to OpenTracing's mocktracer and Datadog's tracer (agent on
// a closed loopback port), one and two host threads. Ratios are printed at
// the end.

#include <benchmark/benchmark.h>
#include <datadog/opentracing.h>
#include <opentracing/mocktracer/tracer.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "agent_simulator/agent_simulator.h"
#include "bench_support.h"
#include "plugin/tracer_factory.h"
#include "plugin/tracer_options.h"

namespace {

using vostrel::bench::Headers;

struct Contender {
  std::shared_ptr<opentracing::Tracer> tracer;
  Headers incoming;
};

// Each foreign tracer lives only through its own runs: Datadog's writer
// thread polls all the time and would take CPU from the other contenders.
std::map<std::string, Contender> contenders;
uint16_t closedPort = 0;

class NullRecorder : public opentracing::mocktracer::Recorder {
 public:
  void RecordSpan(opentracing::mocktracer::SpanData&&) noexcept override {}
};

void start(const char* name, std::shared_ptr<opentracing::Tracer> tracer) {
  Contender& contender = contenders[name];
  contender.tracer = std::move(tracer);
  contender.incoming = vostrel::bench::incomingHeadersFor(*contender.tracer);
}

void stop(const char* name) {
  contenders.at(name).tracer->Close();
  contenders.erase(name);
}

void startMocktracer(const benchmark::State&) {
  opentracing::mocktracer::MockTracerOptions options;
  options.recorder = std::make_unique<NullRecorder>();
  start("mocktracer", std::make_shared<opentracing::mocktracer::MockTracer>(std::move(options)));
}
void stopMocktracer(const benchmark::State&) { stop("mocktracer"); }

void startDatadog(const benchmark::State&) {
  datadog::opentracing::TracerOptions options;
  options.service = "bench";
  options.agent_host = "127.0.0.1";
  options.agent_port = closedPort;
  options.log_func = [](datadog::opentracing::LogLevel, opentracing::string_view) {};
  start("datadog", datadog::opentracing::makeTracer(options));
}
void stopDatadog(const benchmark::State&) { stop("datadog"); }

void requestSpan(benchmark::State& state, const char* name) {
  const Contender& contender = contenders.at(name);
  const vostrel::bench::OutgoingHeaders outgoing;
  for (auto _ : state) vostrel::bench::traceRequestSpan(*contender.tracer, contender.incoming, outgoing);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(requestSpan, vostrel, "vostrel")->Threads(1)->Threads(2);
BENCHMARK_CAPTURE(requestSpan, mocktracer, "mocktracer")
    ->Setup(startMocktracer)
    ->Teardown(stopMocktracer)
    ->Threads(1)
    ->Threads(2);
BENCHMARK_CAPTURE(requestSpan, datadog, "datadog")->Setup(startDatadog)->Teardown(stopDatadog)->Threads(1)->Threads(2);

// Keeps each run's CPU time per span, per thread, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        nsPerSpan[run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nsPerSpan;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);

  vostrel::sim::AgentSimulator simulator;
  vostrel::TracerOptions options;
  options.service = "bench";
  options.agent_host = "127.0.0.1";
  options.agent_port = simulator.port();
  options.max_buffered_spans = 1000;
  options.connect_delay = 20000;
  start("vostrel", vostrel::createTracer(options));
  if (!simulator.waitForRequests("HEAD", "/com.vostrel.plugin.cpp.4711", 1, std::chrono::seconds(10))) {
    std::fprintf(stderr, "the sensor did not get ready with the simulator\n");
    return 1;
  }
  closedPort = vostrel::bench::closedLoopbackPort();

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto& ns = reporter.nsPerSpan;
  for (const char* threads : {"threads:1", "threads:2"}) {
    const std::string ours = std::string("requestSpan/vostrel/") + threads;
    if (!ns.count(ours) || ns[ours] <= 0) continue;
    std::printf("%s: vostrel %.0f ns per request span (CPU, per host thread)", threads, ns[ours]);
    for (const char* other : {"mocktracer", "datadog"}) {
      const std::string key = std::string("requestSpan/") + other + "/" + threads;
      if (ns.count(key)) std::printf("; %s %.0f ns = %.2fx ours", other, ns[key], ns[key] / ns[ours]);
    }
    std::printf("\n");
  }
  size_t delivered = simulator.spans().size();
  std::printf("spans the simulator received from the benchmark's sensor: %zu\n", delivered);
  stop("vostrel");
  return 0;
}
