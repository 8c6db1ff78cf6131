// The sensor's lifecycle, built directly with short delays against the agent
// simulator on loopback.

#include "runtime/sensor_impl.h"

#include <gtest/gtest.h>
#include <opentracing/tracer.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "agent_simulator/agent_simulator.h"
#include "plugin/tracer_factory.h"
#include "support/network_guard.h"
#include "support/process_threads.h"

// Children forked from this threaded test start a sensor thread of their own.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }

namespace vostrel {
namespace {

using namespace std::chrono_literals;
using test::pollUntil;
using test::threadCount;

TracerOptions shortOptions(uint16_t port) {
  TracerOptions options;
  options.service = "sensor-test";
  options.agent_host = "127.0.0.1";
  options.agent_port = port;
  options.max_buffered_spans = 1000;
  options.http_timeout = 30000000;
  options.connect_delay = 10000;
  options.lookup_retry_delay = 50000;
  options.ready_retry_delay = 20000;
  options.flush_interval = 20000;
  return options;
}

std::shared_ptr<Logger> quietLogger() {
  auto logger = std::make_shared<Logger>();
  logger->setThreshold(LogLevel::error);
  return logger;
}

class SensorImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::requirePrivateNetwork()) GTEST_SKIP();
    baseThreads_ = test::baselineThreadCount();
  }
  sim::AgentSimulator simulator_;
  int baseThreads_ = 0;
};

// Tracers made while a sensor lives share it, with the first one's options;
// the last release joins its thread before it returns, and the next request
// builds a fresh sensor.
TEST_F(SensorImplTest, SharesOneSensorUntilTheLastReleaseThenBuildsAnew) {
  auto first = getOrCreateSensor(quietLogger(), shortOptions(simulator_.port()));
  TracerOptions other = shortOptions(1);
  other.max_buffered_spans = 5;
  other.service = "other";
  auto second = getOrCreateSensor(quietLogger(), other);
  EXPECT_EQ(first, second);
  EXPECT_EQ(second->options().agent_port, simulator_.port());
  EXPECT_EQ(second->options().max_buffered_spans, 1000);
  EXPECT_EQ(second->options().service, "sensor-test");
  EXPECT_EQ(threadCount(), baseThreads_ + 1);

  first.reset();
  EXPECT_EQ(threadCount(), baseThreads_ + 1);
  second.reset();
  EXPECT_TRUE(pollUntil([&] { return threadCount() == baseThreads_; }, 1s)) << "sensor thread not joined";

  auto fresh = getOrCreateSensor(quietLogger(), other);
  EXPECT_EQ(fresh->options().service, "other");
  EXPECT_EQ(threadCount(), baseThreads_ + 1);
}

// A span finished after its tracer was released still reaches the agent:
// it keeps the tracer and the sensor alive until it is destroyed.
TEST_F(SensorImplTest, SpanOutlivingItsTracerKeepsTheSensorRunning) {
  auto tracer = createTracer(shortOptions(simulator_.port()));
  auto span = tracer->StartSpan("outlives the tracer");
  tracer.reset();
  ASSERT_TRUE(simulator_.waitForRequests("HEAD", "/com.vostrel.plugin.cpp.4711", 1, 10s));
  span->Finish();
  ASSERT_TRUE(simulator_.waitForSpans(1, 10s));
  EXPECT_EQ(simulator_.spans()[0]["data"]["sdk"]["name"], "outlives the tracer");
  EXPECT_EQ(threadCount(), baseThreads_ + 1);
  span.reset();
  EXPECT_TRUE(pollUntil([&] { return threadCount() == baseThreads_; }, 1s));
}

// With a probe that the agent holds unanswered, destroying the sensor does
// not wait for the request or its 30 s time-out.
TEST_F(SensorImplTest, DestroysPromptlyWhileTheAgentNeverAnswers) {
  sim::SimulatorConfig config;
  config.delay = 60s;
  sim::AgentSimulator stalled(config);
  const int before = threadCount();
  auto sensor = std::make_shared<SensorImpl>(quietLogger(), shortOptions(stalled.port()), "/nonexistent/route");
  ASSERT_TRUE(stalled.waitForRequests("GET", "/", 1, 10s));
  const auto start = std::chrono::steady_clock::now();
  sensor.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(threadCount(), before);
}

// A child forked while the parent's sensor runs gives up the inherited one
// without touching it and builds its own sensor, which announces the child
// and delivers its spans; the parent's sensor keeps working.
TEST_F(SensorImplTest, ForkedChildBuildsItsOwnWorkingSensor) {
  auto parentTracer = createTracer(shortOptions(simulator_.port()));
  ASSERT_TRUE(simulator_.waitForRequests("HEAD", "/com.vostrel.plugin.cpp.4711", 1, 10s));
  int release[2];
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(release[1]);
    auto inherited = parentTracer->StartSpan("inherited");
    inherited.reset();
    parentTracer.reset();
    auto own = createTracer(shortOptions(simulator_.port()));
    own->StartSpan("from the child")->Finish();
    char byte;
    while (read(release[0], &byte, 1) < 0) {
    }
    own.reset();
    _exit(0);
  }
  close(release[0]);
  bool delivered = simulator_.waitForSpans(1, 20s);
  close(release[1]);
  int status = 0;
  bool exited = pollUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 10s);
  if (!exited) kill(child, SIGKILL), waitpid(child, &status, 0);
  ASSERT_TRUE(exited) << "child hung";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(delivered);

  auto spans = simulator_.spans();
  ASSERT_EQ(spans.size(), 1u) << "only the child's own span is sent";
  EXPECT_EQ(spans[0]["data"]["sdk"]["name"], "from the child");
  bool childAnnounced = false;
  for (const auto& request : simulator_.requests()) {
    if (request.method == "PUT" && nlohmann::json::parse(request.body).value("pid", 0) == child) childAnnounced = true;
  }
  EXPECT_TRUE(childAnnounced);

  parentTracer->StartSpan("parent after fork")->Finish();
  EXPECT_TRUE(simulator_.waitForSpans(2, 10s));
}

}  // namespace
}  // namespace vostrel
