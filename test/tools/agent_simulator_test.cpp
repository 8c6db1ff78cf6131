#include "agent_simulator/agent_simulator.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vostrel::sim {
namespace {

using namespace std::chrono_literals;

struct Response {
  bool answered = false;
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::optional<std::string> header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return std::nullopt;
  }
};

// One request on a fresh loopback connection, read until the server closes.
Response send(uint16_t port, const std::string& method, const std::string& path,
              const std::string& body = "",
              const std::vector<std::string>& headers = {"Content-Type: application/json"}) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const auto& header : headers) request += header + "\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));

  std::string raw;
  pollfd waiting{fd, POLLIN, 0};
  char chunk[4096];
  while (poll(&waiting, 1, 10000) > 0) {
    const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) break;
    raw.append(chunk, n);
  }
  close(fd);

  Response response;
  const auto headerEnd = raw.find("\r\n\r\n");
  if (raw.empty() || headerEnd == std::string::npos) return response;
  response.answered = true;
  std::istringstream head(raw.substr(0, headerEnd));
  std::string line;
  std::getline(head, line);
  response.status = std::stoi(line.substr(line.find(' ') + 1));
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(':');
    response.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  response.body = raw.substr(headerEnd + 4);
  return response;
}

const std::string kAnnounce =
    R"({"pid":123,"pidFromParentNS":"false","fd":7,"inode":"socket:[99]","name":"nginx","args":["-g","daemon off;"]})";
const std::string kDiscovery = "/com.vostrel.plugin.cpp.discovery";
const std::string kReady = "/com.vostrel.plugin.cpp.4711";
const std::string kTraces = "/com.vostrel.plugin.cpp/traces.4711";
const std::string kTail = R"(,"n":"sdk","f":{"e":4711,"h":"sim-agent-0001"}})";

std::string record(const std::string& ids, const std::string& name, const std::string& custom = "",
                   const std::string& extraFields = "") {
  return "{" + ids + R"(,"ts":1700000000000,"d":5)" + extraFields + R"(,"data":{"sdk":{"name":")" + name + "\"" +
         custom + "}}" + kTail;
}

// The probe answer carries the configured status and Server header, or none.
TEST(AgentSimulator, AnswersProbeWithServerHeader) {
  struct Case {
    std::string serverHeader;
    int status;
  };
  for (const Case& c : {Case{"Vostrel Agent", 200}, Case{"", 200}, Case{"Vostrel Agent", 503}}) {
    SimulatorConfig config;
    config.serverHeader = c.serverHeader;
    config.probeStatus = c.status;
    AgentSimulator simulator(config);
    const Response response = send(simulator.port(), "GET", "/");
    EXPECT_EQ(response.status, c.status);
    if (c.serverHeader.empty()) {
      EXPECT_FALSE(response.header("Server"));
    } else {
      EXPECT_EQ(response.header("Server"), c.serverHeader);
    }
    EXPECT_TRUE(simulator.violations().empty());
  }
}

// The announce is answered with pid and uuid always, extras and secrets only when configured, or the override body.
TEST(AgentSimulator, AnswersAnnounceWithConfiguredResponse) {
  struct Case {
    SimulatorConfig config;
    std::string expected;
  };
  SimulatorConfig plain;
  SimulatorConfig extras;
  extras.agentPid = 99;
  extras.agentUuid = "u\"1";
  extras.extraHeaders = {"X-A", "X-B"};
  extras.secrets = Secrets{"regex", {"k.*", "p"}};
  SimulatorConfig override;
  override.announceBody = "{\"pid\":\"broken";
  override.announceStatus = 500;
  for (const Case& c : {Case{plain, R"({"pid":4711,"agentUuid":"sim-agent-0001"})"},
                        Case{extras, R"({"pid":99,"agentUuid":"u\"1","extraHeaders":["X-A","X-B"],)"
                                     R"("secrets":{"matcher":"regex","list":["k.*","p"]}})"},
                        Case{override, "{\"pid\":\"broken"}}) {
    AgentSimulator simulator(c.config);
    const Response response = send(simulator.port(), "PUT", kDiscovery, kAnnounce);
    EXPECT_EQ(response.status, c.config.announceStatus);
    EXPECT_EQ(response.body, c.expected);
    EXPECT_TRUE(simulator.violations().empty()) << simulator.violations().front();
  }
}

