// Tracer creation on the process's sensor: failures reach the host as error
// codes and leave no sensor behind, concurrent creation builds one sensor.

#include <dlfcn.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <opentracing/tracer_factory.h>

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "plugin/tracer_factory.h"
#include "support/network_guard.h"
#include "support/process_threads.h"

namespace {
std::atomic<bool> failEventBase{false};
}  // namespace

// Interposed for this executable: fails while the flag is set.
extern "C" event_base* event_base_new_with_config(const event_config* config) {
  if (failEventBase.load()) return nullptr;
  using Real = event_base* (*)(const event_config*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "event_base_new_with_config"));
  return real(config);
}

namespace vostrel {
namespace {

using namespace std::chrono_literals;
using test::threadCount;

// A base that cannot be made gives EIO with the runtime's message and no
// sensor; the next call tries again and succeeds.
TEST(CreateTracerTest, ReportsEventBaseFailureAndRetriesNextTime) {
  if (!test::requirePrivateNetwork()) return;
  const int base = test::baselineThreadCount();
  TracerFactory factory;
  std::string message = "previous";
  failEventBase = true;
  auto failed = factory.MakeTracer("{\"log_level\":\"off\"}", message);
  failEventBase = false;
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), std::error_code(EIO, std::generic_category()));
  EXPECT_EQ(message, "event_base_new failed");
  EXPECT_EQ(threadCount(), base);

  auto tracer = factory.MakeTracer("{\"log_level\":\"off\"}", message);
  ASSERT_TRUE(tracer);
  EXPECT_EQ(threadCount(), base + 1);
  tracer->reset();
  EXPECT_EQ(threadCount(), base);
}

// A configuration error is reported before any sensor is built.
TEST(CreateTracerTest, BadConfigurationBuildsNoSensor) {
  if (!test::requirePrivateNetwork()) return;
  const int base = test::baselineThreadCount();
  std::string message;
  auto tracer = TracerFactory().MakeTracer("{\"bogus\":1}", message);
  ASSERT_FALSE(tracer);
  EXPECT_EQ(tracer.error(), opentracing::configuration_parse_error);
  EXPECT_EQ(message, "Unrecognized field: bogus");
  EXPECT_EQ(threadCount(), base);
}

// Tracers made at the same moment on several threads share one new sensor.
TEST(CreateTracerTest, ConcurrentCreationBuildsOneSensor) {
  if (!test::requirePrivateNetwork()) return;
  const int base = test::baselineThreadCount();
  constexpr int makers = 4;
  std::vector<std::shared_ptr<opentracing::Tracer>> tracers(makers);
  std::atomic<int> waiting{makers};
  std::vector<std::thread> threads;
  for (int i = 0; i < makers; ++i) {
    threads.emplace_back([&, i] {
      --waiting;
      while (waiting.load() > 0) std::this_thread::yield();
      TracerOptions options;
      options.log_level = LogLevel::off;
      tracers[i] = createTracer(options);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(threadCount(), base + 1);
  tracers.clear();
  EXPECT_EQ(threadCount(), base);
}

}  // namespace
}  // namespace vostrel
