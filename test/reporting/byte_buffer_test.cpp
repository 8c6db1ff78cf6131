#include "reporting/byte_buffer.h"

#include <event2/buffer.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/buffer_holding.h"

namespace vostrel {
namespace {

using test::bufferHolding;

// Appending, prepending, draining and moving whole buffers edit the bytes in
// place; toString copies them out without draining.
TEST(ByteBuffer, EditsContent) {
  ByteBuffer buffer = bufferHolding(",{\"a\":1}");
  buffer.drain(1);
  buffer.prepend("[", 1);
  ByteBuffer tail = bufferHolding(",{\"b\":2}]");
  buffer.appendBuffer(tail);
  EXPECT_FALSE(tail);
  EXPECT_EQ(buffer.toString(), "[{\"a\":1},{\"b\":2}]");
  EXPECT_EQ(buffer.toString(), "[{\"a\":1},{\"b\":2}]");
  EXPECT_EQ(buffer.size(), 17u);

  evbuffer* body = evbuffer_new();
  buffer.moveInto(body);
  EXPECT_FALSE(buffer);
  EXPECT_EQ(evbuffer_get_length(body), 17u);
  evbuffer_free(body);
}

// A referenced piece is not copied: the buffer shows the memory as it is
// when read.
TEST(ByteBuffer, AppendReferenceDoesNotCopy) {
  char shared[] = "tail";
  ByteBuffer buffer = bufferHolding("head,");
  buffer.appendReference(shared, 4);
  shared[0] = 'T';
  EXPECT_EQ(buffer.toString(), "head,Tail");
}

// Content operations on a handle without a buffer throw instead of passing
// a null pointer to libevent; reading one gives nothing.
TEST(ByteBuffer, EmptyHandleRefusesContentOperations) {
  ByteBuffer empty(nullptr);
  EXPECT_THROW(empty.append("x", 1), std::logic_error);
  EXPECT_THROW(empty.appendReference("x", 1), std::logic_error);
  EXPECT_THROW(empty.prepend("x", 1), std::logic_error);
  EXPECT_THROW(empty.drain(1), std::logic_error);
  ByteBuffer source = bufferHolding("kept");
  EXPECT_THROW(empty.appendBuffer(source), std::logic_error);
  EXPECT_EQ(source.toString(), "kept");
  EXPECT_THROW(source.moveInto(nullptr), std::logic_error);
  EXPECT_EQ(source.toString(), "kept");
  EXPECT_EQ(empty.toString(), "");
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_FALSE(empty.reset());
}

// Moves hand the buffer over and free what the target held; reset reports
// whether there was a buffer.
TEST(ByteBuffer, MovesAndResets) {
  ByteBuffer a = bufferHolding("a");
  ByteBuffer b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(b.toString(), "a");
  ByteBuffer c = bufferHolding("c");
  c = std::move(b);  // frees "c"
  EXPECT_FALSE(b);
  EXPECT_EQ(c.toString(), "a");
  ByteBuffer& self = c;
  c = std::move(self);
  EXPECT_EQ(c.toString(), "a");
  EXPECT_TRUE(c.reset());
  EXPECT_FALSE(c);
  EXPECT_FALSE(c.reset());
}

// tryMoveFrom takes a buffer only into an empty handle and otherwise leaves
// both sides as they were; exchangeWith swaps the two.
TEST(ByteBuffer, TryMoveFromAndExchangeWith) {
  ByteBuffer slot(nullptr);
  ByteBuffer first = bufferHolding("first");
  ByteBuffer second = bufferHolding("second");
  EXPECT_TRUE(slot.tryMoveFrom(first));
  EXPECT_FALSE(first);
  EXPECT_EQ(slot.toString(), "first");

  evbuffer* const held = slot.get();
  evbuffer* const other = second.get();
  EXPECT_FALSE(slot.tryMoveFrom(second));
  EXPECT_EQ(slot.get(), held);
  EXPECT_EQ(second.get(), other);

  slot.exchangeWith(second);
  EXPECT_EQ(slot.toString(), "second");
  EXPECT_EQ(second.toString(), "first");
  ByteBuffer none(nullptr);
  slot.exchangeWith(none);
  EXPECT_FALSE(slot);
  EXPECT_EQ(none.toString(), "second");
}

// Producers racing to claim one shared slot and a consumer emptying it hand
// every buffer over exactly once, its bytes intact.
TEST(ByteBuffer, HandleOperationsRaceSafely) {
  constexpr int producers = 3;
  constexpr int perProducer = 2000;
  ByteBuffer slot(nullptr);
  std::atomic<int> running{producers};
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < perProducer; ++i) {
        ByteBuffer buffer = bufferHolding(std::to_string(p * perProducer + i));
        while (!slot.tryMoveFrom(buffer)) std::this_thread::yield();
        EXPECT_FALSE(buffer);
      }
      running.fetch_sub(1);
    });
  }
  std::vector<int> seen(producers * perProducer, 0);
  const auto record = [&](const ByteBuffer& taken) {
    if (taken) ++seen.at(static_cast<std::size_t>(std::stoi(taken.toString())));
  };
  for (unsigned round = 0; running.load() > 0 || slot; ++round) {
    if (round % 2 == 0) {
      ByteBuffer taken(nullptr);
      slot.exchangeWith(taken);
      record(taken);
    } else {
      ByteBuffer taken(std::move(slot));
      record(taken);
    }
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(slot.reset());
  for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], 1) << "buffer " << i;
}

}  // namespace
}  // namespace vostrel
