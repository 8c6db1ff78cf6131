#include "reporting/recorder_impl.h"

#include <event2/buffer.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/loop_runner.h"
#include "support/loopback_server.h"
#include "support/network_guard.h"

namespace vostrel {
namespace {

using namespace std::chrono_literals;
using test::LoopbackServer;
using test::runLoopUntil;

const std::string kTail = ",\"service\":\"shop\"},\"n\":\"sdk\",\"f\":{\"e\":4711,\"h\":\"agent-uuid\"}}]";
const std::string kTracesPath = "/com.vostrel.plugin.cpp/traces.4711";

// The agent connection as the recorder sees it, with every answer in the
// test's hands.
class StandInLink : public AgentLink {
 public:
  explicit StandInLink(EventBase& base) : connection_(base, 2000000) {}
  bool ready() const noexcept override { return ready_; }
  const std::string& spanTail() const noexcept override { return tail_; }
  const std::string& tracesPath() const noexcept override { return path_; }
  HttpConnection& httpConnection() noexcept override { return connection_; }
  void reset() noexcept override {
    ++resets_;
    ready_ = false;
  }

  bool ready_ = true;
  int resets_ = 0;
  std::string tail_ = kTail;
  std::string path_ = kTracesPath;
  HttpConnection connection_;
};

// A span piece as serialization leaves it: a leading comma, the record open.
std::string piece(int id) {
  return ",{\"t\":" + std::to_string(id) + ",\"s\":" + std::to_string(id) + ",\"ts\":1,\"d\":0,\"data\":{\"sdk\":{\"name\":\"op" +
         std::to_string(id) + "\"}";
}

std::string batchOf(const std::vector<int>& ids) {
  std::string body = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    body += piece(ids[i]).substr(i == 0 ? 1 : 0);
    body += i + 1 == ids.size() ? kTail : kTail.substr(0, kTail.size() - 1);
  }
  return body;
}

// Calls checkEarlyFlush every 5 ms, as the sensor's tick does.
struct Tick {
  RecorderImpl* recorder;
  void onTick() noexcept { recorder->checkEarlyFlush(); }
};

std::string textOf(evbuffer* body) {
  std::string text(evbuffer_get_length(body), '\0');
  if (!text.empty()) evbuffer_copyout(body, &text[0], text.size());
  return text;
}

TEST(AppendBatchTest, JoinsWrappedRangesInOrderAndGivesThePiecesBack) {
  // Both ranges come out in order as one array, the slots are left empty,
  // and each piece's buffer goes to the spares with its bytes; the tail is
  // copied, so changing it afterwards leaves the body as it was.
  std::vector<ByteBuffer> slots(5);
  for (int i = 0; i < 5; ++i) slots[i].append(piece(i + 1));
  std::string tail = kTail;
  SpareBuffers spares(8);
  evbuffer* body = evbuffer_new();
  // Ring order: slots 3..4, then 0..1 (slot 2 is the free one).
  appendBatch(&slots[3], &slots[5], &slots[0], &slots[2], tail, body, &spares);
  EXPECT_EQ(textOf(body), batchOf({4, 5, 1, 2}));
  EXPECT_FALSE(slots[3] || slots[4] || slots[0] || slots[1]);
  EXPECT_TRUE(slots[2]);
  tail.replace(tail.find("4711"), 4, "1234");
  EXPECT_EQ(textOf(body), batchOf({4, 5, 1, 2}));
  // The first lost its leading comma to the array's bracket.
  EXPECT_EQ(spares.take().toString(), piece(4).substr(1));
  for (const int id : {5, 1, 2}) EXPECT_EQ(spares.take().toString(), piece(id));
  EXPECT_FALSE(spares.take());
  evbuffer_free(body);

  // Spares that are full, or none at all: the pieces are freed.
  SpareBuffers two(2);
  std::vector<ByteBuffer> more(3);
  for (int i = 0; i < 3; ++i) more[i].append(piece(i + 1));
  evbuffer* second = evbuffer_new();
  appendBatch(&more[0], &more[3], nullptr, nullptr, kTail, second, &two);
  EXPECT_EQ(textOf(second), batchOf({1, 2, 3}));
  EXPECT_EQ(two.take().toString(), piece(1).substr(1));
  EXPECT_EQ(two.take().toString(), piece(2));
  EXPECT_FALSE(two.take());
  evbuffer_free(second);

  evbuffer* empty = evbuffer_new();
  appendBatch(nullptr, nullptr, nullptr, nullptr, tail, empty, nullptr);
  EXPECT_EQ(evbuffer_get_length(empty), 0u);
  evbuffer_free(empty);
}

class RecorderImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::requirePrivateNetwork());
    logger_.setThreshold(LogLevel::debug);
    logger_.setSink([this](LogLevel level, int, opentracing::string_view message) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({level, std::string(message)});
    });
    options_.max_buffered_spans = 10;
    options_.flush_interval = 20000;
    link_.connection_.connect(server_.host(), server_.port());
  }

  void build() { recorder_ = std::make_unique<RecorderImpl>(&logger_, &options_, &base_, &link_); }

  bool record(int id) {
    ByteBuffer span;
    span.append(piece(id));
    return recorder_->record(span);
  }

  // The first logged line at level that starts with prefix, or "".
  std::string line(LogLevel level, const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [lineLevel, text] : lines_) {
      if (lineLevel == level && text.compare(0, prefix.size(), prefix) == 0) return text;
    }
    return {};
  }
  int count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    int found = 0;
    for (const auto& entry : lines_) found += entry.second.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return found;
  }

  EventBase base_;
  LoopbackServer server_;
  Logger logger_;
  TracerOptions options_;
  StandInLink link_{base_};
  // Destroyed before the link's connection, as in the sensor.
  std::unique_ptr<RecorderImpl> recorder_;
  std::mutex mutex_;
  std::vector<std::pair<LogLevel, std::string>> lines_;  // guarded by mutex_
};

