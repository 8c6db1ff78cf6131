#include "agent/agent_connection.h"

#include <agent_simulator/agent_simulator.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "agent/secret_filter.h"
#include "connection_harness.h"
#include "support/loop_runner.h"
#include "support/network_guard.h"
#include "support/route_file.h"
#include "tracing/header_key_set.h"

namespace vostrel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::AgentSimulator;
using sim::SimulatorConfig;
using test::RouteFile;

const std::string discoveryPath = "/com.vostrel.plugin.cpp.discovery";
const std::string readyPath4711 = "/com.vostrel.plugin.cpp.4711";

// A routing table whose default gateway is 127.0.0.1: the candidates are then
// "127.0.0.1" and "localhost", both reaching a simulator on loopback.
std::string loopbackGatewayTable() { return RouteFile::header + RouteFile::line("00000000", "0100007F"); }

// A connection on a real event loop in the test thread, with millisecond
// delays, logging into a capture.
class AgentConnectionTest : public testing::Test {
 protected:
  void SetUp() override {
    logs_.attach(logger_);
    options_.service = "checkout";
    options_.agent_host = "127.0.0.1";
    options_.http_timeout = 5000000;
    options_.connect_delay = 1000;
    options_.lookup_retry_delay = 20000;
    options_.ready_retry_delay = 2000;
  }

  AgentConnection& start(uint16_t port, const std::string& routeTable = "") {
    options_.agent_port = port;
    route_ = std::make_unique<RouteFile>(routeTable);
    connection_ = std::make_unique<AgentConnection>(&logger_, &base_, &options_, route_->path());
    return *connection_;
  }

  bool runUntil(const std::function<bool()>& done) {
    const bool met = test::runLoopUntil(base_, done, 20s);
    if (!met) ADD_FAILURE() << "condition not met; log:\n" << logs_.dump();
    return met;
  }

  bool runUntilReady() {
    return runUntil([this] { return connection_->ready(); });
  }

  static void expectClean(const AgentSimulator& agent) {
    EXPECT_EQ(agent.violations(), std::vector<std::string>{});
  }

  EventBase base_;
  Logger logger_;
  test::LogCapture logs_;
  TracerOptions options_;
  std::unique_ptr<RouteFile> route_;
  std::unique_ptr<AgentConnection> connection_;
};

// A fresh connection has its candidates, service fragment, default filter and
// no header set, and does nothing before its start delay has passed.
TEST_F(AgentConnectionTest, StartsWithDefaultsAndWaits) {
  options_.agent_host = "";
  options_.connect_delay = 60000000;
  AgentConnection& connection = start(42699, loopbackGatewayTable());
  EXPECT_EQ(connection.defaultGateway(), "127.0.0.1");
  EXPECT_EQ(connection.hostCandidates(), (std::vector<std::string>{"127.0.0.1", "localhost"}));
  EXPECT_EQ(connection.candidateIndex(), 0u);
  EXPECT_EQ(connection.serviceFragment(), ",\"service\":\"checkout\"");
  EXPECT_EQ(connection.headerKeySet(), nullptr);
  const auto filter = connection.secretFilter();
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->mode(), MatcherMode::containsIgnoreCase);
  EXPECT_EQ(filter->list(), (std::vector<std::string>{"key", "pass", "secret"}));
  EXPECT_FALSE(connection.ready());
  EXPECT_EQ(connection.spanTail(), "");
  EXPECT_EQ(connection.tracesPath(), "");
  // Not ready: reset must not start a search of its own.
  connection.reset();
  test::runLoopFor(base_, 20ms);
  EXPECT_EQ(logs_.lines().size(), 0u) << logs_.dump();
}

