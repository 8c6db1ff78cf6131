#pragma once

#include <event2/http.h>
#include <opentracing/string_view.h>

#include <cstdint>
#include <string>

#include "runtime/event_loop.h"

struct evbuffer;

namespace vostrel {

// One HTTP/1.1 client connection to one host and port. Loop thread only
// (it may be built, unconnected, while the sensor is built). Owns the
// libevent connection; the event base must outlive it.
class HttpConnection {
 public:
  HttpConnection(EventBase& base, uint64_t timeoutMicros) noexcept;
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;
  // Frees the connection; libevent frees requests still queued on it
  // without calling their callbacks.
  ~HttpConnection();

  // Replaces the current connection (see the destructor for its requests)
  // with one to host, a numeric address. The socket opens with the first
  // request. Throws "evhttp_connection_base_new failed", leaving none.
  void connect(const char* host, uint16_t port);
  // The socket descriptor, or -1 before a connection or a socket exists.
  int socket() const noexcept;
  // The peer address text, owned by libevent until the next connect; empty
  // before the first connect.
  opentracing::string_view peer() const noexcept;
  evhttp_connection* get() const noexcept { return connection_; }

 private:
  EventBase* base_;
  uint64_t timeout_;
  evhttp_connection* connection_;
};

using RequestCompleteCallback = void (*)(evhttp_request* request, void* arg);
using RequestErrorCallback = void (*)(evhttp_request_error error, void* arg);

// Holder of one outgoing request. Loop thread only. A request that was never
// sent is freed by the holder; once sending was attempted it belongs to
// libevent, which frees it after the completion callback has returned.
// Movable (the source becomes empty), not copyable.
class HttpRequest {
 public:
  // An empty holder.
  HttpRequest() noexcept : sent_(false), request_(nullptr) {}
  // A new request whose callbacks receive arg. libevent reports a failed
  // exchange through onError, then calls onComplete with a null request or
  // one whose status is 0 (see requestFailed). Throws "evhttp_request_new failed".
  HttpRequest(RequestCompleteCallback onComplete, RequestErrorCallback onError, void* arg);
  HttpRequest(HttpRequest&& other) noexcept;
  HttpRequest& operator=(HttpRequest&& other) noexcept;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;
  ~HttpRequest() { reset(); }

  // Throws "failed to add header <name>:<value>" when libevent refuses it.
  void addHeader(const std::string& name, const std::string& value);
  // The output buffer the caller appends the body to.
  evbuffer* body() const noexcept;
  // Hands the request to libevent. On failure the holder is left empty and
  // "evhttp_make_request failed" is thrown.
  void send(HttpConnection& connection, evhttp_cmd_type method, const char* path);
  // Frees a request that was never sent, forgets a sent one.
  void reset() noexcept;

  evhttp_request* get() const noexcept { return request_; }
  explicit operator bool() const noexcept { return request_ != nullptr; }
  bool sent() const noexcept { return sent_; }

 private:
  bool sent_;
  evhttp_request* request_;
};

// True when a completion callback got no request or one without a status
// line (status 0).
bool requestFailed(evhttp_request* request) noexcept;

// The log text of a libevent request error kind (evhttp_request_error).
const char* requestErrorName(int code) noexcept;

}  // namespace vostrel