// Readiness answers follow the configured sequence, repeat the last one, and restart when changed.
TEST(AgentSimulator, AnswersReadinessInSequence) {
  SimulatorConfig config;
  config.readyStatuses = {503, 503, 200};
  AgentSimulator simulator(config);
  send(simulator.port(), "PUT", kDiscovery, kAnnounce);
  std::vector<int> seen;
  for (int i = 0; i < 4; ++i) seen.push_back(send(simulator.port(), "HEAD", kReady).status);
  simulator.setReadyStatuses({404, 200});
  for (int i = 0; i < 2; ++i) seen.push_back(send(simulator.port(), "HEAD", kReady).status);
  EXPECT_EQ(seen, (std::vector<int>{503, 503, 200, 200, 404, 200}));
  EXPECT_EQ(simulator.countRequests("HEAD", kReady), 6u);
  EXPECT_TRUE(simulator.violations().empty());
}

// A valid batch is stored record by record, written as JSON lines and answered with the traces status.
TEST(AgentSimulator, StoresSpansOfValidBatches) {
  const std::string linesPath =
      std::string(VOSTREL_TEST_BINARY_DIR) + "/simulator_spans." + std::to_string(getpid()) + ".jsonl";
  std::remove(linesPath.c_str());
  SimulatorConfig config;
  config.jsonLinesPath = linesPath;
  AgentSimulator simulator(config);
  send(simulator.port(), "PUT", kDiscovery, kAnnounce);
  const std::string batch =
      "[" + record(R"("t":-1,"s":2)", "root",
                   R"(,"custom":{"tags":{"http.url":"/a?b=2","http.header":{"X-A":"1"}},)"
                   R"("logs":{"1700000000001":{"event":"x"},"1700000000002":{"n":1.500000}},"baggage":{"k":"v"}})",
                   R"(,"sy":true,"crid":"c1")") +
      "," + record(R"("t":-1,"p":2,"s":3)", "child") + "]";
  EXPECT_EQ(send(simulator.port(), "POST", kTraces, batch).status, 200);
  simulator.setTracesStatus(503);
  EXPECT_EQ(send(simulator.port(), "POST", kTraces, "[" + record(R"("t":7,"s":8)", "other") + "]").status, 503);

  ASSERT_TRUE(simulator.waitForSpans(3, 5s));
  const auto spans = simulator.spans();
  EXPECT_EQ(spans[0]["t"], -1);
  EXPECT_EQ(spans[0]["data"]["sdk"]["custom"]["baggage"]["k"], "v");
  EXPECT_EQ(spans[1]["p"], 2);
  EXPECT_EQ(spans[2]["data"]["sdk"]["name"], "other");
  EXPECT_TRUE(simulator.violations().empty()) << simulator.violations().front();

  std::ifstream lines(linesPath);
  std::vector<std::string> written;
  for (std::string line; std::getline(lines, line);) written.push_back(line);
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(nlohmann::json::parse(written[1]), spans[1]);
  std::remove(linesPath.c_str());
}

// Delayed answers come late but complete; closing answers nothing, also when switched on at run time.
TEST(AgentSimulator, InjectsDelayAndClose) {
  SimulatorConfig delayed;
  delayed.delay = 300ms;
  {
    AgentSimulator simulator(delayed);
    const auto start = std::chrono::steady_clock::now();
    const Response response = send(simulator.port(), "GET", "/");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.header("Server"), "Vostrel Agent");
  }
  {
    // A reply still waiting for its delay when the simulator goes away is dropped cleanly.
    auto simulator = std::make_unique<AgentSimulator>(delayed);
    bool answered = true;
    std::thread client([&answered, port = simulator->port()] { answered = send(port, "GET", "/").answered; });
    EXPECT_TRUE(simulator->waitForRequests("GET", "/", 1, 5s));
    simulator.reset();
    client.join();
    EXPECT_FALSE(answered);
  }
  SimulatorConfig closing;
  closing.closeWithoutAnswer = true;
  AgentSimulator simulator(closing);
  EXPECT_FALSE(send(simulator.port(), "GET", "/").answered);
  EXPECT_FALSE(send(simulator.port(), "PUT", kDiscovery, kAnnounce).answered);
  simulator.setCloseWithoutAnswer(false);
  EXPECT_EQ(send(simulator.port(), "GET", "/").status, 200);
  simulator.setCloseWithoutAnswer(true);
  EXPECT_FALSE(send(simulator.port(), "HEAD", kReady).answered);
  EXPECT_EQ(simulator.countRequests("HEAD", kReady), 1u);
}

