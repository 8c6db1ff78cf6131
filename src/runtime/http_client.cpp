#include "runtime/http_client.h"

#include <event2/bufferevent.h>
#include <event2/keyvalq_struct.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <stdexcept>

namespace vostrel {

HttpConnection::HttpConnection(EventBase& base, uint64_t timeoutMicros) noexcept
    : base_(&base), timeout_(timeoutMicros), connection_(nullptr) {}

HttpConnection::~HttpConnection() {
  if (connection_ != nullptr) evhttp_connection_free(connection_);
}

void HttpConnection::connect(const char* host, uint16_t port) {
  if (connection_ != nullptr) {
    evhttp_connection_free(connection_);
    connection_ = nullptr;
  }
  evhttp_connection* connection = evhttp_connection_base_new(base_->get(), nullptr, host, port);
  if (connection == nullptr) throw std::runtime_error("evhttp_connection_base_new failed");
  // Each connection takes the time-out it was built with, so connections
  // with different options in one process keep their own.
  const timeval timeout = toTimeval(timeout_);
  evhttp_connection_set_timeout_tv(connection, &timeout);
  connection_ = connection;
}

int HttpConnection::socket() const noexcept {
  if (connection_ == nullptr) return -1;
  bufferevent* events = evhttp_connection_get_bufferevent(connection_);
  if (events == nullptr) return -1;
  return static_cast<int>(bufferevent_getfd(events));
}

opentracing::string_view HttpConnection::peer() const noexcept {
  if (connection_ == nullptr) return {};
  char* address = nullptr;
  ev_uint16_t port = 0;
  evhttp_connection_get_peer(connection_, &address, &port);
  if (address == nullptr) return {};
  return opentracing::string_view(address);
}

HttpRequest::HttpRequest(RequestCompleteCallback onComplete, RequestErrorCallback onError, void* arg)
    : sent_(false), request_(evhttp_request_new(onComplete, arg)) {
  if (request_ == nullptr) throw std::runtime_error("evhttp_request_new failed");
  evhttp_request_set_error_cb(request_, onError);
}

HttpRequest::HttpRequest(HttpRequest&& other) noexcept : sent_(other.sent_), request_(other.request_) {
  other.sent_ = false;
  other.request_ = nullptr;
}

HttpRequest& HttpRequest::operator=(HttpRequest&& other) noexcept {
  if (this != &other) {
    reset();
    sent_ = other.sent_;
    request_ = other.request_;
    other.sent_ = false;
    other.request_ = nullptr;
  }
  return *this;
}

void HttpRequest::addHeader(const std::string& name, const std::string& value) {
  if (request_ == nullptr ||
      evhttp_add_header(evhttp_request_get_output_headers(request_), name.c_str(), value.c_str()) != 0) {
    throw std::runtime_error("failed to add header " + name + ":" + value);
  }
}

evbuffer* HttpRequest::body() const noexcept {
  return request_ == nullptr ? nullptr : evhttp_request_get_output_buffer(request_);
}

void HttpRequest::send(HttpConnection& connection, evhttp_cmd_type method, const char* path) {
  if (request_ == nullptr || connection.get() == nullptr) {
    // libevent never saw this request, so it is still ours to free.
    reset();
    throw std::runtime_error("evhttp_make_request failed");
  }
  sent_ = true;
  if (evhttp_make_request(connection.get(), request_, method, path) != 0) {
    // libevent may already have freed it: never touch it again.
    request_ = nullptr;
    sent_ = false;
    throw std::runtime_error("evhttp_make_request failed");
  }
  // A request ends in a short segment, which Nagle's algorithm would hold
  // until the agent acknowledges the one before: with delayed
  // acknowledgements that adds tens of milliseconds to every post.
  const int socket = connection.socket();
  if (socket >= 0) {
    const int on = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
}

void HttpRequest::reset() noexcept {
  if (request_ != nullptr && !sent_) evhttp_request_free(request_);
  request_ = nullptr;
  sent_ = false;
}

bool requestFailed(evhttp_request* request) noexcept {
  return request == nullptr || evhttp_request_get_response_code(request) == 0;
}

const char* requestErrorName(int code) noexcept {
  switch (code) {
    case EVREQ_HTTP_TIMEOUT: return "request timed out";
    case EVREQ_HTTP_EOF: return "EOF reached";
    case EVREQ_HTTP_INVALID_HEADER: return "error reading http header";
    case EVREQ_HTTP_BUFFER_ERROR: return "buffer error";
    case EVREQ_HTTP_REQUEST_CANCEL: return "request canceled";
    case EVREQ_HTTP_DATA_TOO_LONG: return "request body is greater than maximum body size";
    default: return "unknown error";
  }
}

}  // namespace vostrel