// Probe, announce and readiness succeed: the messages come in order, the
// paths and tail come from the answer and the announce body is valid JSON.
TEST_F(AgentConnectionTest, BecomesReadyAgainstAgent) {
  SimulatorConfig config;
  config.extraHeaders = {"X-Flavor", "X-Tenant"};
  AgentSimulator agent(config);
  AgentConnection& connection = start(agent.port());
  ASSERT_TRUE(runUntilReady());

  const std::string port = std::to_string(agent.port());
  EXPECT_TRUE(logs_.inOrder({"attempting to connect to Vostrel agent at 127.0.0.1:" + port,
                             "resolved agent hostname 127.0.0.1 to 127.0.0.1", "Sending discovery request {",
                             "Received discovery response {", "Agent ready"}))
      << logs_.dump();
  for (const auto& line : logs_.lines()) EXPECT_EQ(line.level, LogLevel::debug) << line.text;

  EXPECT_EQ(connection.tracesPath(), "/com.vostrel.plugin.cpp/traces.4711");
  EXPECT_EQ(connection.readyPath(), readyPath4711);
  EXPECT_EQ(connection.spanTail(), ",\"service\":\"checkout\"},\"n\":\"sdk\",\"f\":{\"e\":4711,\"h\":\"sim-agent-0001\"}}]");
  EXPECT_EQ(connection.agentAddress(), "127.0.0.1");
  const auto headers = connection.headerKeySet();
  ASSERT_NE(headers, nullptr);
  EXPECT_EQ(headers->names(), (std::vector<std::string>{"x-flavor", "x-tenant"}));
  EXPECT_EQ(connection.secretFilter()->list(), (std::vector<std::string>{"key", "pass", "secret"}));

  const auto requests = agent.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method + " " + requests[0].path, "GET /");
  EXPECT_EQ(requests[1].method + " " + requests[1].path, "PUT " + discoveryPath);
  EXPECT_EQ(requests[2].method + " " + requests[2].path, "HEAD " + readyPath4711);
  const json body = json::parse(requests[1].body);
  EXPECT_EQ(body["pidFromParentNS"], body["pid"] != getpid() ? "true" : "false");
  const int fd = body["fd"];
  const std::string inode = body["inode"];
  if (fd >= 0) {
    EXPECT_EQ(inode.rfind("socket:[", 0), 0u) << inode;
  } else {
    EXPECT_EQ(inode, "");
  }
  EXPECT_FALSE(body["name"].get<std::string>().empty());
  expectClean(agent);
}

// Without a service the tail starts with the record's closing brace, and a
// uuid with quotes and backslashes stays a valid JSON string.
TEST_F(AgentConnectionTest, WritesEscapedUuidIntoTail) {
  SimulatorConfig config;
  config.agentPid = 99;
  config.agentUuid = "uu\"id\\x";
  AgentSimulator agent(config);
  options_.service = "";
  AgentConnection& connection = start(agent.port());
  ASSERT_TRUE(runUntilReady());

  const std::string& tail = connection.spanTail();
  EXPECT_EQ(tail.rfind("},\"n\":\"sdk\"", 0), 0u) << tail;
  const json batch = json::parse("[{\"data\":{\"a\":1" + tail);
  EXPECT_EQ(batch[0]["f"]["e"], 99);
  EXPECT_EQ(batch[0]["f"]["h"], "uu\"id\\x");
  EXPECT_EQ(batch[0]["n"], "sdk");
  EXPECT_EQ(connection.tracesPath(), "/com.vostrel.plugin.cpp/traces.99");
  expectClean(agent);
}