// Every request that breaks the protocol is reported with a text that names the fault.
TEST(AgentSimulator, ReportsProtocolViolations) {
  struct Case {
    std::string method, path, body;
    std::string expected;
    int status;
    bool announceFirst = true;
    std::vector<std::string> headers = {"Content-Type: application/json"};
  };
  const std::string ok = record(R"("t":1,"s":2)", "op");
  const std::vector<Case> cases = {
      {"GET", "/unknown", "", "unknown endpoint: GET /unknown", 404},
      {"POST", "/", "", "probe with method POST", 405},
      {"GET", kDiscovery, "", "announce with method GET", 405},
      {"HEAD", "/com.vostrel.plugin.cpp.1", "", "readiness check for /com.vostrel.plugin.cpp.1", 404},
      {"HEAD", kReady, "", "readiness check before any announce", 200, false},
      {"POST", "/com.vostrel.plugin.cpp/traces.1", "[" + ok + "]", "spans posted to /com.vostrel.plugin.cpp/traces.1", 404},
      {"POST", kTraces, "[" + ok + "]", "spans posted before any announce", 200, false},
      {"POST", kTraces, "[" + ok + "]", "Content-Type is [text/plain]", 200, true, {"Content-Type: text/plain"}},
      {"POST", kTraces, "[" + ok + ",", "body is not valid JSON", 200},
      {"POST", kTraces, ok, "body is not a JSON array", 200},
      {"POST", kTraces, "[]", "empty batch", 200},
      {"POST", kTraces, "[ " + ok + "]", "white space at offset 1", 200},
      {"POST", kTraces, "[" + record(R"("t":1,"t":1,"s":2)", "op") + "]", "member \"t\" repeats", 200},
      {"POST", kTraces, "[" + record(R"("s":2,"t":1)", "op") + "]", "expected \"t\" at member 0", 200},
      {"POST", kTraces, "[" + record(R"("t":1,"p":0,"s":2)", "op") + "]", "\"p\" is 0", 200},
      {"POST", kTraces, "[" + record(R"("t":1.5,"s":2)", "op") + "]", "\"t\" is not a signed 64-bit integer", 200},
      {"POST", kTraces, "[" + record(R"("t":18446744073709551615,"s":2)", "op") + "]", "\"t\" is not a signed", 200},
      {"POST", kTraces, "[" + record(R"("t":1,"s":2)", "op", "", R"(,"x":1)") + "]", "extra field \"x\" is neither", 200},
      {"POST", kTraces, "[" + record(R"("t":1,"s":2)", "op", R"(,"custom":{"tags":{}})") + "]", "has no tag", 200},
      {"POST", kTraces, "[" + record(R"("t":1,"s":2)", "op", R"(,"custom":{"tags":{},"logs":{"2":{},"1":{}}})") + "]",
       "log 1 is out of ascending order", 200},
      {"POST", kTraces, R"([{"t":1,"s":2,"ts":1,"d":1,"data":{"sdk":{"name":"op"}},"n":"sdk","f":{"e":1,"h":"sim-agent-0001"}}])",
       "\"f\".\"e\" is 1, expected the agent's pid 4711", 200},
      {"POST", kTraces, R"([{"t":1,"s":2,"ts":1,"d":1,"data":{"sdk":{"name":"op"}},"f":{"e":4711,"h":"sim-agent-0001"}}])",
       "does not end with data,n,f", 200},
      {"PUT", kDiscovery, R"({"pid":1,"fd":7,"pidFromParentNS":"false","inode":"","name":"n","args":[]})",
       "members are pid,fd,pidFromParentNS,inode,name,args, expected pid,pidFromParentNS,fd,inode,name,args", 200, false},
      {"PUT", kDiscovery, R"({"pid":1,"pidFromParentNS":false,"fd":7,"inode":"","name":"n","args":[]})",
       "\"pidFromParentNS\" is false", 200, false},
      {"PUT", kDiscovery, R"({"pid":1,"pidFromParentNS":"true","cpuSetFileContent":"","fd":7,"inode":"","name":"n","args":[]})",
       "\"cpuSetFileContent\" is not a non-empty string", 200, false},
      {"PUT", kDiscovery, "nginx", "announce: body is not valid JSON", 200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path + " " + c.body);
    AgentSimulator simulator;
    if (c.announceFirst) send(simulator.port(), "PUT", kDiscovery, kAnnounce);
    EXPECT_EQ(send(simulator.port(), c.method, c.path, c.body, c.headers).status, c.status);
    std::string all;
    for (const auto& violation : simulator.violations()) all += violation + "\n";
    EXPECT_NE(all.find(c.expected), std::string::npos) << all;
  }
}

