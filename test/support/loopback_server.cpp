#include "support/loopback_server.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace vostrel::test {

namespace {

const char* methodName(evhttp_cmd_type method) {
  switch (method) {
    case EVHTTP_REQ_GET: return "GET";
    case EVHTTP_REQ_POST: return "POST";
    case EVHTTP_REQ_HEAD: return "HEAD";
    case EVHTTP_REQ_PUT: return "PUT";
    case EVHTTP_REQ_DELETE: return "DELETE";
    case EVHTTP_REQ_OPTIONS: return "OPTIONS";
    case EVHTTP_REQ_TRACE: return "TRACE";
    case EVHTTP_REQ_CONNECT: return "CONNECT";
    case EVHTTP_REQ_PATCH: return "PATCH";
  }
  return "?";
}

std::string pathOf(const std::string& uri) { return uri.substr(0, uri.find('?')); }

}  // namespace

std::string ReceivedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return {};
}

bool ReceivedRequest::hasHeader(const std::string& name) const {
  for (const auto& entry : headers) {
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

LoopbackServer::LoopbackServer() {
  base_ = event_base_new();
  if (base_ == nullptr) throw std::runtime_error("loopback server: event_base_new failed");
  http_ = evhttp_new(base_);
  evhttp_bound_socket* bound = http_ == nullptr ? nullptr : evhttp_bind_socket_with_handle(http_, "127.0.0.1", 0);
  if (bound == nullptr || pipe(wakeFds_) != 0) {
    if (http_ != nullptr) evhttp_free(http_);
    event_base_free(base_);
    throw std::runtime_error("loopback server: cannot bind 127.0.0.1:0");
  }
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  evhttp_set_allowed_methods(http_, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD | EVHTTP_REQ_PUT |
                                        EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_PATCH);
  evhttp_set_gencb(http_, &LoopbackServer::onRequest, this);
  wake_ = event_new(base_, wakeFds_[0], EV_READ, &LoopbackServer::onWake, this);
  event_add(wake_, nullptr);
  thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer() {
  const char stop = 1;
  while (write(wakeFds_[1], &stop, 1) != 1) {
  }
  thread_.join();
  evhttp_free(http_);
  event_free(wake_);
  event_base_free(base_);
  close(wakeFds_[0]);
  close(wakeFds_[1]);
}

void LoopbackServer::run() noexcept { event_base_dispatch(base_); }

void LoopbackServer::onWake(int, short, void* self) noexcept {
  event_base_loopbreak(static_cast<LoopbackServer*>(self)->base_);
}

void LoopbackServer::respondWith(int status, std::string body) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultReply_ = Reply{};
  defaultReply_.status = status;
  defaultReply_.body = std::move(body);
}

void LoopbackServer::respondWith(const std::string& path, int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  respondWith(path, std::move(reply));
}

void LoopbackServer::respondWith(const std::string& path, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (path.empty()) {
    defaultReply_ = std::move(reply);
  } else {
    paths_[path] = std::move(reply);
  }
}

void LoopbackServer::stall(const std::string& path) {
  Reply reply;
  reply.kind = Reply::Kind::stall;
  respondWith(path, std::move(reply));
}

void LoopbackServer::closeEarly(const std::string& path) {
  Reply reply;
  reply.kind = Reply::Kind::closeEarly;
  respondWith(path, std::move(reply));
}

void LoopbackServer::setDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
}

void LoopbackServer::clearReplies() {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultReply_ = Reply{};
  paths_.clear();
  delay_ = std::chrono::milliseconds(0);
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::size_t LoopbackServer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

void LoopbackServer::clearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return waitFor([count](const std::vector<ReceivedRequest>& seen) { return seen.size() >= count; }, timeout);
}

bool LoopbackServer::waitFor(const std::function<bool(const std::vector<ReceivedRequest>&)>& condition,
                             std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return condition(received_); });
}

