#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct event;
struct event_base;
struct evhttp;
struct evhttp_request;
struct evhttp_connection;

namespace vostrel::test {

// One request as the server received it.
struct ReceivedRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // the request URI as sent, query included
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // The value of the first header of that name (case-insensitive), or "".
  std::string header(const std::string& name) const;
  bool hasHeader(const std::string& name) const;
};

// An in-process HTTP/1.1 server on 127.0.0.1 with a port chosen by the
// system, running its own libevent loop on its own thread. What it answers is
// set with the knobs below, globally or per path (the URI without its query);
// a per-path setting wins. Every method may be called from any thread; the
// knobs apply to requests that arrive after the call.
class LoopbackServer {
 public:
  struct Reply {
    enum class Kind { answer, stall, closeEarly };
    Kind kind = Kind::answer;
    int status = 200;
    std::string body;
    std::string reason;  // empty: the standard phrase of the status
    std::vector<std::pair<std::string, std::string>> headers;
  };

  // Binds and starts serving; throws std::runtime_error when it cannot.
  LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  // Stops the thread, then closes every connection without answering.
  ~LoopbackServer();

  const char* host() const noexcept { return "127.0.0.1"; }
  uint16_t port() const noexcept { return port_; }

  void respondWith(int status, std::string body = {});
  void respondWith(const std::string& path, int status, std::string body = {});
  void respondWith(const std::string& path, Reply reply);
  // Never answers (the request stays open until the client gives up).
  void stall(const std::string& path = {});
  // Closes the connection without answering.
  void closeEarly(const std::string& path = {});
  // Answers this long after the request arrived (answers only).
  void setDelay(std::chrono::milliseconds delay);
  // Back to answering 200 with an empty body at once, everywhere.
  void clearReplies();

  std::vector<ReceivedRequest> requests() const;
  std::size_t requestCount() const;
  void clearRequests();
  // Waits until at least count requests have arrived; false at the deadline.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until condition holds for the requests received so far.
  bool waitFor(const std::function<bool(const std::vector<ReceivedRequest>&)>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  struct Delayed {
    LoopbackServer* server;
    evhttp_request* request;
    evhttp_connection* connection;
    Reply reply;
    bool alive;
  };

  static void onRequest(evhttp_request* request, void* self) noexcept;
  static void onWake(int fd, short, void* self) noexcept;
  static void onDelayed(int, short, void* delayed) noexcept;
  static void onConnectionClosed(evhttp_connection* connection, void* self) noexcept;
  static void answer(evhttp_request* request, const Reply& reply);
  Reply replyFor(const std::string& uri, std::chrono::milliseconds& delay) const;
  void run() noexcept;

  event_base* base_ = nullptr;
  evhttp* http_ = nullptr;
  event* wake_ = nullptr;
  int wakeFds_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::list<Delayed> delayed_;  // loop thread only

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  Reply defaultReply_;                  // guarded by mutex_
  std::map<std::string, Reply> paths_;  // guarded by mutex_
  std::chrono::milliseconds delay_{0};  // guarded by mutex_
  std::vector<ReceivedRequest> received_;  // guarded by mutex_

  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then closed).
uint16_t closedLoopbackPort();

}  // namespace vostrel::test