// Trace trees group spans per trace in arrival order and nest children under parents, orphans at the top.
TEST(AgentSimulator, RendersTraceTrees) {
  AgentSimulator simulator;
  send(simulator.port(), "PUT", kDiscovery, kAnnounce);
  const std::string batch =
      "[" + record(R"("t":1,"p":2,"s":3)", "child") + "," +
      record(R"("t":-2,"p":9,"s":5)", "orphan") + "," +
      record(R"("t":1,"s":2)", "root", R"(,"custom":{"tags":{"k":"v"}})") + "," +
      record(R"("t":1,"p":3,"s":4)", "grandchild") + "," +
      record(R"("t":1,"p":2,"s":6)", "sibling") + "]";
  send(simulator.port(), "POST", kTraces, batch);
  ASSERT_TRUE(simulator.waitForSpans(5, 5s));
  EXPECT_EQ(simulator.traceTrees(),
            "trace 0000000000000001 (4 spans)\n"
            "  \"root\" [0000000000000002] 5 ms {\"k\":\"v\"}\n"
            "    \"child\" [0000000000000003] 5 ms\n"
            "      \"grandchild\" [0000000000000004] 5 ms\n"
            "    \"sibling\" [0000000000000006] 5 ms\n"
            "trace fffffffffffffffe (1 span)\n"
            "  \"orphan\" [0000000000000005] 5 ms (parent 0000000000000009 not received)\n");
  EXPECT_EQ(AgentSimulator::formatSpanLine(simulator.spans()[2]),
            "trace=0000000000000001 span=0000000000000002 parent=- op=\"root\" duration=5 ms tags={\"k\":\"v\"}");
  EXPECT_EQ(AgentSimulator::formatSpanLine(simulator.spans()[1]),
            "trace=fffffffffffffffe span=0000000000000005 parent=0000000000000009 op=\"orphan\" duration=5 ms");
}

// A persistent libevent client, as the sensor uses, on the loop of the calling thread.
class LibeventClient {
 public:
  explicit LibeventClient(uint16_t port)
      : base_(event_base_new()), connection_(evhttp_connection_base_new(base_, nullptr, "127.0.0.1", port)) {
    evhttp_connection_set_timeout(connection_, 5);
  }
  ~LibeventClient() {
    evhttp_connection_free(connection_);
    event_base_free(base_);
  }

  // Returns the status, 0 when the request failed without an answer.
  int request(evhttp_cmd_type method, const std::string& path, const std::string& body = "") {
    struct Result {
      int status = -1;
      event_base* base;
    } result{-1, base_};
    evhttp_request* request = evhttp_request_new(
        [](evhttp_request* done, void* arg) {
          auto* r = static_cast<Result*>(arg);
          r->status = done == nullptr ? 0 : evhttp_request_get_response_code(done);
          event_base_loopbreak(r->base);
        },
        &result);
    evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", "application/json");
    evbuffer_add(evhttp_request_get_output_buffer(request), body.data(), body.size());
    EXPECT_EQ(evhttp_make_request(connection_, request, method, path.c_str()), 0);
    while (result.status < 0 && event_base_dispatch(base_) == 0) {
    }
    return result.status;
  }