TEST_F(RecorderImplTest, PostsOneBatchWithExactBodyAndContentType) {
  // A timed flush posts every queued span once, in push order, each completed
  // with the tail, as one JSON array with the "Content-Type" header.
  build();
  for (int id : {1, 2, 3}) ASSERT_TRUE(record(id));
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1 && !recorder_->posting(); }));
  const test::ReceivedRequest post = server_.requests().at(0);
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.path, kTracesPath);
  EXPECT_EQ(post.header("Content-Type"), "application/json");
  EXPECT_EQ(post.body, batchOf({1, 2, 3}));
  const auto batch = nlohmann::json::parse(post.body);
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[2]["data"]["sdk"]["name"], "op3");
  EXPECT_EQ(batch[0]["f"]["e"], 4711);
  EXPECT_EQ(recorder_->queueSize(), 0);
  EXPECT_EQ(line(LogLevel::debug, "Flushing recorder: "),
            "Flushing recorder: agent_connected=1; num_spans_in_buffer=3; is_active_request_null=1");
  EXPECT_EQ(line(LogLevel::debug, "sending spans to "), "sending spans to " + kTracesPath + ": " + batchOf({1, 2, 3}));

  // The posted spans' buffers wait for reuse by the next spans, oldest first.
  EXPECT_EQ(recorder_->spareBuffer().toString(), piece(1).substr(1));
  for (int id : {2, 3}) EXPECT_EQ(recorder_->spareBuffer().toString(), piece(id));
  EXPECT_FALSE(recorder_->spareBuffer());

  // Timed flushes with nothing queued post nothing.
  test::runLoopFor(base_, 60ms);
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(link_.resets_, 0);
}

