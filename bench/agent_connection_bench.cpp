// Cost of the settings snapshots that host threads take per request (the
// header set on extraction, the secret filter on every finished span).
#include <benchmark/benchmark.h>

#include <memory>

#include "agent/agent_connection.h"
#include "agent/secret_filter.h"
#include "tracing/header_key_set.h"

namespace vostrel {
namespace {

// One connection for all threads; its loop never runs, so nothing is sent.
struct Fixture {
  Fixture() {
    options.agent_host = "127.0.0.1";
    options.agent_port = 42699;
    connection = std::make_unique<AgentConnection>(&logger, &base, &options, "/nonexistent/route");
  }
  EventBase base;
  Logger logger;
  TracerOptions options;
  std::unique_ptr<AgentConnection> connection;
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

void BM_SecretFilterSnapshot(benchmark::State& state) {
  AgentConnection& connection = *fixture().connection;
  for (auto _ : state) {
    auto filter = connection.secretFilter();
    benchmark::DoNotOptimize(filter.get());
  }
}
BENCHMARK(BM_SecretFilterSnapshot)->Threads(1)->Threads(2);

void BM_HeaderKeySetSnapshot(benchmark::State& state) {
  AgentConnection& connection = *fixture().connection;
  for (auto _ : state) {
    auto headers = connection.headerKeySet();
    benchmark::DoNotOptimize(headers.get());
  }
}
BENCHMARK(BM_HeaderKeySetSnapshot)->Threads(1)->Threads(2);

}  // namespace
}  // namespace vostrel

BENCHMARK_MAIN();
