#include "agent/agent_connection.h"

#include <event2/buffer.h>

#include <exception>
#include <utility>

#include "agent/agent_host_lookup.h"
#include "agent/discovery_response.h"
#include "agent/process_info.h"
#include "agent/secret_filter.h"
#include "reporting/byte_buffer.h"
#include "reporting/json_writer.h"
#include "tracing/header_key_set.h"

namespace vostrel {

namespace {

constexpr int32_t readyChecksPerAnnounce = 10;

std::string responseBody(evhttp_request* request) {
  evbuffer* input = evhttp_request_get_input_buffer(request);
  std::string body(evbuffer_get_length(input), '\0');
  if (!body.empty()) evbuffer_copyout(input, &body[0], body.size());
  return body;
}

const char* reasonPhrase(evhttp_request* request) {
  const char* line = evhttp_request_get_response_code_line(request);
  return line != nullptr ? line : "";
}

}  // namespace

AgentConnection::AgentConnection(const Logger* logger, EventBase* eventBase, const TracerOptions* options,
                                 std::string routePath)
    : logger_(logger),
      eventBase_(eventBase),
      options_(options),
      httpConnection_(*eventBase, options->http_timeout),
      defaultGateway_(readDefaultGateway(routePath)),
      secretFilter_(std::make_shared<const SecretFilter>("contains-ignore-case",
                                                         std::vector<std::string>{"key", "pass", "secret"})),
      hostCandidates_(buildHostCandidates(options->agent_host, defaultGateway_)) {
  if (!options_->service.empty()) {
    serviceFragment_ = ",\"service\":";
    appendJsonString(serviceFragment_, options_->service);
  }
  onTimeout(*eventBase_, options_->connect_delay, eventCallback<&AgentConnection::onStart>, this);
}

AgentConnection::~AgentConnection() { currentRequest_.reset(); }

void AgentConnection::onRequestError(evhttp_request_error error) noexcept {
  lastRequestError_ = static_cast<uint32_t>(error);
}

void AgentConnection::onStart() noexcept {
  logger_->log(LogLevel::debug, "attempting to connect to Vostrel agent at ", hostCandidates_.front(), ":",
               options_->agent_port);
  connectVostrelAgent();
  lookupAgentHost();
}

void AgentConnection::sendDiscovery() noexcept {
  try {
    currentRequest_ = HttpRequest(memberCallback<&AgentConnection::onDiscoveryResponse>,
                                  memberCallback<&AgentConnection::onRequestError>, this);
    ByteBuffer body;
    writeDiscoveryRequest(body, httpConnection_.socket());
    if (logger_->debugEnabled()) logger_->log(LogLevel::debug, "Sending discovery request ", body.toString());
    body.moveInto(currentRequest_.body());
    currentRequest_.send(httpConnection_, EVHTTP_REQ_PUT, "/com.vostrel.plugin.cpp.discovery");
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "discovery failed: ", e.what());
    tryNextCandidate();
  }
}

void AgentConnection::onDiscoveryResponse(evhttp_request* request) noexcept {
  if (requestFailed(request)) {
    reportRequestFailure("discovery request failed: ", request, true);
    return;
  }
  const int status = evhttp_request_get_response_code(request);
  if (status != 200) {
    logger_->log(LogLevel::error, "discovery request failed with ", status, ": ", reasonPhrase(request));
    tryNextCandidate();
    return;
  }
  try {
    applyDiscoveryResponse(responseBody(request));
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "discovery failed: ", e.what());
    tryNextCandidate();
    return;
  }
  readyChecksLeft_ = readyChecksPerAnnounce;
  sendReadyCheck();
}

void AgentConnection::applyDiscoveryResponse(const std::string& body) {
  logger_->log(LogLevel::debug, "Received discovery response ", body);
  DiscoveryResponse response = parseDiscoveryResponse(*logger_, body.data(), body.size());
  headerKeySet_.store(std::make_shared<HeaderKeySet>(std::move(response.extraHeaders)));
  if (response.secrets) secretFilter_.store(std::shared_ptr<const SecretFilter>(std::move(response.secrets)));
  const std::string pid = std::to_string(response.pid);
  tracesPath_ = "/com.vostrel.plugin.cpp/traces." + pid;
  readyPath_ = "/com.vostrel.plugin.cpp." + pid;
  // The uuid comes from the network: escaped, so that no value of it can
  // break the JSON of every batch.
  std::string tail = serviceFragment_;
  tail += "},\"n\":\"sdk\",\"f\":{\"e\":";
  tail += pid;
  tail += ",\"h\":";
  appendJsonString(tail, response.agentUuid);
  tail += "}}]";
  spanTail_ = std::move(tail);
}

void AgentConnection::sendReadyCheck() noexcept {
  try {
    currentRequest_ = HttpRequest(memberCallback<&AgentConnection::onReadyCheckResponse>,
                                  memberCallback<&AgentConnection::onRequestError>, this);
    currentRequest_.send(httpConnection_, EVHTTP_REQ_HEAD, readyPath_.c_str());
  } catch (const std::exception& e) {
    // Counts as a failed readiness check; the loop must go on.
    logger_->log(LogLevel::error, "sendReadyCheck failed: ", e.what());
    tryNextCandidate();
  }
}

void AgentConnection::onReadyCheckResponse(evhttp_request* request) noexcept {
  if (requestFailed(request)) {
    reportRequestFailure("test agent request failed: ", request, true);
    return;
  }
  const int status = evhttp_request_get_response_code(request);
  if (status != 200) {
    logger_->log(LogLevel::debug, "Agent not yet ready received, ", status, ": ", reasonPhrase(request));
    retryReadyCheck();
    return;
  }
  currentRequest_ = HttpRequest();
  logger_->log(LogLevel::debug, "Agent ready");
  ready_ = true;
}

void AgentConnection::retryReadyCheck() noexcept {
  currentRequest_ = HttpRequest();
  if (--readyChecksLeft_ <= 0) {
    readyChecksLeft_ = 0;
    tryNextCandidate();
    return;
  }
  try {
    onTimeout(*eventBase_, options_->ready_retry_delay, eventCallback<&AgentConnection::sendReadyCheck>, this);
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "scheduleLookupRetry failed: ", e.what());
  }
}

void AgentConnection::reset() noexcept {
  if (!ready_) return;
  ready_ = false;
  candidateIndex_ = 0;
  connectVostrelAgent();
  lookupAgentHost();
}

}  // namespace vostrel