TEST_F(RecorderImplTest, HoldsSpansWhileAPostIsInFlight) {
  // A flush during a post sends nothing; its spans go in the next batch after
  // the answer.
  options_.flush_interval = 60000000;
  server_.setDelay(150ms);
  build();
  record(1);
  recorder_->onFlush();
  ASSERT_TRUE(recorder_->posting());
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1; }));
  record(2);
  record(3);
  recorder_->onFlush();
  EXPECT_EQ(line(LogLevel::debug, "Flushing recorder: agent_connected=1; num_spans_in_buffer=2"),
            "Flushing recorder: agent_connected=1; num_spans_in_buffer=2; is_active_request_null=0");
  EXPECT_EQ(recorder_->queueSize(), 2);
  ASSERT_TRUE(runLoopUntil(base_, [&] { return !recorder_->posting(); }));
  EXPECT_EQ(server_.requestCount(), 1u);
  recorder_->onFlush();
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 2 && !recorder_->posting(); }));
  EXPECT_EQ(server_.requests().at(0).body, batchOf({1}));
  EXPECT_EQ(server_.requests().at(1).body, batchOf({2, 3}));
}

TEST_F(RecorderImplTest, FailedPostDropsBatchAndResetsLink) {
  // An error status and each transport failure log their line, reset the agent
  // link and lose the batch; nothing is posted until the link is ready again.
  struct Case {
    const char* name;
    void (*setUp)(LoopbackServer&, StandInLink&);
    std::string logged;  // the error line, or its start when it ends in errno's text
  };
  const std::vector<Case> cases = {
      {"503", [](LoopbackServer& s, StandInLink&) { s.respondWith(503); },
       "trace request failed with 503: Service Unavailable"},
      {"404", [](LoopbackServer& s, StandInLink&) { s.respondWith(404); }, "trace request failed with 404: Not Found"},
      {"refused", [](LoopbackServer&, StandInLink& l) { l.connection_.connect("127.0.0.1", test::closedLoopbackPort()); },
       "failed to post spans to agent: "},
      {"closed early", [](LoopbackServer& s, StandInLink&) { s.closeEarly(); },
       "failed to post spans to agent: EOF reached"},
  };
  options_.flush_interval = 10000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.clearReplies();
    server_.clearRequests();
    link_.connection_.connect(server_.host(), server_.port());
    link_.ready_ = true;
    link_.resets_ = 0;
    lines_.clear();
    build();
    c.setUp(server_, link_);
    record(1);
    record(2);
    ASSERT_TRUE(runLoopUntil(base_, [&] { return link_.resets_ == 1 && !recorder_->posting(); }));
    const std::string logged = line(LogLevel::error, c.logged);
    if (c.logged.back() == ' ') {
      EXPECT_GT(logged.size(), c.logged.size()) << logged;
    } else {
      EXPECT_EQ(logged, c.logged);
    }
    EXPECT_EQ(recorder_->queueSize(), 0);

    // Not ready: spans wait however many flushes pass.
    server_.clearReplies();
    link_.connection_.connect(server_.host(), server_.port());
    const std::size_t before = server_.requestCount();
    record(3);
    test::runLoopFor(base_, 50ms);
    EXPECT_EQ(server_.requestCount(), before);
    EXPECT_EQ(recorder_->queueSize(), 1);

    link_.ready_ = true;
    ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == before + 1 && !recorder_->posting(); }));
    EXPECT_EQ(server_.requests().back().body, batchOf({3}));
    EXPECT_EQ(link_.resets_, 1);
    recorder_.reset();
  }
}

TEST_F(RecorderImplTest, FlushesEarlyAtNineTenthsOfItsOwnCap) {
  // Each recorder flushes early at nine tenths of its own max_buffered_spans,
  // also when an earlier recorder in the process had another cap; with a cap
  // of 1 the threshold is 0 and every idle tick flushes.
  struct Case {
    int64_t cap;
    int32_t threshold;
  };
  options_.flush_interval = 60000000;
  for (const Case c : {Case{1000, 900}, Case{10, 9}, Case{50, 45}, Case{1, 0}}) {
    SCOPED_TRACE(c.cap);
    options_.max_buffered_spans = c.cap;
    server_.clearRequests();
    lines_.clear();
    build();
    EXPECT_EQ(recorder_->earlyFlushThreshold(), c.threshold);
    for (int id = 1; id < c.threshold; ++id) ASSERT_TRUE(record(id));
    recorder_->checkEarlyFlush();
    EXPECT_FALSE(recorder_->posting());
    if (c.threshold > 0) record(c.threshold);

    Tick tick{recorder_.get()};
    Timer ticker(base_, 5000, memberCallback<&Tick::onTick>, &tick);
    ASSERT_TRUE(runLoopUntil(base_, [&] { return count("Flushing spans early: ") > 0; }));
    const std::string expected = "Flushing spans early: " + std::to_string(c.threshold) +
                                 " exceeds early flush threshold of " + std::to_string(c.threshold);
    EXPECT_EQ(line(LogLevel::debug, "Flushing spans early: "), expected);
    if (c.threshold > 0) {
      ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1 && !recorder_->posting(); }));
      EXPECT_EQ(nlohmann::json::parse(server_.requests().at(0).body).size(), static_cast<std::size_t>(c.threshold));
    } else {
      // Idle ticks keep flushing an empty queue, and post nothing.
      ASSERT_TRUE(runLoopUntil(base_, [&] { return count("Flushing spans early: ") >= 3; }));
      EXPECT_EQ(server_.requestCount(), 0u);
    }
    recorder_.reset();
  }
}

