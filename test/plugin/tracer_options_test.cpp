#include "plugin/tracer_options.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "agent/json_reader.h"

namespace vostrel {
namespace {

std::string parseFailure(const char* text) {
  try {
    parseConfiguration(text);
  } catch (const ParseError& e) {
    return e.what();
  }
  return "no error";
}

// Every member is read, in any order and with blanks around every token; a
// repeated member takes its later value and the timings stay fixed.
TEST(TracerOptions, ReadsAllMembers) {
  const TracerOptions options = parseConfiguration(
      " \n{ \"log_level\" : \"debug\",\t\"service\":\"shop\\tfront\", \"agent_host\":\"agent.local\",\n"
      "\"agent_port\": 4242, \"max_buffered_spans\" :17, \"service\": \"checkout\" }");
  EXPECT_EQ(options.service, "checkout");
  EXPECT_EQ(options.agent_host, "agent.local");
  EXPECT_EQ(options.agent_port, 4242);
  EXPECT_EQ(options.max_buffered_spans, 17);
  EXPECT_EQ(options.log_level, LogLevel::debug);
  EXPECT_EQ(options.http_timeout, 10000000u);
  EXPECT_EQ(options.connect_delay, 10000000u);
  EXPECT_EQ(options.lookup_retry_delay, 30000000u);
  EXPECT_EQ(options.ready_retry_delay, 30000000u);
  EXPECT_EQ(options.flush_interval, 1000000u);
}

// Accepted edge values of the numeric and level members.
TEST(TracerOptions, AcceptsBoundaryValues) {
  EXPECT_EQ(parseConfiguration(R"({"agent_port":0})").agent_port, 0);
  EXPECT_EQ(parseConfiguration(R"({"agent_port":65535})").agent_port, 65535);
  EXPECT_EQ(parseConfiguration(R"({"max_buffered_spans":1})").max_buffered_spans, 1);
  EXPECT_EQ(parseConfiguration(R"({"max_buffered_spans":9223372036854775807})").max_buffered_spans,
            INT64_MAX);
  const std::map<std::string, LogLevel> levels = {{"debug", LogLevel::debug},
                                                  {"info", LogLevel::info},
                                                  {"warn", LogLevel::warn},
                                                  {"error", LogLevel::error},
                                                  {"off", LogLevel::off}};
  for (const auto& [word, level] : levels) {
    EXPECT_EQ(parseConfiguration(("{\"log_level\":\"" + word + "\"}").c_str()).log_level, level);
  }
}

// Every malformed text fails with the reader's message for it.
TEST(TracerOptions, RejectsMalformedConfigurations) {
  struct Case {
    const char* text;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"", "parse failure exepected {"},
           {" \t\n", "parse failure exepected {"},
           {nullptr, "parse failure exepected {"},
           {"[]", "parse failue expected {"},
           {"{", "expected }"},
           {"{ \n ", "expected }"},
           {"{1}", "parse failue expected \""},
           {R"({"service")", "parse failure exepected :"},
           {R"({"service" x)", "parse failue expected :"},
           {R"({"foo":1})", "Unrecognized field: foo"},
           {R"({"Service":"a"})", "Unrecognized field: Service"},
           {R"({"agent_port":65536})", "Invalid agent_port: 65536"},
           {R"({"agent_port":-1})", "Invalid agent_port: -1"},
           {R"({"agent_port":"5"})", "Unexpected token \""},
           {R"({"agent_port":99999999999999999999})", std::strerror(ERANGE)},
           {R"({"max_buffered_spans":0})", "Invalid max_buffered_spans: 0"},
           {R"({"max_buffered_spans":-3})", "Invalid max_buffered_spans: -3"},
           {R"({"max_buffered_spans":"5"})", "Invalid max_buffered_spans: 0"},
           {R"({"log_level":"Debug"})", "unexpected log level Debug"},
           {R"({"log_level":3})", "parse failue expected \""},
           {R"({"service":5})", "parse failue expected \""},
           {R"({"service":"a")", "missing characters"},
           {R"({"service":"a" )", "missing characters"},
           {R"({"service":"a" x})", "Unexpected token x"},
           {R"({"service":"a",})", "parse failue expected \""},
           {R"({"service":"a",)", "parse failure exepected \""},
           {R"({"service":"a)", "parse error: missing unmatching \""},
           {R"({"service":"a\)", "parse error: invalid escape sequence"},
           {R"({"service":"\u00)", "parse error: invalid hex escape sequence"},
       }) {
    EXPECT_EQ(parseFailure(c.text), c.message) << (c.text != nullptr ? c.text : "(null)");
  }
}

