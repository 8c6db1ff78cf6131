#include "runtime/http_client.h"

#include <event2/buffer.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/loop_runner.h"
#include "support/loopback_server.h"

namespace vostrel {
namespace {

using test::LoopbackServer;
using test::runLoopUntil;

// What the callbacks of one request saw.
struct Exchange {
  int completions = 0;
  int errors = 0;
  int errorKind = -1;
  bool failed = false;
  int status = 0;
  std::string reason;
  std::string body;

  void onComplete(evhttp_request* request) noexcept {
    ++completions;
    failed = requestFailed(request);
    if (!failed) {
      status = evhttp_request_get_response_code(request);
      const char* line = evhttp_request_get_response_code_line(request);
      reason = line == nullptr ? "" : line;
      evbuffer* input = evhttp_request_get_input_buffer(request);
      body.resize(evbuffer_get_length(input));
      if (!body.empty()) evbuffer_copyout(input, &body[0], body.size());
    }
  }
  void onError(evhttp_request_error kind) noexcept {
    ++errors;
    errorKind = kind;
  }
  HttpRequest makeRequest() {
    return HttpRequest(memberCallback<&Exchange::onComplete>, memberCallback<&Exchange::onError>, this);
  }
};

class HttpClientTest : public ::testing::Test {
 protected:
  EventBase base_;
  LoopbackServer server_;
  HttpConnection connection_{base_, 2000000};

  void exchange(Exchange& seen, HttpRequest& request, evhttp_cmd_type method, const char* path) {
    request.send(connection_, method, path);
    ASSERT_TRUE(runLoopUntil(base_, [&] { return seen.completions > 0; }));
  }
};

TEST_F(HttpClientTest, SocketAndPeerAreEmptyBeforeConnect) {
  // Before any connect there is no socket and no peer; after it, the peer is
  // the address given and the socket exists once a request is under way.
  EXPECT_EQ(connection_.socket(), -1);
  EXPECT_TRUE(connection_.peer().empty());
  EXPECT_EQ(connection_.get(), nullptr);
  connection_.connect(server_.host(), server_.port());
  EXPECT_EQ(std::string(connection_.peer()), "127.0.0.1");
  Exchange seen;
  HttpRequest request = seen.makeRequest();
  exchange(seen, request, EVHTTP_REQ_GET, "/");
  ASSERT_GE(connection_.socket(), 0);
  // Requests go out without waiting for Nagle's algorithm.
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  ASSERT_EQ(getsockopt(connection_.socket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_NE(noDelay, 0);
}

TEST_F(HttpClientTest, SendsMethodPathHeadersAndBody) {
  // Each method reaches the server with the path, the added headers and the
  // body, and the completion callback gets the status and the answer.
  struct Case {
    evhttp_cmd_type method;
    const char* name;
    const char* body;
  };
  const std::vector<Case> cases = {{EVHTTP_REQ_GET, "GET", ""},
                                   {EVHTTP_REQ_HEAD, "HEAD", ""},
                                   {EVHTTP_REQ_PUT, "PUT", "{\"pid\":7}"},
                                   {EVHTTP_REQ_POST, "POST", "[1,2,3]"}};
  server_.respondWith("/answer", 200, "hello");
  connection_.connect(server_.host(), server_.port());
  for (const Case& c : cases) {
    server_.clearRequests();
    Exchange seen;
    HttpRequest request = seen.makeRequest();
    request.addHeader("Content-Type", "application/json");
    evbuffer_add(request.body(), c.body, strlen(c.body));
    exchange(seen, request, c.method, "/answer?x=1");
    ASSERT_FALSE(seen.failed) << c.name;
    EXPECT_EQ(seen.status, 200) << c.name;
    EXPECT_EQ(seen.body, c.method == EVHTTP_REQ_HEAD ? "" : "hello") << c.name;
    ASSERT_TRUE(server_.waitForRequests(1));
    const test::ReceivedRequest got = server_.requests().at(0);
    EXPECT_EQ(got.method, c.name);
    EXPECT_EQ(got.path, "/answer?x=1");
    EXPECT_EQ(got.header("content-type"), "application/json") << c.name;
    EXPECT_EQ(got.body, c.body) << c.name;
  }
}

TEST_F(HttpClientTest, ErrorStatusIsAnAnswerNotAFailure) {
  // A 503 completes normally with its status and reason phrase.
  server_.respondWith(503);
  connection_.connect(server_.host(), server_.port());
  Exchange seen;
  HttpRequest request = seen.makeRequest();
  exchange(seen, request, EVHTTP_REQ_POST, "/traces");
  EXPECT_FALSE(seen.failed);
  EXPECT_EQ(seen.status, 503);
  EXPECT_EQ(seen.reason, "Service Unavailable");
  EXPECT_EQ(seen.errors, 0);
}

TEST_F(HttpClientTest, TransportFailuresReachBothCallbacks) {
  // A refused connection, a server that closes without answering and one that
  // never answers all complete as failed, the latter two after reporting
  // their error kind.
  struct Case {
    const char* name;
    bool refuse;
    void (LoopbackServer::*knob)(const std::string&);
    int errors;        // libevent skips the error callback for a refused connect
    int expectedKind;  // -1: none reported
  };
  const std::vector<Case> cases = {{"refused", true, nullptr, 0, -1},
                                   {"closed early", false, &LoopbackServer::closeEarly, 1, EVREQ_HTTP_EOF},
                                   {"stalled", false, &LoopbackServer::stall, 1, EVREQ_HTTP_TIMEOUT}};
  for (const Case& c : cases) {
    HttpConnection connection(base_, 100000);
    if (c.refuse) {
      connection.connect("127.0.0.1", test::closedLoopbackPort());
    } else {
      (server_.*c.knob)("");
      connection.connect(server_.host(), server_.port());
    }
    Exchange seen;
    HttpRequest request = seen.makeRequest();
    request.send(connection, EVHTTP_REQ_GET, "/");
    ASSERT_TRUE(runLoopUntil(base_, [&] { return seen.completions > 0; })) << c.name;
    EXPECT_TRUE(seen.failed) << c.name;
    EXPECT_EQ(seen.errors, c.errors) << c.name;
    EXPECT_EQ(seen.errorKind, c.expectedKind) << c.name;
  }
}

TEST_F(HttpClientTest, DelayedAnswerArrivesOrTimesOut) {
  // A delayed answer arrives within a long enough time-out; with a shorter one
  // the request times out, and the server drops the late answer safely.
  server_.setDelay(std::chrono::milliseconds(150));
  struct Case {
    uint64_t timeoutMicros;
    bool failed;
  };
  for (const Case c : {Case{2000000, false}, Case{50000, true}}) {
    HttpConnection connection(base_, c.timeoutMicros);
    connection.connect(server_.host(), server_.port());
    Exchange seen;
    HttpRequest request = seen.makeRequest();
    request.send(connection, EVHTTP_REQ_GET, "/");
    ASSERT_TRUE(runLoopUntil(base_, [&] { return seen.completions > 0; }));
    EXPECT_EQ(seen.failed, c.failed) << c.timeoutMicros;
    if (c.failed) {
      EXPECT_EQ(seen.errorKind, EVREQ_HTTP_TIMEOUT);
    }
  }
  test::runLoopFor(base_, std::chrono::milliseconds(200));
}

TEST_F(HttpClientTest, ReconnectDropsQueuedRequestWithoutCallbacks) {
  // A second connect frees the first connection and the request queued on
  // it; its callbacks never run, and the new connection works.
  server_.stall("/slow");
  connection_.connect(server_.host(), server_.port());
  Exchange dropped;
  HttpRequest first = dropped.makeRequest();
  first.send(connection_, EVHTTP_REQ_GET, "/slow");
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1; }));
  connection_.connect(server_.host(), server_.port());
  first.reset();