TEST_F(RecorderImplTest, EarlyFlushRestartsTheFlushTimer) {
  // After an early flush the timed flush comes a full interval later.
  options_.max_buffered_spans = 10;
  options_.flush_interval = 300000;
  build();
  // Half an interval passes first, so a timer that was not restarted would
  // fire well before a full interval after the early flush.
  test::runLoopFor(base_, 150ms);
  ASSERT_EQ(count("Flushing recorder: "), 0);
  for (int id = 1; id <= 9; ++id) record(id);
  recorder_->checkEarlyFlush();
  const auto early = std::chrono::steady_clock::now();
  ASSERT_TRUE(recorder_->posting());
  ASSERT_TRUE(runLoopUntil(base_, [&] { return !recorder_->posting(); }));
  lines_.clear();
  ASSERT_TRUE(runLoopUntil(base_, [&] { return count("Flushing recorder: ") > 0; }));
  const auto timed = std::chrono::steady_clock::now();
  EXPECT_GE(timed - early, 290ms);
}

TEST_F(RecorderImplTest, SpanReachingTheThresholdFlushesWithoutWaitingForATick) {
  // No tick runs here: the span that brings the queue to nine tenths wakes
  // the loop, and spans that reach it again during the post go out as soon
  // as the answer comes.
  options_.flush_interval = 60000000;
  server_.setDelay(100ms);
  build();
  for (int id = 1; id <= 9; ++id) ASSERT_TRUE(record(id));
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1; }));
  ASSERT_TRUE(recorder_->posting());
  for (int id = 10; id <= 18; ++id) ASSERT_TRUE(record(id));
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 2 && !recorder_->posting(); }));
  EXPECT_EQ(server_.requests().at(0).body, batchOf({1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(server_.requests().at(1).body, batchOf({10, 11, 12, 13, 14, 15, 16, 17, 18}));
  EXPECT_EQ(count("Flushing spans early: "), 2);
  EXPECT_EQ(count("Dropping message "), 0);
}

TEST_F(RecorderImplTest, FullQueueDropsWithDebugLineAndNothingGoesOutUntilReady) {
  // While the agent is not ready spans pile up to the cap, later ones are
  // dropped with their text logged, and no flush posts anything.
  options_.max_buffered_spans = 5;
  options_.flush_interval = 5000;
  link_.ready_ = false;
  build();
  for (int id = 1; id <= 5; ++id) EXPECT_TRUE(record(id));
  ByteBuffer refused;
  refused.append(piece(6));
  EXPECT_FALSE(recorder_->record(refused));
  EXPECT_EQ(line(LogLevel::debug, "Dropping message "), "Dropping message " + piece(6));
  // The dropped span's buffer is kept for the next span to reuse.
  EXPECT_FALSE(refused);
  EXPECT_EQ(recorder_->spareBuffer().toString(), piece(6));

  Tick tick{recorder_.get()};
  Timer ticker(base_, 5000, memberCallback<&Tick::onTick>, &tick);
  ASSERT_TRUE(runLoopUntil(base_, [&] { return count("Flushing recorder: ") >= 5; }));
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_EQ(count("Flushing spans early: "), 0);
  EXPECT_EQ(line(LogLevel::debug, "Flushing recorder: "),
            "Flushing recorder: agent_connected=0; num_spans_in_buffer=5; is_active_request_null=1");
}

TEST_F(RecorderImplTest, DropsNoLinesBelowDebug) {
  // At the warn threshold a dropped span and the flush lines are not logged.
  logger_.setThreshold(LogLevel::warn);
  options_.max_buffered_spans = 1;
  build();
  record(1);
  EXPECT_FALSE(record(2));
  recorder_->onFlush();
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1 && !recorder_->posting(); }));
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_TRUE(lines_.empty());
}

