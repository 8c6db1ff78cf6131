#include "runtime/thread_local_slot.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace vostrel {
namespace {

struct First;
struct Second;

// Each thread and each tag has a slot of its own, the same on every call.
TEST(ThreadLocalSlot, IsOnePerThreadAndTag) {
  std::string* first = threadLocalSlot<First, std::string>();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ((threadLocalSlot<First, std::string>()), first);
  EXPECT_NE((threadLocalSlot<Second, std::string>()), first);
  std::string* other = nullptr;
  std::thread([&] { other = threadLocalSlot<First, std::string>(); }).join();
  EXPECT_NE(other, first);
}

// Code that runs while the thread's objects are torn down (here the
// destructor of an object made before the slot, so destroyed after it) gets
// null instead of the destroyed slot.
std::string* seenAtExit = reinterpret_cast<std::string*>(1);

struct AsksAtExit {
  ~AsksAtExit() { seenAtExit = threadLocalSlot<First, std::string>(); }
};

TEST(ThreadLocalSlot, IsNullOnceTheThreadsObjectsAreGone) {
  std::thread([] {
    thread_local AsksAtExit asks;
    (void)&asks;
    threadLocalSlot<First, std::string>()->assign(1000, 'x');
  }).join();
  EXPECT_EQ(seenAtExit, nullptr);
}

}  // namespace
}  // namespace vostrel