// Variables the environment tests touch; saved and restored around each test.
const char* const variables[] = {"VOSTREL_AGENT_HOST", "VOSTREL_AGENT_PORT", "VOSTREL_SERVICE_NAME",
                                 "VOSTREL_MAX_BUFFERED_SPANS", "VOSTREL_DEV"};

class Environment : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : variables) {
      const char* value = std::getenv(name);
      if (value != nullptr) saved_[name] = value;
    }
    clearVariables();
  }
  static void clearVariables() {
    for (const char* name : variables) unsetenv(name);
  }
  void TearDown() override {
    for (const char* name : variables) {
      auto it = saved_.find(name);
      if (it != saved_.end()) {
        setenv(name, it->second.c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
  }

  // Options after reading the text and applying env, with the error lines logged.
  TracerOptions apply(const char* text, const std::map<std::string, std::string>& env) {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    TracerOptions options = parseConfiguration(text);
    logger.setSink([this](LogLevel level, int, opentracing::string_view message) {
      lines.push_back(std::to_string(static_cast<int>(level)) + " " +
                      std::string(message.data(), message.size()));
    });
    applyEnvironment(options, logger);
    return options;
  }

  Logger logger;
  std::vector<std::string> lines;

 private:
  std::map<std::string, std::string> saved_;
};

// Without variables the defaults fill in what the text left out, also after
// an empty object followed by other text.
TEST_F(Environment, DefaultsFillMissingFields) {
  for (const char* text : {"{}", "  {  }  and more", R"({"agent_port":0})"}) {
    SCOPED_TRACE(text);
    lines.clear();
    const TracerOptions options = apply(text, {});
    EXPECT_EQ(options.service, "");
    EXPECT_EQ(options.agent_host, "");
    EXPECT_EQ(options.agent_port, 42699);
    EXPECT_EQ(options.max_buffered_spans, 1000);
    EXPECT_EQ(options.log_level, LogLevel::warn);
    EXPECT_EQ(logger.threshold(), LogLevel::warn);
    EXPECT_TRUE(lines.empty());
  }
}

// Each variable overrides its field; invalid numbers log one error line and
// keep the previous value; empty variables count as absent.
TEST_F(Environment, OverridesFieldsFromVariables) {
  struct Case {
    std::map<std::string, std::string> env;
    uint16_t port;
    int64_t cap;
    std::string host;
    std::string service;
    std::vector<std::string> lines;
  };
  const char* text =
      R"({"agent_port":9000,"max_buffered_spans":50,"agent_host":"conf-host","service":"conf"})";
  const auto portError = [](const std::string& value) {
    return "4 invalid value for VOSTREL_AGENT_PORT \"" + value + "\"";
  };
  const auto capError = [](const std::string& value) {
    return "4 invalid value for VOSTREL_MAX_BUFFERED_SPANS \"" + value + "\"";
  };
  for (const Case& c : std::vector<Case>{
           {{}, 9000, 50, "conf-host", "conf", {}},
           {{{"VOSTREL_AGENT_HOST", " env host "}, {"VOSTREL_SERVICE_NAME", "env\x01svc"}},
            9000, 50, " env host ", "env\x01svc", {}},
           {{{"VOSTREL_AGENT_HOST", ""}, {"VOSTREL_SERVICE_NAME", ""}, {"VOSTREL_AGENT_PORT", ""},
             {"VOSTREL_MAX_BUFFERED_SPANS", ""}},
            9000, 50, "conf-host", "conf", {}},
           {{{"VOSTREL_AGENT_PORT", "8080abc"}}, 8080, 50, "conf-host", "conf", {}},
           {{{"VOSTREL_AGENT_PORT", " 65535"}}, 65535, 50, "conf-host", "conf", {}},
           {{{"VOSTREL_AGENT_PORT", "0"}}, 9000, 50, "conf-host", "conf", {portError("0")}},
           {{{"VOSTREL_AGENT_PORT", "70000"}}, 9000, 50, "conf-host", "conf", {portError("70000")}},
           {{{"VOSTREL_AGENT_PORT", "-80"}}, 9000, 50, "conf-host", "conf", {portError("-80")}},
           {{{"VOSTREL_AGENT_PORT", "abc"}}, 9000, 50, "conf-host", "conf", {portError("abc")}},
           // 2^32 + 8192 must not wrap around to port 8192.
           {{{"VOSTREL_AGENT_PORT", "4294975488"}}, 9000, 50, "conf-host", "conf",
            {portError("4294975488")}},
           {{{"VOSTREL_MAX_BUFFERED_SPANS", "25"}}, 9000, 25, "conf-host", "conf", {}},
           {{{"VOSTREL_MAX_BUFFERED_SPANS", "-5"}}, 9000, 50, "conf-host", "conf", {capError("-5")}},
           {{{"VOSTREL_MAX_BUFFERED_SPANS", "0"}}, 9000, 50, "conf-host", "conf", {capError("0")}},
           {{{"VOSTREL_MAX_BUFFERED_SPANS", "2147483647"}}, 9000, 2147483647, "conf-host", "conf", {}},
           // 2^32 + 1 must not wrap around to a cap of 1.
           {{{"VOSTREL_MAX_BUFFERED_SPANS", "4294967297"}}, 9000, 50, "conf-host", "conf",
            {capError("4294967297")}},
           {{{"VOSTREL_AGENT_PORT", "x"}, {"VOSTREL_MAX_BUFFERED_SPANS", "y"}}, 9000, 50, "conf-host",
            "conf", {portError("x"), capError("y")}},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.env));
    clearVariables();
    lines.clear();
    const TracerOptions options = apply(text, c.env);
    EXPECT_EQ(options.agent_port, c.port);
    EXPECT_EQ(options.max_buffered_spans, c.cap);
    EXPECT_EQ(options.agent_host, c.host);
    EXPECT_EQ(options.service, c.service);
    EXPECT_EQ(lines, c.lines);
  }
}

// The default port and cap also apply under an invalid variable.
TEST_F(Environment, InvalidVariablesKeepDefaults) {
  const TracerOptions options =
      apply("{}", {{"VOSTREL_AGENT_PORT", "0"}, {"VOSTREL_MAX_BUFFERED_SPANS", "-5"}});
  EXPECT_EQ(options.agent_port, 42699);
  EXPECT_EQ(options.max_buffered_spans, 1000);
  EXPECT_EQ(lines.size(), 2u);
}

// VOSTREL_DEV lowers the logger's threshold to debug, even under "off",
// without changing the configured level; set but empty it does nothing.
TEST_F(Environment, DevModeLowersThresholdOnly) {
  TracerOptions options = apply(R"({"log_level":"off"})", {{"VOSTREL_DEV", "1"}});
  EXPECT_EQ(logger.threshold(), LogLevel::debug);
  EXPECT_EQ(options.log_level, LogLevel::off);

  setenv("VOSTREL_DEV", "", 1);
  options = parseConfiguration(R"({"log_level":"error"})");
  applyEnvironment(options, logger);
  EXPECT_EQ(logger.threshold(), LogLevel::error);
}

}  // namespace
}  // namespace vostrel
