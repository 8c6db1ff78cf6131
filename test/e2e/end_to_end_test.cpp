// The built plug-in, loaded by a separate host program through OpenTracing's
// dynamic loader, against the agent simulator on loopback.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "agent_simulator/agent_simulator.h"
#include "support/child_process.h"
#include "support/network_guard.h"

namespace vostrel {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::describeStatus;

constexpr int32_t agentPid = 3141;
const char* const agentUuid = "e2e-agent-7";
const char* const readyPath = "/com.vostrel.plugin.cpp.3141";

sim::SimulatorConfig simulatorConfig() {
  sim::SimulatorConfig config;
  config.agentPid = agentPid;
  config.agentUuid = agentUuid;
  config.extraHeaders = {"X-Request-Id"};
  // Differs from the built-in filter: "password" stays, both token spellings go.
  config.secrets = sim::Secrets{"equals-ignore-case", {"token", "sid"}};
  return config;
}

std::string configurationFor(uint16_t port) {
  return R"({"service":"e2e-shop","agent_host":"127.0.0.1","agent_port":)" + std::to_string(port) + "}";
}

std::vector<std::string> hostCommand(const std::string& scenario, const std::string& configuration,
                                     std::vector<std::string> args) {
  std::vector<std::string> argv{VOSTREL_TEST_HOST_PATH, scenario, VOSTREL_PLUGIN_PATH, configuration};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// Forked children of a threaded host start threads of their own, which the
// thread sanitizer refuses unless told otherwise. And clang 14's leak checker
// takes an allocator lock at exit that a fork may have copied in its locked
// state, so a child of a threaded host could hang there: no leak check for
// these hosts.
std::vector<std::string> forkFriendlyEnvironment() {
  auto extended = [](const char* name, const char* option) {
    const char* value = std::getenv(name);
    return std::string(name) + "=" + (value != nullptr ? value : "") + ":" + option;
  };
  return {extended("TSAN_OPTIONS", "die_after_fork=0"), extended("ASAN_OPTIONS", "detect_leaks=0")};
}

std::string hex16(const nlohmann::json& id) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id.get<int64_t>()));
  return text;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> result;
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

struct ExpectedSpan {
  std::string trace, parent, role;
  uint64_t k = 0;
};

// What the host said it reported ("span T P S ROLE K") and suppressed
// ("suppressed T S K"), keyed by span id.
struct HostReport {
  std::map<std::string, ExpectedSpan> reported;
  std::set<std::string> suppressed;
  size_t lines = 0;
};

HostReport parseReport(const std::vector<std::string>& lines) {
  HostReport report;
  for (const auto& line : lines) {
    auto w = words(line);
    if (w.size() == 6 && w[0] == "span") {
      report.reported[w[3]] = ExpectedSpan{w[1], w[2], w[4], std::stoull(w[5])};
      ++report.lines;
    } else if (w.size() == 4 && w[0] == "suppressed") {
      report.suppressed.insert(w[2]);
      ++report.lines;
    }
  }
  return report;
}

// Every received span is one the host reported, exactly once, with ids,
// service, agent identity, redacted URL and baggage intact. Spans finished
// after the announce use the agent's secrets and capture its header; those
// finished before it fall back to the built-in filter and capture nothing.
void checkDelivery(const HostReport& report, const std::vector<nlohmann::json>& spans, bool tracedAfterAnnounce) {
  EXPECT_EQ(spans.size(), report.reported.size());
  std::set<std::string> seen;
  for (const auto& span : spans) {
    const std::string id = hex16(span.at("s"));
    SCOPED_TRACE("span " + id + ": " + span.dump());
    EXPECT_TRUE(seen.insert(id).second) << "received twice";
    EXPECT_EQ(report.suppressed.count(id), 0u) << "suppressed span was sent";
    auto expected = report.reported.find(id);
    if (expected == report.reported.end()) {
      ADD_FAILURE() << "the host never reported this span";
      continue;
    }
    const ExpectedSpan& e = expected->second;
    EXPECT_EQ(hex16(span.at("t")), e.trace);
    if (e.parent == "0000000000000000") {
      EXPECT_FALSE(span.contains("p"));
    } else {
      EXPECT_EQ(hex16(span.value("p", nlohmann::json(0))), e.parent);
    }
    EXPECT_EQ(span.at("n"), "sdk");
    EXPECT_EQ(span.at("f"), (nlohmann::json{{"e", agentPid}, {"h", agentUuid}}));
    EXPECT_EQ(span.at("data").value("service", ""), "e2e-shop");
    const auto& sdk = span.at("data").at("sdk");
    const auto& tags = sdk.at("custom").at("tags");
    if (e.role == "server") {
      EXPECT_EQ(sdk.at("name"), "GET /api/items");
      const std::string k = std::to_string(e.k);
      if (tracedAfterAnnounce) {
        EXPECT_EQ(tags.value("http.url", ""), "/api/items?id=" + k + "&password=p#frag");
        EXPECT_EQ(tags.value("http.header", nlohmann::json()), (nlohmann::json{{"x-request-id", "req-" + k}}));
      } else {
        EXPECT_EQ(tags.value("http.url", ""), "/api/items?id=" + k + "&token=t1&Token=t2&sid=s#frag");
        EXPECT_FALSE(tags.contains("http.header"));
      }
      EXPECT_EQ(tags.at("http.status_code"), 200);
      if (e.parent != "0000000000000000") {
        EXPECT_EQ(sdk.at("custom").at("baggage"), (nlohmann::json{{"user", "alice"}}));
      }
      EXPECT_EQ(sdk.at("custom").at("logs").size(), 1u);
    } else {
      EXPECT_EQ(sdk.at("name"), "proxy upstream");
      EXPECT_EQ(tags.value("span.kind", ""), "client");
    }
  }
}