// Ten answers other than 200 end the readiness checks of one announce; the
// search goes on with the next candidate, which then becomes ready.
TEST_F(AgentConnectionTest, MovesOnAfterTenNotReadyAnswers) {
  SimulatorConfig config;
  config.readyStatuses = std::vector<int>(10, 503);
  config.readyStatuses.push_back(200);
  AgentSimulator agent(config);
  options_.agent_host = "";
  AgentConnection& connection = start(agent.port(), loopbackGatewayTable());
  ASSERT_TRUE(runUntilReady());

  EXPECT_EQ(logs_.count("Agent not yet ready received, 503: Service Unavailable"), 10u) << logs_.dump();
  EXPECT_EQ(logs_.levelOf("Agent not yet ready received, "), LogLevel::debug);
  const long tenth = [&] {
    long at = -1;
    for (int i = 0; i < 10; ++i) at = logs_.find("Agent not yet ready received, ", at + 1);
    return at;
  }();
  EXPECT_LT(tenth, logs_.find("checking next agent host candidate localhost"));
  EXPECT_TRUE(logs_.inOrder({"checking next agent host candidate localhost", "resolved agent hostname localhost to 127.0.0.1",
                             "Sending discovery request ", "Agent ready"}));
  EXPECT_EQ(connection.candidateIndex(), 1u);

  std::vector<std::string> sequence;
  for (const auto& request : agent.requests()) sequence.push_back(request.method);
  std::vector<std::string> expected{"GET", "PUT"};
  expected.insert(expected.end(), 10, "HEAD");
  expected.insert(expected.end(), {"GET", "PUT", "HEAD"});
  EXPECT_EQ(sequence, expected);
  expectClean(agent);
}

struct FailureCase {
  const char* name;
  std::function<void(SimulatorConfig&)> configure;
  std::string error;  // the error line the failure logs
};

void PrintTo(const FailureCase& failure, std::ostream* out) { *out << failure.name; }

class AgentConnectionFailure : public AgentConnectionTest, public testing::WithParamInterface<FailureCase> {};

// Each failure is logged at error level and the search moves on (here: a
// full pass over the one candidate, then a new probe after the retry delay)
// instead of stalling; nothing of the agent's settings is applied.
TEST_P(AgentConnectionFailure, LogsAndMovesOn) {
  SimulatorConfig config;
  GetParam().configure(config);
  AgentSimulator agent(config);
  AgentConnection& connection = start(agent.port());
  ASSERT_TRUE(runUntil([&] { return agent.countRequests("GET", "/") >= 2; }));

  const std::string& error = GetParam().error;
  EXPECT_EQ(logs_.levelOf(error), LogLevel::error) << logs_.dump();
  EXPECT_TRUE(logs_.inOrder({error, "lookup requests for all agent host candidates failed",
                             "resolved agent hostname 127.0.0.1 to 127.0.0.1"}))
      << logs_.dump();
  EXPECT_FALSE(connection.ready());
  EXPECT_EQ(connection.headerKeySet(), nullptr);
  EXPECT_EQ(agent.countRequests("HEAD", readyPath4711), 0u);
  expectClean(agent);
}