LoopbackServer::Reply LoopbackServer::replyFor(const std::string& uri, std::chrono::milliseconds& delay) const {
  delay = delay_;
  auto found = paths_.find(pathOf(uri));
  return found == paths_.end() ? defaultReply_ : found->second;
}

void LoopbackServer::answer(evhttp_request* request, const Reply& reply) {
  evkeyvalq* headers = evhttp_request_get_output_headers(request);
  for (const auto& [name, value] : reply.headers) evhttp_add_header(headers, name.c_str(), value.c_str());
  evbuffer* body = evbuffer_new();
  // libevent's server would write the body after a HEAD answer too, and the
  // client would then read it as the start of the next response.
  if (evhttp_request_get_command(request) != EVHTTP_REQ_HEAD) evbuffer_add(body, reply.body.data(), reply.body.size());
  evhttp_send_reply(request, reply.status, reply.reason.empty() ? nullptr : reply.reason.c_str(), body);
  evbuffer_free(body);
}

void LoopbackServer::onRequest(evhttp_request* request, void* self) noexcept {
  auto* server = static_cast<LoopbackServer*>(self);
  ReceivedRequest seen;
  seen.method = methodName(evhttp_request_get_command(request));
  seen.path = evhttp_request_get_uri(request);
  evkeyvalq* headers = evhttp_request_get_input_headers(request);
  for (evkeyval* header = headers->tqh_first; header != nullptr; header = header->next.tqe_next) {
    seen.headers.emplace_back(header->key, header->value);
  }
  evbuffer* input = evhttp_request_get_input_buffer(request);
  seen.body.resize(evbuffer_get_length(input));
  if (!seen.body.empty()) evbuffer_copyout(input, &seen.body[0], seen.body.size());

  Reply reply;
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard<std::mutex> lock(server->mutex_);
    reply = server->replyFor(seen.path, delay);
    server->received_.push_back(std::move(seen));
  }
  server->arrived_.notify_all();

  evhttp_connection* connection = evhttp_request_get_connection(request);
  switch (reply.kind) {
    case Reply::Kind::stall:
      return;
    case Reply::Kind::closeEarly: {
      // Shutting the socket down frees nothing, so libevent's own clean-up
      // of the connection stays valid whenever it comes.
      bufferevent* events = evhttp_connection_get_bufferevent(connection);
      if (events != nullptr) shutdown(bufferevent_getfd(events), SHUT_RDWR);
      return;
    }
    case Reply::Kind::answer:
      break;
  }
  if (delay.count() <= 0) {
    answer(request, reply);
    return;
  }
  server->delayed_.push_back(Delayed{server, request, connection, std::move(reply), true});
  // A client that gives up before the delay ends frees the request with its
  // connection; the close callback marks the reply as not to be sent.
  evhttp_connection_set_closecb(connection, &LoopbackServer::onConnectionClosed, server);
  const timeval wait{static_cast<time_t>(delay.count() / 1000), static_cast<suseconds_t>(delay.count() % 1000 * 1000)};
  event_base_once(server->base_, -1, EV_TIMEOUT, &LoopbackServer::onDelayed, &server->delayed_.back(), &wait);
}

void LoopbackServer::onDelayed(int, short, void* delayed) noexcept {
  auto* entry = static_cast<Delayed*>(delayed);
  if (entry->alive) answer(entry->request, entry->reply);
  LoopbackServer* server = entry->server;
  for (auto it = server->delayed_.begin(); it != server->delayed_.end(); ++it) {
    if (&*it == entry) {
      server->delayed_.erase(it);
      break;
    }
  }
}

void LoopbackServer::onConnectionClosed(evhttp_connection* connection, void* self) noexcept {
  for (Delayed& entry : static_cast<LoopbackServer*>(self)->delayed_) {
    if (entry.connection == connection) entry.alive = false;
  }
}

uint16_t closedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace vostrel::test
