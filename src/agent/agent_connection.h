#pragma once

#include <event2/http.h>
#include <opentracing/string_view.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/logger.h"
#include "plugin/tracer_options.h"
#include "reporting/agent_link.h"
#include "runtime/event_loop.h"
#include "runtime/http_client.h"
#include "runtime/shared_snapshot.h"

namespace vostrel {

class HeaderKeySet;
class SecretFilter;

// The sensor's link to the monitoring agent: finds it among the host
// candidates, announces the process, applies the answer and checks readiness
// until the agent takes spans; starts over when a post fails (reset).
//
// Built on the thread that builds the sensor, before the loop thread starts;
// from then on every member runs on the loop thread, except headerKeySet()
// and secretFilter(), which any thread may call. logger, eventBase and
// options are not owned and must outlive the connection. The loop must not
// run after destruction: pending one-shot timers still point here.
class AgentConnection : public AgentLink {
 public:
  // Reads the default gateway from routePath, builds the candidates and
  // schedules onStart after options->connect_delay. Throws when scheduling
  // fails.
  AgentConnection(const Logger* logger, EventBase* eventBase, const TracerOptions* options,
                  std::string routePath = "/proc/net/route");
  AgentConnection(const AgentConnection&) = delete;
  AgentConnection& operator=(const AgentConnection&) = delete;
  ~AgentConnection() override;

  // AgentLink, loop thread.
  bool ready() const noexcept override { return ready_; }
  const std::string& spanTail() const noexcept override { return spanTail_; }
  const std::string& tracesPath() const noexcept override { return tracesPath_; }
  HttpConnection& httpConnection() noexcept override { return httpConnection_; }
  // When ready: not ready any more, and the search starts over at once with
  // the first candidate. Otherwise nothing (a search is under way).
  void reset() noexcept override;

  // Atomic snapshots, any thread. The header set is null until the first
  // announce; the filter is the default until an answer brings one.
  std::shared_ptr<const HeaderKeySet> headerKeySet() const noexcept { return headerKeySet_.load(); }
  std::shared_ptr<const SecretFilter> secretFilter() const noexcept { return secretFilter_.load(); }
  Borrowed<HeaderKeySet> borrowHeaderKeySet() const noexcept { return headerKeySet_.borrow(); }
  Borrowed<SecretFilter> borrowSecretFilter() const noexcept { return secretFilter_.borrow(); }

  // State, loop thread.
  const std::vector<std::string>& hostCandidates() const noexcept { return hostCandidates_; }
  uint32_t candidateIndex() const noexcept { return candidateIndex_; }
  const std::string& defaultGateway() const noexcept { return defaultGateway_; }
  const std::string& agentAddress() const noexcept { return agentAddress_; }
  const std::string& readyPath() const noexcept { return readyPath_; }
  const std::string& serviceFragment() const noexcept { return serviceFragment_; }
  int32_t readyChecksLeft() const noexcept { return readyChecksLeft_; }

  // Steps of the search, loop thread; each is a callback or is called from
  // one, and none throws. Public so that a step can be driven on its own.
  void onStart() noexcept;
  // Resolves the current candidate and sets the HTTP connection up for it.
  void connectVostrelAgent() noexcept;
  // Probes the connection's peer with GET "/".
  void lookupAgentHost() noexcept;
  void onLookupResponse(evhttp_request* request) noexcept;
  void tryNextCandidate() noexcept;
  // Logs message + the reason (errno text with a request, else the last
  // request error) at error or debug, then tries the next candidate.
  void reportRequestFailure(opentracing::string_view message, evhttp_request* request, bool error) noexcept;
  void sendDiscovery() noexcept;
  void onDiscoveryResponse(evhttp_request* request) noexcept;
  void sendReadyCheck() noexcept;
  void onReadyCheckResponse(evhttp_request* request) noexcept;
  void retryReadyCheck() noexcept;

 private:
  void onRequestError(evhttp_request_error error) noexcept;
  void applyDiscoveryResponse(const std::string& body);

  const Logger* logger_;
  EventBase* eventBase_;
  const TracerOptions* options_;
  HttpConnection httpConnection_;
  std::string defaultGateway_;
  bool ready_ = false;
  std::string agentAddress_;
  std::string tracesPath_;
  std::string readyPath_;
  std::string serviceFragment_;
  std::string spanTail_;
  // Read by host threads.
  SharedSnapshot<HeaderKeySet> headerKeySet_;
  SharedSnapshot<SecretFilter> secretFilter_;
  std::vector<std::string> hostCandidates_;
  uint32_t candidateIndex_ = 0;
  HttpRequest currentRequest_;
  uint32_t lastRequestError_ = 0;
  int32_t readyChecksLeft_ = 0;
};

}  // namespace vostrel
