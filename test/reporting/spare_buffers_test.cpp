#include "reporting/spare_buffers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/buffer_holding.h"

namespace vostrel {
namespace {

using test::bufferHolding;

// First given, first taken; a full pool refuses and the caller keeps its
// buffer; many laps around the cells change nothing.
TEST(SpareBuffers, GivesBackInOrderAndRefusesWhenFull) {
  EXPECT_EQ(SpareBuffers(0).capacity(), 2u);
  EXPECT_EQ(SpareBuffers(1).capacity(), 2u);
  SpareBuffers spares(3);
  ASSERT_EQ(spares.capacity(), 4u);
  EXPECT_FALSE(spares.take());
  ByteBuffer none(nullptr);
  EXPECT_FALSE(spares.give(none));
  for (int lap = 0; lap < 50; ++lap) {
    for (int i = 0; i < 4; ++i) {
      ByteBuffer buffer = bufferHolding(std::to_string(lap) + "/" + std::to_string(i));
      ASSERT_TRUE(spares.give(buffer));
      EXPECT_FALSE(buffer);
    }
    ByteBuffer extra = bufferHolding("extra");
    EXPECT_FALSE(spares.give(extra));
    EXPECT_EQ(extra.toString(), "extra");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(spares.take().toString(), std::to_string(lap) + "/" + std::to_string(i));
    EXPECT_FALSE(spares.take());
  }
}

// Givers and takers on several threads at once: every buffer given is taken
// exactly once or still held at the end, none is lost or seen twice.
TEST(SpareBuffers, EveryGivenBufferIsTakenOnceAcrossThreads) {
  SpareBuffers spares(64);
  constexpr int givers = 2, takers = 2, perGiver = 20000;
  std::atomic<int> refused{0};
  std::vector<std::vector<std::string>> taken(takers);
  std::atomic<bool> giving{true};
  std::vector<std::thread> threads;
  for (int g = 0; g < givers; ++g) {
    threads.emplace_back([&, g] {
      for (int i = 0; i < perGiver; ++i) {
        ByteBuffer buffer = bufferHolding(std::to_string(g) + ":" + std::to_string(i));
        if (!spares.give(buffer)) refused.fetch_add(1);
      }
    });
  }
  for (int t = 0; t < takers; ++t) {
    threads.emplace_back([&, t] {
      while (true) {
        const bool more = giving.load();
        ByteBuffer buffer = spares.take();
        if (buffer) {
          taken[t].push_back(buffer.toString());
        } else if (!more) {
          return;
        }
      }
    });
  }
  threads[0].join();
  threads[1].join();
  giving.store(false);
  for (std::size_t i = givers; i < threads.size(); ++i) threads[i].join();

  std::set<std::string> seen;
  std::size_t count = 0;
  for (const auto& list : taken) {
    for (const auto& text : list) {
      EXPECT_TRUE(seen.insert(text).second) << text;
      ++count;
    }
  }
  EXPECT_EQ(count + static_cast<std::size_t>(refused.load()), std::size_t{givers * perGiver});
}

}  // namespace
}  // namespace vostrel
