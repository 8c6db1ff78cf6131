#pragma once

// A minimal agent for throughput runs: it answers the probe, the announce and
// the readiness check, and only counts the records of each span batch, so
// that the figure measures the sensor rather than a validating simulator.

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace vostrel::bench {

class CountingAgent {
 public:
  CountingAgent() {
    base_ = event_base_new();
    http_ = evhttp_new(base_);
    evhttp_set_allowed_methods(http_, EVHTTP_REQ_GET | EVHTTP_REQ_PUT | EVHTTP_REQ_HEAD | EVHTTP_REQ_POST);
    evhttp_set_gencb(http_, &CountingAgent::onRequest, this);
    evhttp_bound_socket* socket = evhttp_bind_socket_with_handle(http_, "127.0.0.1", 0);
    if (socket == nullptr) throw std::runtime_error("cannot bind the counting agent");
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(evhttp_bound_socket_get_fd(socket), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    timeval period{0, 5000};
    poll_ = event_new(base_, -1, EV_PERSIST, &CountingAgent::onPoll, this);
    event_add(poll_, &period);
    thread_ = std::thread([this] { event_base_dispatch(base_); });
  }
  ~CountingAgent() {
    stopping_ = true;
    thread_.join();
    event_free(poll_);
    evhttp_free(http_);
    event_base_free(base_);
  }
  uint16_t port() const { return port_; }
  size_t records() const { return records_.load(); }
  bool ready() const { return ready_.load(); }

 private:
  static void onPoll(evutil_socket_t, short, void* self) {
    auto* agent = static_cast<CountingAgent*>(self);
    if (agent->stopping_) event_base_loopbreak(agent->base_);
  }

  static void onRequest(evhttp_request* request, void* self) {
    auto* agent = static_cast<CountingAgent*>(self);
    const std::string path = evhttp_request_get_uri(request);
    evbuffer* reply = evbuffer_new();
    switch (evhttp_request_get_command(request)) {
      case EVHTTP_REQ_GET:
        evhttp_add_header(evhttp_request_get_output_headers(request), "Server", "Vostrel Agent");
        break;
      case EVHTTP_REQ_PUT:
        evbuffer_add_printf(reply, "{\"pid\":4711,\"agentUuid\":\"bench\"}");
        break;
      case EVHTTP_REQ_HEAD:
        agent->ready_ = true;
        break;
      case EVHTTP_REQ_POST:
        agent->records_ += countRecords(evhttp_request_get_input_buffer(request));
        break;
      default:
        break;
    }
    evhttp_send_reply(request, 200, "OK", reply);
    evbuffer_free(reply);
  }

  // Every record ends with the same trailer member.
  static size_t countRecords(evbuffer* body) {
    static const char marker[] = "\"n\":\"sdk\"";
    size_t count = 0;
    evbuffer_ptr at = evbuffer_search(body, marker, sizeof marker - 1, nullptr);
    while (at.pos != -1) {
      ++count;
      evbuffer_ptr_set(body, &at, sizeof marker - 1, EVBUFFER_PTR_ADD);
      at = evbuffer_search(body, marker, sizeof marker - 1, &at);
    }
    return count;
  }

  event_base* base_ = nullptr;
  evhttp* http_ = nullptr;
  event* poll_ = nullptr;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> ready_{false};
  std::atomic<size_t> records_{0};
  std::thread thread_;
};

}  // namespace vostrel::bench