std::vector<int64_t> announcedPids(const sim::AgentSimulator& simulator) {
  std::vector<int64_t> pids;
  for (const auto& request : simulator.requests()) {
    if (request.method == "PUT" && request.path == "/com.vostrel.plugin.cpp.discovery") {
      pids.push_back(nlohmann::json::parse(request.body).at("pid").get<int64_t>());
    }
  }
  return pids;
}

// Threads of one host start, tag, log, inject, extract and finish server and
// upstream spans; the agent gets every sampled one once and nothing else.
TEST(EndToEndTest, DeliversEverySampledSpanOnceFromManyThreads) {
  if (!test::requirePrivateNetwork()) return;
  sim::AgentSimulator simulator(simulatorConfig());
  ChildProcess host(hostCommand("workload", configurationFor(simulator.port()), {"4", "30"}));
  ASSERT_TRUE(host.waitForLine("loaded", 10s));
  // Header capture needs the agent's header list, which comes with the announce.
  ASSERT_TRUE(simulator.waitForRequests("HEAD", readyPath, 1, 40s)) << "the sensor never checked readiness";
  host.writeLine("go");
  ASSERT_TRUE(host.waitForLine("done", 30s));
  HostReport report = parseReport(host.lines());
  ASSERT_EQ(report.lines, 4u * 30u * 2u);
  ASSERT_EQ(report.reported.size(), 4u * 30u * 2u * 3u / 5u);
  EXPECT_TRUE(simulator.waitForSpans(report.reported.size(), 20s));
  host.writeLine("exit");
  auto status = host.wait(10s);
  ASSERT_TRUE(status) << "host did not exit";
  EXPECT_EQ(describeStatus(*status), "exit 0");

  checkDelivery(report, simulator.spans(), true);
  EXPECT_EQ(announcedPids(simulator), std::vector<int64_t>{host.pid()});
  EXPECT_TRUE(simulator.violations().empty()) << simulator.violations().front();
}

