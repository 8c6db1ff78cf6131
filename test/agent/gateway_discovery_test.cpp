#include <fcntl.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "agent/agent_connection.h"
#include "connection_harness.h"
#include "support/loop_runner.h"
#include "support/network_guard.h"

namespace vostrel {
namespace {

using namespace std::chrono_literals;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A second network namespace joined to the test's own by a veth pair, the
// test namespace's default route through it, and an agent simulator
// listening inside it. Everything is removed again on destruction, also
// after a failed assertion.
class GatewayAgent {
 public:
  static constexpr const char* localAddress = "10.213.0.1";
  static constexpr const char* agentAddress = "10.213.0.2";

  GatewayAgent()
      : suffix_(std::to_string(getpid())),
        namespace_("vostrel-gw-" + suffix_),
        localLink_("vsg" + suffix_),
        agentLink_("vsa" + suffix_),
        portFile_(std::string(VOSTREL_TEST_BINARY_DIR) + "/gateway-agent-" + suffix_ + ".port") {}

  ~GatewayAgent() {
    if (simulator_ > 0) {
      kill(simulator_, SIGKILL);
      waitpid(simulator_, nullptr, 0);
    }
    if (routeAdded_) run(std::string("ip route del default via ") + agentAddress);
    if (linkAdded_) run("ip link del " + localLink_);
    if (namespaceAdded_) run("ip netns del " + namespace_);
    std::remove(portFile_.c_str());
  }

  // Builds the namespaces and the route; false (with why) when this machine
  // cannot make them.
  bool setUp(std::string& why) {
    const auto step = [&why](bool done, const char* failure) {
      if (!done) why = failure;
      return done;
    };
    const std::string inAgent = "ip netns exec " + namespace_ + " ";
    return step(namespaceAdded_ = run("ip netns add " + namespace_), "ip netns add failed") &&
           step(linkAdded_ = run("ip link add " + localLink_ + " type veth peer name " + agentLink_),
                "cannot create a veth pair") &&
           step(run("ip link set " + agentLink_ + " netns " + namespace_) &&
                    run("ip addr add " + std::string(localAddress) + "/30 dev " + localLink_) &&
                    run("ip link set " + localLink_ + " up") &&
                    run(inAgent + "ip addr add " + agentAddress + "/30 dev " + agentLink_) &&
                    run(inAgent + "ip link set " + agentLink_ + " up") && run(inAgent + "ip link set lo up"),
                "cannot configure the veth pair") &&
           step(routeAdded_ = run(std::string("ip route add default via ") + agentAddress),
                "cannot add the default route");
  }

  // Starts the simulator command in the agent namespace and waits for its
  // port; 0 when it did not come up.
  uint16_t startSimulator() {
    std::remove(portFile_.c_str());
    simulator_ = fork();
    if (simulator_ == 0) {
      const int devNull = open("/dev/null", O_WRONLY);
      dup2(devNull, STDOUT_FILENO);
      execlp("ip", "ip", "netns", "exec", namespace_.c_str(), VOSTREL_AGENT_SIMULATOR, "--host", agentAddress,
             "--port", "0", "--port-file", portFile_.c_str(), "--quiet", "--timeout", "120", nullptr);
      _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream file(portFile_);
      unsigned port = 0;
      if (file >> port && port > 0 && port < 65536) return static_cast<uint16_t>(port);
      if (waitpid(simulator_, nullptr, WNOHANG) == simulator_) {
        simulator_ = 0;
        return 0;
      }
      std::this_thread::sleep_for(10ms);
    }
    return 0;
  }

  // Stops the simulator; true when it saw no protocol violation.
  bool stopSimulator() {
    if (simulator_ <= 0) return false;
    kill(simulator_, SIGTERM);
    int status = 0;
    waitpid(simulator_, &status, 0);
    simulator_ = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  std::string suffix_, namespace_, localLink_, agentLink_, portFile_;
  bool namespaceAdded_ = false, linkAdded_ = false, routeAdded_ = false;
  pid_t simulator_ = 0;
};

// With no configured host the connection reads the default route from
// /proc/net/route, probes the gateway first and becomes ready there.
TEST(GatewayDiscovery, FindsAgentThroughDefaultRoute) {
  const char* isolated = std::getenv("VOSTREL_PRIVATE_NETNS");
  if (isolated == nullptr || std::string(isolated) != "1") {
    GTEST_SKIP() << "adds a default route: runs only in the test command's private network namespace";
  }
  if (!test::requirePrivateNetwork()) return;
  if (getuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
  // A namespace of this process's own, so that tests running in parallel
  // never see the default route added below.
  if (unshare(CLONE_NEWNET) != 0 || !run("ip link set lo up")) {
    GTEST_SKIP() << "cannot make network namespaces here: unshare failed";
  }

  GatewayAgent gateway;
  std::string why;
  if (!gateway.setUp(why)) GTEST_SKIP() << "cannot make network namespaces here: " << why;
  const uint16_t port = gateway.startSimulator();
  ASSERT_NE(port, 0) << "agent simulator did not start in the agent namespace";

  EventBase base;
  Logger logger;
  test::LogCapture logs;
  logs.attach(logger);
  TracerOptions options;
  options.agent_port = port;
  options.http_timeout = 5000000;
  options.connect_delay = 1000;
  options.lookup_retry_delay = 20000;
  options.ready_retry_delay = 2000;
  AgentConnection connection(&logger, &base, &options);
  EXPECT_EQ(connection.defaultGateway(), GatewayAgent::agentAddress);
  EXPECT_EQ(connection.hostCandidates(), (std::vector<std::string>{GatewayAgent::agentAddress, "localhost"}));

  ASSERT_TRUE(test::runLoopUntil(base, [&] { return connection.ready(); }, 20s)) << logs.dump();
  const std::string agent = GatewayAgent::agentAddress;
  EXPECT_TRUE(logs.inOrder({"attempting to connect to Vostrel agent at " + agent + ":" + std::to_string(port),
                            "resolved agent hostname " + agent + " to " + agent, "Sending discovery request ",
                            "Received discovery response ", "Agent ready"}))
      << logs.dump();
  EXPECT_EQ(connection.candidateIndex(), 0u);
  EXPECT_EQ(logs.errors(), std::vector<std::string>{});
  EXPECT_TRUE(gateway.stopSimulator()) << "the simulator reported protocol violations";
}

}  // namespace
}  // namespace vostrel