TEST_F(RecorderImplTest, FailedAssemblyDiscardsRequestSoLaterFlushesPost) {
  // When building a batch fails after the request was made, the error is
  // logged, the batch is lost and the next flush posts normally.
  options_.flush_interval = 60000000;
  build();
  ByteBuffer stuck;
  stuck.append(piece(1));
  evbuffer_freeze(stuck.get(), 1);  // the leading comma can no longer be drained
  ASSERT_TRUE(recorder_->record(stuck));
  recorder_->onFlush();
  EXPECT_EQ(line(LogLevel::error, "onFlush failed: "), "onFlush failed: failed to drain 1 from evbuffer");
  EXPECT_FALSE(recorder_->posting());
  EXPECT_EQ(recorder_->queueSize(), 0);

  record(2);
  recorder_->onFlush();
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1 && !recorder_->posting(); }));
  EXPECT_EQ(server_.requests().at(0).body, batchOf({2}));
}

TEST_F(RecorderImplTest, SpansRecordedFromManyThreadsArePostedOnceEach) {
  // Host threads record while the loop flushes: every accepted span reaches
  // the agent exactly once, and only refused ones are missing.
  logger_.setThreshold(LogLevel::warn);
  options_.max_buffered_spans = 200;
  options_.flush_interval = 5000;
  build();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 400;
  std::atomic<int> accepted{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        ByteBuffer span;
        span.append(piece(t * kPerThread + i + 1));
        if (recorder_->record(span)) accepted.fetch_add(1);
        if (i % 50 == 0) std::this_thread::yield();
      }
      finished.fetch_add(1);
    });
  }
  Tick tick{recorder_.get()};
  Timer ticker(base_, 5000, memberCallback<&Tick::onTick>, &tick);
  std::set<int64_t> posted;
  std::size_t records = 0;
  auto collect = [&] {
    for (const test::ReceivedRequest& post : server_.requests()) {
      for (const auto& record : nlohmann::json::parse(post.body)) {
        posted.insert(record["s"].get<int64_t>());
        ++records;
      }
    }
  };
  const bool done = runLoopUntil(
      base_,
      [&] {
        if (finished.load() < kThreads || recorder_->queueSize() > 0 || recorder_->posting()) return false;
        posted.clear();
        records = 0;
        collect();
        return records == static_cast<std::size_t>(accepted.load());
      },
      std::chrono::seconds(30));
  for (std::thread& producer : producers) producer.join();
  ASSERT_TRUE(done) << records << " of " << accepted.load();
  EXPECT_EQ(posted.size(), records);
  EXPECT_GT(accepted.load(), 0);
  EXPECT_EQ(link_.resets_, 0);
}

TEST_F(RecorderImplTest, DestructionFreesQueuedSpansWithoutSending) {
  // Destroying the recorder sends nothing; queued spans and a post in flight
  // are freed (the leak checker sees any that are not).
  server_.stall();
  options_.flush_interval = 60000000;
  build();
  record(1);
  recorder_->onFlush();
  ASSERT_TRUE(runLoopUntil(base_, [&] { return server_.requestCount() == 1; }));
  record(2);
  record(3);
  recorder_.reset();
  link_.connection_.connect(server_.host(), server_.port());
  test::runLoopFor(base_, 30ms);
  EXPECT_EQ(server_.requestCount(), 1u);
}

}  // namespace
}  // namespace vostrel