// The NGINX module's sequence: the master loads, uses and dlcloses the
// library on configure, "nginx -t" and reload; forked workers load it again,
// trace and exit gracefully. Only the workers talk to the agent.
TEST(EndToEndTest, MasterCyclesThenForkedWorkersTraceAndExitPromptly) {
  if (!test::requirePrivateNetwork()) return;
  sim::AgentSimulator simulator(simulatorConfig());
  constexpr int workers = 3;
  constexpr int requests = 40;
  ChildProcess master(hostCommand("nginx", configurationFor(simulator.port()),
                                  {std::to_string(workers), std::to_string(requests)}));
  std::set<int64_t> workerPids;
  for (int i = 0; i < workers; ++i) {
    auto line = master.waitForLine("forked ", 30s);
    ASSERT_TRUE(line);
    workerPids.insert(std::stoll(words(*line)[1]));
  }
  // A fast worker may report before the master has forked the next one, so
  // count every line read, not only those after the last fork.
  ASSERT_TRUE(master.waitForLines("worker ", workers, 30s));
  HostReport report = parseReport(master.lines());
  ASSERT_EQ(report.reported.size(), static_cast<size_t>(workers * requests * 2 * 3 / 5));
  EXPECT_TRUE(simulator.waitForSpans(report.reported.size(), 40s));

  master.writeLine("stop");
  auto status = master.wait(20s);
  ASSERT_TRUE(status) << "master did not exit";
  EXPECT_EQ(describeStatus(*status), "exit 0");

  int masterCycles = 0;
  int exited = 0;
  for (const auto& line : master.lines()) {
    auto w = words(line);
    if (!w.empty() && w[0] == "master") {
      ++masterCycles;
      EXPECT_EQ(w[3], "X-VOSTREL-T,X-VOSTREL-S,X-VOSTREL-L") << line;
      EXPECT_EQ(w[5], "1") << "the library must stay loaded after dlclose: " << line;
    }
    if (!w.empty() && w[0] == "check") {
      EXPECT_EQ(w[1], "ok");
    }
    if (w.size() == 4 && w[0] == "exited") {
      ++exited;
      EXPECT_EQ(w[2], "ok") << line;
      EXPECT_LT(std::stoi(w[3]), 3000) << "worker took long to exit: " << line;
    }
  }
  EXPECT_EQ(masterCycles, 3);
  EXPECT_EQ(exited, workers);

  checkDelivery(report, simulator.spans(), false);
  // The master never got as far as announcing; every worker did, once.
  auto pids = announcedPids(simulator);
  EXPECT_EQ(std::set<int64_t>(pids.begin(), pids.end()), workerPids);
  EXPECT_EQ(pids.size(), static_cast<size_t>(workers));
  // Workers draw their ids after the fork: no two share a generated trace.
  std::set<std::string> rootTraces;
  size_t roots = 0;
  for (const auto& [id, span] : report.reported) {
    if (span.role == "server" && span.parent == "0000000000000000") {
      ++roots;
      rootTraces.insert(span.trace);
    }
  }
  EXPECT_EQ(rootTraces.size(), roots);
  EXPECT_GT(roots, 0u);
  EXPECT_TRUE(simulator.violations().empty()) << simulator.violations().front();
}

// A process that ends while its tracer, its sensor thread or an open span is
// still alive, or after a dlclose and a reload, exits cleanly and at once.
TEST(EndToEndTest, ExitsCleanlyWithTracerStillAlive) {
  if (!test::requirePrivateNetwork()) return;
  sim::AgentSimulator simulator(simulatorConfig());
  for (const char* mode : {"static-tracer", "leaked-tracer", "open-span", "dlclose-reload"}) {
    SCOPED_TRACE(mode);
    ChildProcess host(hostCommand("exit", configurationFor(simulator.port()), {mode}));
    EXPECT_TRUE(host.waitForLine("exiting", 10s));
    auto status = host.wait(10s);
    ASSERT_TRUE(status) << "host hung at exit";
    EXPECT_EQ(describeStatus(*status), "exit 0");
  }
  EXPECT_EQ(simulator.countRequests("PUT", "/com.vostrel.plugin.cpp.discovery"), 0u);
}

// A child that inherited a live tracer releases it, keeps it until exit, or
// makes a new one (which runs its own sensor thread); none of them hangs.
TEST(EndToEndTest, ForkedChildHandlesInheritedTracer) {
  if (!test::requirePrivateNetwork()) return;
  sim::AgentSimulator simulator(simulatorConfig());
  for (const char* mode : {"release", "keep", "new-tracer"}) {
    SCOPED_TRACE(mode);
    ChildProcess host(hostCommand("fork", configurationFor(simulator.port()), {mode}), forkFriendlyEnvironment());
    auto status = host.wait(20s);
    ASSERT_TRUE(status) << "host or child hung";
    EXPECT_EQ(describeStatus(*status), "exit 0");
    std::map<std::string, int> threads;
    for (const auto& line : host.lines()) {
      auto w = words(line);
      if (w.size() == 3 && w[0] == "threads") threads[w[1]] = std::stoi(w[2]);
    }
    EXPECT_TRUE(std::count(host.lines().begin(), host.lines().end(), "child ok")) << "child failed";
    ASSERT_TRUE(threads.count("parent") && threads.count("child"));
    // The sensor thread does not exist in the child.
    EXPECT_LT(threads["child"], threads["parent"]);
    if (std::string(mode) == "new-tracer") {
      EXPECT_EQ(threads["child-new-tracer"], threads["child"] + 1) << "no sensor thread of its own";
      EXPECT_EQ(threads["child-new-tracer-released"], threads["child"]);
    }
    EXPECT_EQ(threads["parent-after-release"], threads["parent"] - 1);
  }
}

}  // namespace
}  // namespace vostrel
