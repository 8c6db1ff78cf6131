#include "agent/agent_host_lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "agent/agent_connection.h"

namespace vostrel {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The kernel writes the gateway as eight hex digits of the address in
// little-endian byte order: "0102A8C0" is 192.168.2.1.
std::string gatewayToDottedQuad(const std::string& field) {
  if (field.size() < 8) return {};
  unsigned bytes[4];
  for (int i = 0; i < 4; ++i) {
    const int high = hexDigit(field[2 * i]);
    const int low = hexDigit(field[2 * i + 1]);
    if (high < 0 || low < 0) return {};
    bytes[i] = static_cast<unsigned>(high * 16 + low);
  }
  return std::to_string(bytes[3]) + "." + std::to_string(bytes[2]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[0]);
}

}  // namespace

AddressInfoFailure::AddressInfoFailure(int code) : std::runtime_error(gai_strerror(code)), code_(code) {}

std::string readDefaultGateway(const std::string& routePath) {
  std::ifstream routes(routePath);
  std::string line;
  if (!routes || !std::getline(routes, line)) return {};
  while (std::getline(routes, line)) {
    const std::size_t destination = line.find('\t');
    if (destination == std::string::npos) continue;
    const std::size_t gateway = line.find('\t', destination + 1);
    if (gateway == std::string::npos) continue;
    if (line.compare(destination + 1, gateway - destination - 1, "00000000") != 0) continue;
    std::size_t gatewayEnd = line.find('\t', gateway + 1);
    if (gatewayEnd == std::string::npos) gatewayEnd = line.size();
    return gatewayToDottedQuad(line.substr(gateway + 1, gatewayEnd - gateway - 1));
  }
  return {};
}

AddressList resolveHost(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int code = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (code != 0) throw AddressInfoFailure(code);
  return AddressList(list);
}

std::string addressToString(const sockaddr* address) {
  if (address == nullptr) return {};
  char text[INET6_ADDRSTRLEN];
  const char* result = nullptr;
  if (address->sa_family == AF_INET) {
    result = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof(text));
  } else if (address->sa_family == AF_INET6) {
    result = inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof(text));
  }
  return result != nullptr ? std::string(result) : std::string();
}

std::vector<std::string> buildHostCandidates(const std::string& agentHost, const std::string& gateway) {
  std::vector<std::string> candidates;
  if (!agentHost.empty()) {
    candidates.push_back(agentHost);
    if (!gateway.empty() && gateway != agentHost) candidates.push_back(gateway);
  } else {
    if (!gateway.empty()) candidates.push_back(gateway);
    candidates.emplace_back("localhost");
  }
  return candidates;
}

// The lookup steps of the agent connection.

void AgentConnection::connectVostrelAgent() noexcept {
  const std::string& candidate = hostCandidates_[candidateIndex_];
  try {
    AddressList addresses = resolveHost(candidate);
    agentAddress_ = addresses ? addressToString(addresses->ai_addr) : std::string();
    addresses.reset();
    logger_->log(LogLevel::debug, "resolved agent hostname ", candidate, " to ", agentAddress_);
    if (!agentAddress_.empty()) httpConnection_.connect(agentAddress_.c_str(), options_->agent_port);
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "connectVostrelAgent failed: ", e.what());
    agentAddress_.clear();
  }
}

void AgentConnection::lookupAgentHost() noexcept {
  if (httpConnection_.peer().empty()) {
    tryNextCandidate();
    return;
  }
  try {
    currentRequest_ = HttpRequest(memberCallback<&AgentConnection::onLookupResponse>,
                                  memberCallback<&AgentConnection::onRequestError>, this);
    currentRequest_.send(httpConnection_, EVHTTP_REQ_GET, "/");
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "lookupAgentHost failed: ", e.what());
    tryNextCandidate();
  }
}

void AgentConnection::onLookupResponse(evhttp_request* request) noexcept {
  if (requestFailed(request)) {
    std::string message;
    try {
      message = "lookup request for " + std::string(httpConnection_.peer()) + " failed: ";
    } catch (const std::exception&) {
      // Out of memory: the reason alone still goes to the log.
    }
    reportRequestFailure(message, request, false);
    return;
  }
  const int status = evhttp_request_get_response_code(request);
  if (status == 200) {
    const char* server = evhttp_find_header(evhttp_request_get_input_headers(request), "Server");
    if (server != nullptr && std::strcmp(server, "Vostrel Agent") == 0) {
      sendDiscovery();
      return;
    }
    // Something else answers on the agent's port: keep searching rather
    // than stall until the sensor is rebuilt.
    logger_->log(LogLevel::error, "Vostrel Agent header not found");
    tryNextCandidate();
    return;
  }
  const char* reason = evhttp_request_get_response_code_line(request);
  logger_->log(LogLevel::error, "lookup request failed with ", status, ": ", reason != nullptr ? reason : "");
  tryNextCandidate();
}

void AgentConnection::tryNextCandidate() noexcept {
  currentRequest_.reset();
  if (candidateIndex_ + 1 < hostCandidates_.size()) {
    ++candidateIndex_;
    logger_->log(LogLevel::debug, "checking next agent host candidate ", hostCandidates_[candidateIndex_]);
    connectVostrelAgent();
    lookupAgentHost();
    return;
  }
  logger_->log(LogLevel::error, "lookup requests for all agent host candidates failed");
  candidateIndex_ = 0;
  connectVostrelAgent();
  try {
    onTimeout(*eventBase_, options_->lookup_retry_delay, eventCallback<&AgentConnection::lookupAgentHost>, this);
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "scheduleLookupRetry failed: ", e.what());
  }
}

void AgentConnection::reportRequestFailure(opentracing::string_view message, evhttp_request* request,
                                           bool error) noexcept {
  const char* reason = request != nullptr ? std::strerror(errno) : requestErrorName(static_cast<int>(lastRequestError_));
  logger_->log(error ? LogLevel::error : LogLevel::debug, message, reason);
  tryNextCandidate();
}

}  // namespace vostrel