INSTANTIATE_TEST_SUITE_P(
    Agents, AgentConnectionFailure,
    testing::Values(
        FailureCase{"AnnounceStatus500", [](SimulatorConfig& c) { c.announceStatus = 500; },
                    "discovery request failed with 500: Internal Server Error"},
        FailureCase{"InvalidDiscoveryResponse", [](SimulatorConfig& c) { c.announceBody = "{\"pid\":\"4711\"}"; },
                    "discovery failed: Invalid discovery response: {\"pid\":\"4711\"}"},
        FailureCase{"ProbeWithoutServerHeader", [](SimulatorConfig& c) { c.serverHeader = ""; },
                    "Vostrel Agent header not found"},
        FailureCase{"ProbeFromOtherServer", [](SimulatorConfig& c) { c.serverHeader = "nginx"; },
                    "Vostrel Agent header not found"},
        FailureCase{"ServerValueInOtherCase", [](SimulatorConfig& c) { c.serverHeader = "vostrel agent"; },
                    "Vostrel Agent header not found"},
        FailureCase{"ProbeStatus404", [](SimulatorConfig& c) { c.probeStatus = 404; },
                    "lookup request failed with 404: Not Found"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

struct HangUpCase {
  const char* name;
  std::string trigger;  // the agent hangs up on the requests after this line
  std::string error;
};

void PrintTo(const HangUpCase& hangUp, std::ostream* out) { *out << hangUp.name; }

class AgentHangsUp : public AgentConnectionTest, public testing::WithParamInterface<HangUpCase> {};

// An announce or readiness check that gets no answer is logged at error
// level with the client's reason and the search moves on.
TEST_P(AgentHangsUp, LogsAndMovesOn) {
  const std::string& trigger = GetParam().trigger;
  const std::string& error = GetParam().error;
  AgentSimulator agent;
  logs_.onLine([&agent, &trigger](const test::LogCapture::Line& line) {
    if (line.text.rfind(trigger, 0) == 0) agent.setCloseWithoutAnswer(true);
  });
  AgentConnection& connection = start(agent.port());
  ASSERT_TRUE(runUntil([&] { return logs_.count("lookup requests for all agent host candidates failed") >= 1; }));
  logs_.onLine(nullptr);
  EXPECT_EQ(logs_.levelOf(error), LogLevel::error) << logs_.dump();
  EXPECT_GT(logs_.lines()[static_cast<size_t>(logs_.find(error))].text.size(), error.size());
  EXPECT_TRUE(logs_.inOrder({trigger, error, "lookup requests for all agent host candidates failed"}));
  EXPECT_FALSE(connection.ready());
  expectClean(agent);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, AgentHangsUp,
    testing::Values(HangUpCase{"Announce", "Sending discovery request ", "discovery request failed: "},
                    HangUpCase{"ReadyCheck", "Received discovery response ", "test agent request failed: "}),
    [](const testing::TestParamInfo<HangUpCase>& info) { return std::string(info.param.name); });

// An agent that closes every connection: the probe fails quietly (debug) and
// the search keeps going round.
TEST_F(AgentConnectionTest, RetriesWhenProbeGetsNoAnswer) {
  SimulatorConfig config;
  config.closeWithoutAnswer = true;
  AgentSimulator agent(config);
  start(agent.port());
  ASSERT_TRUE(runUntil([&] { return logs_.count("lookup requests for all agent host candidates failed") >= 2; }));
  EXPECT_EQ(logs_.levelOf("lookup request for 127.0.0.1 failed: "), LogLevel::debug) << logs_.dump();
  EXPECT_TRUE(logs_.inOrder({"lookup request for 127.0.0.1 failed: ", "lookup requests for all agent host candidates failed",
                             "lookup request for 127.0.0.1 failed: "}));
}

// A host that cannot be resolved is logged with the resolver's text; with no
// connection set up, each probe is skipped and the search goes round.
TEST_F(AgentConnectionTest, SkipsUnresolvableHost) {
  if (!test::requirePrivateNetwork()) return;
  options_.agent_host = "no-such-agent.invalid";
  start(42699);
  ASSERT_TRUE(runUntil([&] { return logs_.count("connectVostrelAgent failed: ") >= 3; }));
  EXPECT_TRUE(logs_.inOrder({"attempting to connect to Vostrel agent at no-such-agent.invalid:42699",
                             "connectVostrelAgent failed: ", "lookup requests for all agent host candidates failed",
                             "connectVostrelAgent failed: ", "lookup requests for all agent host candidates failed",
                             "connectVostrelAgent failed: "}))
      << logs_.dump();
  EXPECT_EQ(logs_.levelOf("connectVostrelAgent failed: "), LogLevel::error);
  EXPECT_GT(logs_.lines()[static_cast<size_t>(logs_.find("connectVostrelAgent failed: "))].text.size(),
            std::string("connectVostrelAgent failed: ").size());
  EXPECT_EQ(logs_.count("resolved agent hostname "), 0u);
  EXPECT_EQ(connection_->agentAddress(), "");
}

// A readiness request that cannot even be sent counts as a failed check: it
// is logged at error, the search goes on and later succeeds.
TEST_F(AgentConnectionTest, SurvivesReadyCheckThatCannotBeSent) {
  AgentSimulator agent;
  AgentConnection& connection = start(agent.port());
  // No HTTP connection exists yet, so sending must fail.
  connection.sendReadyCheck();
  EXPECT_EQ(logs_.levelOf("sendReadyCheck failed: evhttp_make_request failed"), LogLevel::error) << logs_.dump();
  EXPECT_EQ(logs_.find("lookup requests for all agent host candidates failed"), 1);
  ASSERT_TRUE(runUntilReady());
  expectClean(agent);
}

// A failed post resets a ready connection: the search starts over at once
// with the first candidate, and the next announce replaces the header set
// (with an empty one when the answer has none) and the secret filter.
TEST_F(AgentConnectionTest, ResetWhileReadyAnnouncesAgain) {
  SimulatorConfig first;
  first.extraHeaders = {"X-Flavor"};
  auto agent = std::make_unique<AgentSimulator>(first);
  const uint16_t port = agent->port();
  options_.agent_host = "";
  AgentConnection& connection = start(port, loopbackGatewayTable());
  ASSERT_TRUE(runUntilReady());
  ASSERT_EQ(connection.headerKeySet()->names(), (std::vector<std::string>{"x-flavor"}));
  const auto firstFilter = connection.secretFilter();

  // The same port, now with an agent that sends no headers but secrets.
  agent.reset();
  SimulatorConfig second;
  second.port = port;
  second.agentPid = 815;
  second.secrets = sim::Secrets{"equals", {"token"}};
  agent = std::make_unique<AgentSimulator>(second);

  const size_t linesBefore = logs_.lines().size();
  connection.reset();
  EXPECT_FALSE(connection.ready());
  EXPECT_EQ(connection.candidateIndex(), 0u);
  // reset logs nothing of its own: the next lines are the first candidate's.
  EXPECT_EQ(logs_.find("resolved agent hostname 127.0.0.1 to 127.0.0.1", static_cast<long>(linesBefore)),
            static_cast<long>(linesBefore));
  ASSERT_TRUE(runUntilReady());

  EXPECT_EQ(connection.tracesPath(), "/com.vostrel.plugin.cpp/traces.815");
  const auto headers = connection.headerKeySet();
  ASSERT_NE(headers, nullptr);
  EXPECT_TRUE(headers->empty());
  const auto filter = connection.secretFilter();
  EXPECT_NE(filter, firstFilter);
  EXPECT_EQ(filter->mode(), MatcherMode::equals);
  EXPECT_TRUE(filter->matches("token", 5));
  EXPECT_FALSE(filter->matches("password", 8));
  EXPECT_EQ(agent->countRequests("GET", "/"), 1u);
  expectClean(*agent);
}

// Host threads keep reading the snapshots while announces replace them: each
// snapshot is a whole, usable object.
TEST_F(AgentConnectionTest, SnapshotsStayWholeWhileReplaced) {
  SimulatorConfig config;
  config.extraHeaders = {"X-Flavor"};
  config.secrets = sim::Secrets{"equals-ignore-case", {"token"}};
  AgentSimulator agent(config);
  AgentConnection& connection = start(agent.port());

  std::atomic<bool> stop{false};
  std::atomic<long> torn{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const auto headers = connection.headerKeySet();
        if (headers != nullptr && headers->find("X-FLAVOR") == nullptr) ++torn;
        const auto filter = connection.secretFilter();
        const bool defaultFilter = filter->mode() == MatcherMode::containsIgnoreCase;
        if (filter->matches("TOKEN", 5) == defaultFilter) ++torn;
        ++reads;
      }
    });
  }
  for (int announce = 0; announce < 4; ++announce) {
    if (!runUntilReady()) break;
    if (announce < 3) connection.reset();
  }
  stop = true;
  for (auto& reader : readers) reader.join();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(agent.countRequests("PUT", discoveryPath), 4u);
  EXPECT_EQ(connection.secretFilter()->mode(), MatcherMode::equalsIgnoreCase);
  expectClean(agent);
}

}  // namespace
}  // namespace vostrel