  // The local port identifies the socket the requests went over.
  uint16_t localPort() const {
    bufferevent* socket = evhttp_connection_get_bufferevent(connection_);
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(bufferevent_getfd(socket), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

 private:
  event_base* base_;
  evhttp_connection* connection_;
};

// The whole handshake and a post run over one kept-alive connection; a closing agent fails the request.
TEST(AgentSimulator, ServesPersistentLibeventClient) {
  AgentSimulator simulator;
  LibeventClient client(simulator.port());
  EXPECT_EQ(client.request(EVHTTP_REQ_GET, "/"), 200);
  const uint16_t socketPort = client.localPort();
  EXPECT_EQ(client.request(EVHTTP_REQ_PUT, kDiscovery, kAnnounce), 200);
  EXPECT_EQ(client.request(EVHTTP_REQ_HEAD, kReady), 200);
  EXPECT_EQ(client.request(EVHTTP_REQ_POST, kTraces, "[" + record(R"("t":1,"s":2)", "op") + "]"), 200);
  EXPECT_EQ(client.localPort(), socketPort);
  EXPECT_EQ(simulator.spans().size(), 1u);
  EXPECT_TRUE(simulator.violations().empty()) << simulator.violations().front();

  simulator.setCloseWithoutAnswer(true);
  EXPECT_EQ(client.request(EVHTTP_REQ_HEAD, kReady), 0);
  simulator.setCloseWithoutAnswer(false);
  EXPECT_EQ(client.request(EVHTTP_REQ_HEAD, kReady), 200);
}

struct Command {
  pid_t pid;
  std::string outputPath;
  std::string portPath;
};

Command startCommand(const std::string& name, const std::vector<std::string>& arguments) {
  // Named after our pid, so that runs in parallel never share a file.
  const std::string base = std::string(VOSTREL_TEST_BINARY_DIR) + "/" + name + "." + std::to_string(getpid());
  Command command{-1, base + ".out", base + ".port"};
  std::remove(command.portPath.c_str());
  std::vector<std::string> all = {AGENT_SIMULATOR_PATH, "--port", "0", "--port-file", command.portPath};
  all.insert(all.end(), arguments.begin(), arguments.end());
  command.pid = fork();
  if (command.pid == 0) {
    if (!freopen(command.outputPath.c_str(), "w", stdout)) _exit(127);
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return command;
}

uint16_t waitForPort(const Command& command) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(command.portPath);
    int port = 0;
    if (in >> port && port > 0) return static_cast<uint16_t>(port);
    std::this_thread::sleep_for(20ms);
  }
  return 0;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int waitForExit(pid_t pid) {
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The command exits 0 once the expected spans arrived cleanly, and 1 on SIGTERM after a violation.
TEST(AgentSimulatorCommand, ExitsWithSummary) {
  {
    const Command command = startCommand("simulator_expect", {"--expect", "1", "--timeout", "20", "--pid", "77"});
    const uint16_t port = waitForPort(command);
    ASSERT_NE(port, 0);
    send(port, "PUT", kDiscovery, kAnnounce);
    const std::string batch = "[{\"t\":1,\"s\":2,\"ts\":1,\"d\":3,\"data\":{\"sdk\":{\"name\":\"op\"}},\"n\":\"sdk\","
                              "\"f\":{\"e\":77,\"h\":\"sim-agent-0001\"}}]";
    EXPECT_EQ(send(port, "POST", "/com.vostrel.plugin.cpp/traces.77", batch).status, 200);
    EXPECT_EQ(waitForExit(command.pid), 0);
    const std::string output = readAll(command.outputPath);
    std::remove(command.outputPath.c_str());
    std::remove(command.portPath.c_str());
    EXPECT_NE(output.find("trace=0000000000000001 span=0000000000000002 parent=- op=\"op\" duration=3 ms\n"),
              std::string::npos) << output;
    EXPECT_NE(output.find("trace 0000000000000001 (1 span)\n  \"op\" [0000000000000002] 3 ms\nreceived 1 spans\n"),
              std::string::npos) << output;
  }
  const Command command = startCommand("simulator_term", {"--quiet"});
  const uint16_t port = waitForPort(command);
  ASSERT_NE(port, 0);
  EXPECT_EQ(send(port, "GET", "/nowhere").status, 404);
  kill(command.pid, SIGTERM);
  EXPECT_EQ(waitForExit(command.pid), 1);
  EXPECT_EQ(readAll(command.outputPath), "received 0 spans\n");
  std::remove(command.outputPath.c_str());
  std::remove(command.portPath.c_str());
}

}  // namespace
}  // namespace vostrel::sim