  Exchange seen;
  HttpRequest second = seen.makeRequest();
  exchange(seen, second, EVHTTP_REQ_GET, "/fast");
  EXPECT_EQ(seen.status, 200);
  test::runLoopFor(base_, std::chrono::milliseconds(20));
  EXPECT_EQ(dropped.completions, 0);
  EXPECT_EQ(dropped.errors, 0);
}

TEST_F(HttpClientTest, HolderFreesUnsentRequestsAndLeavesSentOnesToLibevent) {
  // An unsent request is freed by reset, destruction and move-assignment over
  // it (the leak checker sees any miss); a sent one still completes after its
  // holder let go of it.
  Exchange unused;
  HttpRequest built = unused.makeRequest();
  EXPECT_TRUE(built);
  EXPECT_FALSE(built.sent());
  built.reset();
  EXPECT_FALSE(built);
  { HttpRequest destroyed = unused.makeRequest(); }
  HttpRequest target = unused.makeRequest();
  target = unused.makeRequest();
  HttpRequest moved(std::move(target));
  EXPECT_FALSE(target);
  EXPECT_TRUE(moved);

  connection_.connect(server_.host(), server_.port());
  Exchange seen;
  HttpRequest sent = seen.makeRequest();
  sent.send(connection_, EVHTTP_REQ_GET, "/");
  EXPECT_TRUE(sent.sent());
  sent = HttpRequest();
  EXPECT_TRUE(runLoopUntil(base_, [&] { return seen.completions > 0; }));
  EXPECT_EQ(seen.status, 200);
  EXPECT_EQ(unused.completions, 0);
}

TEST_F(HttpClientTest, SendWithoutConnectionFailsAndEmptiesHolder) {
  // Sending before any connect throws and frees the request.
  Exchange seen;
  HttpRequest request = seen.makeRequest();
  try {
    request.send(connection_, EVHTTP_REQ_GET, "/");
    ADD_FAILURE() << "send did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "evhttp_make_request failed");
  }
  EXPECT_FALSE(request);
}

TEST(HttpRequestTest, RefusedHeaderNamesNameAndValue) {
  // libevent refuses a value with a line break; the text carries both parts.
  HttpRequest request([](evhttp_request*, void*) {}, [](evhttp_request_error, void*) {}, nullptr);
  try {
    request.addHeader("X-Bad", "a\r\nInjected: 1");
    ADD_FAILURE() << "addHeader did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "failed to add header X-Bad:a\r\nInjected: 1");
  }
}

TEST(RequestErrorNameTest, NamesEveryKindAndUnknownBeyond) {
  // The six libevent error kinds have their texts; anything else is unknown.
  const std::vector<std::pair<int, const char*>> cases = {
      {0, "request timed out"},
      {1, "EOF reached"},
      {2, "error reading http header"},
      {3, "buffer error"},
      {4, "request canceled"},
      {5, "request body is greater than maximum body size"},
      {6, "unknown error"},
      {1000, "unknown error"},
      {-1, "unknown error"}};
  for (const auto& [code, text] : cases) EXPECT_STREQ(requestErrorName(code), text) << code;
  EXPECT_TRUE(requestFailed(nullptr));
}

}  // namespace
}  // namespace vostrel
