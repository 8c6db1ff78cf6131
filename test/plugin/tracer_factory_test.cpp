#include "plugin/tracer_factory.h"

#include <gtest/gtest.h>
#include <opentracing/dynamic_load.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "support/network_guard.h"

namespace vostrel {
namespace {

// The factory as a host gets it: the built plug-in through OpenTracing's loader.
class LoadedFactory : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string message;
    auto loaded = opentracing::DynamicallyLoadTracingLibrary(VOSTREL_PLUGIN_PATH, message);
    ASSERT_TRUE(loaded) << message;
    handle_ = new opentracing::DynamicTracingLibraryHandle(std::move(*loaded));
  }
  // The handle stays: the library is never unloaded anyway.
  static const opentracing::TracerFactory& factory() { return handle_->tracer_factory(); }

 private:
  static opentracing::DynamicTracingLibraryHandle* handle_;
};

opentracing::DynamicTracingLibraryHandle* LoadedFactory::handle_ = nullptr;

// A configuration the reader rejects gives code 1 of the tracer-factory
// category, with the reader's message replacing the host's text.
TEST_F(LoadedFactory, ReportsConfigurationErrors) {
  struct Case {
    const char* configuration;
    const char* message;
  };
  for (const Case& c : std::vector<Case>{
           {"", "parse failure exepected {"},
           {nullptr, "parse failure exepected {"},
           {"not json", "parse failue expected {"},
           {R"({"colour":"red"})", "Unrecognized field: colour"},
           {R"({"agent_port":65536})", "Invalid agent_port: 65536"},
           {R"({"max_buffered_spans":0})", "Invalid max_buffered_spans: 0"},
           {R"({"log_level":"Debug"})", "unexpected log level Debug"},
           {R"({"service":"a")", "missing characters"},
       }) {
    std::string message = "left over";
    auto tracer = factory().MakeTracer(c.configuration, message);
    ASSERT_FALSE(tracer) << c.configuration;
    EXPECT_EQ(tracer.error(), opentracing::configuration_parse_error);
    EXPECT_STREQ(tracer.error().category().name(), "OpenTracingTracerFactoryError");
    EXPECT_EQ(message, c.message);
  }
}

// A good configuration gives a tracer and leaves the host's message alone.
TEST_F(LoadedFactory, MakesTracerFromGoodConfiguration) {
  // The tracer starts a sensor, which probes the default gateway.
  if (!test::requirePrivateNetwork()) return;
  std::string message = "untouched";
  auto tracer = factory().MakeTracer(R"({"service":"shop","log_level":"off"})", message);
  ASSERT_TRUE(tracer) << message;
  EXPECT_NE(*tracer, nullptr);
  EXPECT_EQ(message, "untouched");
}

}  // namespace
}  // namespace vostrel
