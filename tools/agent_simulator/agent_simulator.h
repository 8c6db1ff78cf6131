#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct event;
struct event_base;
struct evhttp;
struct evhttp_request;

namespace vostrel::sim {

// The "secrets" member of the discovery response.
struct Secrets {
  std::string matcher;
  std::vector<std::string> list;
};

// What the simulated agent answers. Read once at construction; the knobs that
// can change later have setters on AgentSimulator.
struct SimulatorConfig {
  std::string host = "127.0.0.1";
  uint16_t port = 0;                           // 0: any free port, read back with port()
  std::string serverHeader = "Vostrel Agent";  // empty: no Server header on the probe answer
  int probeStatus = 200;
  int announceStatus = 200;
  int32_t agentPid = 4711;
  std::string agentUuid = "sim-agent-0001";
  std::vector<std::string> extraHeaders;       // "extraHeaders" of the discovery response
  std::optional<Secrets> secrets;              // "secrets" of the discovery response
  std::string announceBody;                    // non-empty: answer the announce with exactly this body
  std::vector<int> readyStatuses = {200};      // successive readiness answers; the last one repeats
  int tracesStatus = 200;
  std::chrono::milliseconds delay{0};          // answer every request this much later
  bool closeWithoutAnswer = false;             // close connections instead of answering (all endpoints)
  std::string jsonLinesPath;                   // non-empty: append each received span as one JSON line
  bool printSpans = false;                     // print each received span as a readable line to stdout
};

// One request as the simulator received it. path is the request target as
// sent, query included.
struct Request {
  std::string method, path, body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// A monitoring agent on a loopback port, for tests, the demo and trying the
// plug-in out. It answers the probe, the announce, the readiness checks and
// the span batches as configured, records every request and span, and checks
// every request against what the sensor must send; each deviation becomes one
// line in violations(). Violations never change the answers, so one fault
// does not hide the next.
//
// Threads: the constructor binds the socket and starts one thread that runs
// its own libevent loop; all network work happens there. Every public member
// may be called from any thread.
class AgentSimulator {
 public:
  // Binds host:port and starts the loop thread. Throws std::runtime_error
  // when the socket cannot be bound or the JSON lines file cannot be opened.
  explicit AgentSimulator(SimulatorConfig config = {});
  // Stops the loop thread and joins it; replies still waiting for their delay
  // are dropped with their connections.
  ~AgentSimulator();

  AgentSimulator(const AgentSimulator&) = delete;
  AgentSimulator& operator=(const AgentSimulator&) = delete;

  uint16_t port() const;

  std::vector<nlohmann::json> spans() const;    // every span record received, in arrival order
  std::vector<Request> requests() const;        // every request received, in order
  std::vector<std::string> violations() const;  // protocol violations found (empty = clean)
  size_t countRequests(const std::string& method, const std::string& path) const;

  // Block until the loop thread has stored what they wait for; return
  // whether it arrived before the timeout.
  bool waitForSpans(size_t count, std::chrono::milliseconds timeout) const;
  bool waitForRequests(const std::string& method, const std::string& path, size_t count,
                       std::chrono::milliseconds timeout) const;

  // Runtime knobs; they apply to requests received after the call.
  void setTracesStatus(int status);
  // Starts the readiness sequence over with these answers.
  void setReadyStatuses(std::vector<int> statuses);
  void setCloseWithoutAnswer(bool close);

  // The received spans grouped per trace, in order of first arrival, each
  // trace an indented tree with children under their parents.
  std::string traceTrees() const;

  // One readable line for a span record: trace, span, parent, operation,
  // duration and tags, ids in their 16-digit header form.
  static std::string formatSpanLine(const nlohmann::json& record);
  // The 16 lower-case hex digits of an id given as a JSON number.
  static std::string hexId(const nlohmann::json& id);

 private:
  struct Answer {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool close = false;
  };
  struct PendingReply;
  struct EventBaseDeleter {
    void operator()(event_base* base) const;
  };
  struct EvhttpDeleter {
    void operator()(evhttp* http) const;
  };
  struct EventDeleter {
    void operator()(event* ev) const;
  };

  void run() noexcept;
  static void onRequestThunk(evhttp_request* request, void* self);
  static void onWakeThunk(int fd, short what, void* self);
  static void onDelayThunk(int fd, short what, void* pending);
  void onRequest(evhttp_request* request) noexcept;
  void onDelayElapsed(PendingReply* pending) noexcept;

  // Loop thread only: decide the answer and check the request.
  Answer route(const Request& request);
  Answer answerProbe(const Request& request);
  Answer answerAnnounce(const Request& request);
  Answer answerReadiness(const Request& request);
  Answer answerTraces(const Request& request);
  void checkAnnounceBody(const std::string& body);
  void storeBatch(const std::string& body);
  std::string discoveryResponse() const;
  static void sendAnswer(evhttp_request* request, const Answer& answer);

  void addViolation(std::string text);

  const SimulatorConfig config_;
  std::unique_ptr<event_base, EventBaseDeleter> base_;
  std::unique_ptr<evhttp, EvhttpDeleter> http_;
  std::unique_ptr<event, EventDeleter> wakeEvent_;
  int wakePipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::ofstream jsonLines_;                       // loop thread only
  std::vector<std::unique_ptr<PendingReply>> pending_;  // loop thread only
  bool announced_ = false;                        // loop thread only

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<nlohmann::json> spans_;       // guarded by mutex_
  std::vector<Request> requests_;           // guarded by mutex_
  std::vector<std::string> violations_;     // guarded by mutex_
  int tracesStatus_;                        // guarded by mutex_
  std::vector<int> readyStatuses_;          // guarded by mutex_
  size_t readyIndex_ = 0;                   // guarded by mutex_
  bool closeWithoutAnswer_;                 // guarded by mutex_

  std::thread thread_;
};

}  // namespace vostrel::sim
