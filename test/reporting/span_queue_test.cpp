#include "reporting/span_queue.h"

#include <event2/buffer.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vostrel {
namespace {

ByteBuffer span(const std::string& text) {
  ByteBuffer buffer;
  buffer.append(text.data(), text.size());
  return buffer;
}

// What one consumeAll handed over: the texts of both ranges, moved out.
struct Taken {
  std::vector<std::string> first;
  std::vector<std::string> second;
  bool nullRanges = false;
  int calls = 0;
};

Taken takeAll(SpanQueue& queue) {
  Taken taken;
  queue.consumeAll([&](ByteBuffer* begin1, ByteBuffer* end1, ByteBuffer* begin2, ByteBuffer* end2) {
    ++taken.calls;
    taken.nullRanges = begin1 == nullptr && end1 == nullptr && begin2 == nullptr && end2 == nullptr;
    for (ByteBuffer* b = begin1; b != end1; ++b) taken.first.push_back(ByteBuffer(std::move(*b)).toString());
    for (ByteBuffer* b = begin2; b != end2; ++b) taken.second.push_back(ByteBuffer(std::move(*b)).toString());
  });
  return taken;
}

using Texts = std::vector<std::string>;

// A cap of 1 gives two slots: one span fits, the next is refused and kept by
// the caller, and after the consumer took the first there is room again.
TEST(SpanQueue, CapOfOneHoldsOneSpan) {
  SpanQueue queue(1);
  EXPECT_EQ(queue.capacity(), 2);
  ByteBuffer a = span("a");
  ByteBuffer b = span("b");
  EXPECT_TRUE(queue.push(a));
  EXPECT_FALSE(a);
  EXPECT_FALSE(queue.push(b));
  EXPECT_EQ(b.toString(), "b");
  EXPECT_EQ(queue.size(), 1);

  EXPECT_EQ(takeAll(queue).first, Texts{"a"});
  EXPECT_EQ(queue.size(), 0);
  EXPECT_TRUE(queue.push(b));
  EXPECT_EQ(takeAll(queue).first, Texts{"b"});
}

// The default cap accepts exactly 1000 spans on an idle consumer; a full
// queue reports capacity minus one.
TEST(SpanQueue, DefaultCapAcceptsExactlyOneThousand) {
  SpanQueue queue(1000);
  for (int i = 0; i < 1000; ++i) {
    ByteBuffer buffer = span(std::to_string(i));
    ASSERT_TRUE(queue.push(buffer)) << i;
  }
  ByteBuffer extra = span("extra");
  EXPECT_FALSE(queue.push(extra));
  EXPECT_EQ(extra.toString(), "extra");
  EXPECT_EQ(queue.size(), queue.capacity() - 1);
  const Taken taken = takeAll(queue);
  ASSERT_EQ(taken.first.size(), 1000u);
  EXPECT_TRUE(taken.second.empty());
  EXPECT_EQ(taken.first.front(), "0");
  EXPECT_EQ(taken.first.back(), "999");
}

// A cap whose slot count does not fit a 32-bit count, or that is not
// positive, is refused at construction.
TEST(SpanQueue, RefusesCapsThatDoNotFit) {
  struct Case {
    int64_t cap;
    const char* message;
  };
  const Case cases[] = {
      {-1, "vector::reserve"},
      {std::numeric_limits<int64_t>::min(), "vector::reserve"},
      {0, "max_buffered_spans out of range: 0"},
      {std::numeric_limits<int32_t>::max(), "max_buffered_spans out of range: 2147483647"},
      {int64_t{1} << 32, "max_buffered_spans out of range: 4294967296"},
      {std::numeric_limits<int64_t>::max(), "max_buffered_spans out of range: 9223372036854775807"},
  };
  for (const Case& c : cases) {
    try {
      SpanQueue queue(c.cap);
      ADD_FAILURE() << "accepted " << c.cap;
    } catch (const std::length_error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

// When the occupied slots wrap past the end of the array, the visitor gets
// the part up to the end first and the part from the start second.
TEST(SpanQueue, WrappedSpansComeInQueueOrder) {
  SpanQueue queue(4);  // five slots
  for (const char* text : {"x", "y", "z"}) {
    ByteBuffer buffer = span(text);
    ASSERT_TRUE(queue.push(buffer));
  }
  EXPECT_EQ(takeAll(queue).first, (Texts{"x", "y", "z"}));
  for (const char* text : {"a", "b", "c", "d"}) {
    ByteBuffer buffer = span(text);
    ASSERT_TRUE(queue.push(buffer));
  }
  EXPECT_EQ(queue.size(), 4);
  const Taken taken = takeAll(queue);
  EXPECT_EQ(taken.first, (Texts{"a", "b"}));
  EXPECT_EQ(taken.second, (Texts{"c", "d"}));
  EXPECT_EQ(queue.size(), 0);
}

// An empty queue calls the visitor once with null positions and changes
// nothing, also after the indices have moved on.
TEST(SpanQueue, EmptyQueueVisitsNullRanges) {
  SpanQueue queue(2);
  Taken taken = takeAll(queue);
  EXPECT_EQ(taken.calls, 1);
  EXPECT_TRUE(taken.nullRanges);

  for (const char* text : {"a", "b"}) {
    ByteBuffer buffer = span(text);
    ASSERT_TRUE(queue.push(buffer));
  }
  takeAll(queue);
  taken = takeAll(queue);
  EXPECT_EQ(taken.calls, 1);
  EXPECT_TRUE(taken.nullRanges);
  EXPECT_EQ(queue.size(), 0);
  for (const char* text : {"c", "d"}) {
    ByteBuffer buffer = span(text);
    ASSERT_TRUE(queue.push(buffer));
  }
  const Taken after = takeAll(queue);
  EXPECT_EQ(after.first, Texts{"c"});
  EXPECT_EQ(after.second, Texts{"d"});
}

// A visitor that throws, or that leaves buffers in their slots, still
// empties the queue: the spans are freed and every slot is usable again.
TEST(SpanQueue, ThrowingVisitorLeavesQueueEmpty) {
  SpanQueue queue(3);
  for (const char* text : {"a", "b", "c"}) {
    ByteBuffer buffer = span(text);
    ASSERT_TRUE(queue.push(buffer));
  }
  EXPECT_THROW(queue.consumeAll([](ByteBuffer* begin1, ByteBuffer*, ByteBuffer*, ByteBuffer*) {
    ByteBuffer first(std::move(*begin1));
    throw std::runtime_error("visitor failed");
  }),
               std::runtime_error);
  EXPECT_EQ(queue.size(), 0);

  // Fill every slot again: a leftover would make a producer spin forever.
  for (const char* text : {"d", "e", "f"}) {
    ByteBuffer buffer = span(text);
    ASSERT_TRUE(queue.push(buffer));
  }
  queue.consumeAll([](ByteBuffer*, ByteBuffer*, ByteBuffer*, ByteBuffer*) {});
  EXPECT_EQ(queue.size(), 0);
  ByteBuffer g = span("g");
  ASSERT_TRUE(queue.push(g));
  const Taken taken = takeAll(queue);
  EXPECT_EQ(taken.first.size() + taken.second.size(), 1u);
}

// A full queue takes new spans while the visitor still works on the taken
// ones; those stay queued for the next call, in order.
TEST(SpanQueue, AcceptsSpansWhileTheVisitorRuns) {
  SpanQueue queue(2);
  for (const char* text : {"a", "b"}) {
    ByteBuffer buffer = span(text);
    ASSERT_TRUE(queue.push(buffer));
  }
  std::vector<std::string> visited;
  queue.consumeAll([&](ByteBuffer* begin1, ByteBuffer* end1, ByteBuffer* begin2, ByteBuffer* end2) {
    for (const char* text : {"c", "d"}) {
      ByteBuffer buffer = span(text);
      EXPECT_TRUE(queue.push(buffer)) << text;
    }
    ByteBuffer refused = span("e");
    EXPECT_FALSE(queue.push(refused));
    for (ByteBuffer* b = begin1; b != end1; ++b) visited.push_back(b->toString());
    for (ByteBuffer* b = begin2; b != end2; ++b) visited.push_back(b->toString());
  });
  EXPECT_EQ(visited, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(queue.size(), 2);
  const Taken next = takeAll(queue);
  std::vector<std::string> texts = next.first;
  texts.insert(texts.end(), next.second.begin(), next.second.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"c", "d"}));
}

// An empty handle is refused rather than queued as a hole.
TEST(SpanQueue, RefusesEmptyHandle) {
  SpanQueue queue(2);
  ByteBuffer empty(nullptr);
  EXPECT_FALSE(queue.push(empty));
  EXPECT_EQ(queue.size(), 0);
}

struct StressCase {
  int64_t cap;
  uint32_t perProducer;
};

class SpanQueueStress : public ::testing::TestWithParam<StressCase> {};

// Several producers race one consumer: every span is consumed exactly once or
// refused (and kept by its producer), never lost or duplicated, and each
// producer's spans arrive in the order it pushed them.
TEST_P(SpanQueueStress, EverySpanConsumedOnceOrRefused) {
  constexpr uint32_t producers = 4;
  const uint32_t perProducer = GetParam().perProducer;
  SpanQueue queue(GetParam().cap);
  std::vector<std::vector<uint32_t>> refused(producers);
  std::vector<std::vector<uint32_t>> consumed(producers);
  std::atomic<uint32_t> running{producers};
  std::atomic<bool> start{false};
  std::atomic<int> keptWrong{0};

  std::vector<std::thread> threads;
  for (uint32_t p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      while (!start.load()) std::this_thread::yield();
      for (uint32_t i = 0; i < perProducer; ++i) {
        const uint32_t record[2] = {p, i};
        ByteBuffer buffer;
        buffer.append(reinterpret_cast<const char*>(record), sizeof(record));
        // Retry a full queue a little, so that most spans get through and
        // the ring wraps often, but some are still refused.
        bool queued = false;
        for (int attempt = 0; attempt < 20 && !queued; ++attempt) {
          queued = queue.push(buffer);
          if (queued) break;
          uint32_t kept[2] = {~0u, ~0u};
          if (buffer.size() == sizeof(kept)) evbuffer_copyout(buffer.get(), kept, sizeof(kept));
          if (kept[0] != p || kept[1] != i) keptWrong.fetch_add(1);
          std::this_thread::yield();
        }
        if (!queued) refused[p].push_back(i);
      }
      running.fetch_sub(1);
    });
  }

  std::string failures;
  const auto collect = [&](ByteBuffer* begin, ByteBuffer* end) {
    for (ByteBuffer* b = begin; b != end; ++b) {
      ByteBuffer taken(std::move(*b));
      const std::string text = taken.toString();
      uint32_t record[2];
      if (text.size() != sizeof(record)) {
        failures += "bad record size " + std::to_string(text.size()) + "\n";
        continue;
      }
      std::memcpy(record, text.data(), sizeof(record));
      consumed[record[0]].push_back(record[1]);
    }
  };
  start.store(true);
  bool last = false;
  while (!last) {
    last = running.load() == 0;  // one more pass after the producers ended
    const int32_t size = queue.size();
    if (size < 0 || size > queue.capacity() - 1) failures += "size " + std::to_string(size) + "\n";
    queue.consumeAll([&](ByteBuffer* b1, ByteBuffer* e1, ByteBuffer* b2, ByteBuffer* e2) {
      collect(b1, e1);
      collect(b2, e2);
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures, "");
  EXPECT_EQ(keptWrong.load(), 0) << "a refused push changed the caller's buffer";
  EXPECT_EQ(queue.size(), 0);
  for (uint32_t p = 0; p < producers; ++p) {
    std::vector<bool> seen(perProducer, false);
    for (std::size_t k = 0; k < consumed[p].size(); ++k) {
      const uint32_t i = consumed[p][k];
      ASSERT_LT(i, perProducer);
      if (k > 0) {
        ASSERT_LT(consumed[p][k - 1], i) << "producer " << p << " out of order or duplicated";
      }
      seen[i] = true;
    }
    for (uint32_t i : refused[p]) {
      ASSERT_FALSE(seen[i]) << "producer " << p << " span " << i << " both consumed and refused";
      seen[i] = true;
    }
    for (uint32_t i = 0; i < perProducer; ++i) ASSERT_TRUE(seen[i]) << "producer " << p << " lost span " << i;
  }
}

// Two slots wrap on every other push (and every push waits for the consumer,
// hence fewer spans), a few slots make refusals and wraps common, a large
// ring mostly accepts.
INSTANTIATE_TEST_SUITE_P(Caps, SpanQueueStress,
                         ::testing::Values(StressCase{1, 600}, StressCase{7, 3000}, StressCase{4096, 10000}));

}  // namespace
}  // namespace vostrel
