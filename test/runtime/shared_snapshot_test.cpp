#include "runtime/shared_snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vostrel {
namespace {

std::shared_ptr<const std::string> text(const char* value) { return std::make_shared<const std::string>(value); }

// A borrow sees the latest value; one still alive keeps its value, also for
// borrows nested inside it, until it is gone.
TEST(SharedSnapshot, BorrowsTheLatestValueAndKeepsItWhileBorrowed) {
  SharedSnapshot<std::string> snapshot(text("one"));
  EXPECT_EQ(*snapshot.borrow(), "one");
  std::weak_ptr<const std::string> first = snapshot.load();
  {
    const Borrowed<std::string> outer = snapshot.borrow();
    snapshot.store(text("two"));
    EXPECT_EQ(*snapshot.load(), "two");
    EXPECT_EQ(*snapshot.borrow(), "one");
    EXPECT_EQ(*outer, "one");
    EXPECT_FALSE(first.expired());
  }
  EXPECT_EQ(*snapshot.borrow(), "two");
  EXPECT_TRUE(first.expired());
  snapshot.store(nullptr);
  EXPECT_FALSE(snapshot.borrow());
}

// Nested borrows of different snapshots each see their own value, and a
// snapshot built where another one was never serves the old one's value.
TEST(SharedSnapshot, KeepsSnapshotsApart) {
  SharedSnapshot<std::string> a(text("a"));
  SharedSnapshot<std::string> b(text("b"));
  {
    const Borrowed<std::string> fromA = a.borrow();
    EXPECT_EQ(*b.borrow(), "b");
    EXPECT_EQ(*fromA, "a");
  }
  std::optional<SharedSnapshot<std::string>> slot;
  slot.emplace(text("old"));
  EXPECT_EQ(*slot->borrow(), "old");
  slot.reset();
  slot.emplace(text("new"));
  EXPECT_EQ(*slot->borrow(), "new");
}

// Readers borrowing while a writer replaces the value always see a whole
// value that was stored, and end up seeing the last one.
TEST(SharedSnapshot, ReadersSeeStoredValuesWhileTheWriterReplacesThem) {
  SharedSnapshot<std::string> snapshot(text("0"));
  std::atomic<bool> writing{true};
  std::vector<std::thread> readers;
  std::atomic<int> bad{0};
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (writing.load()) {
        const Borrowed<std::string> value = snapshot.borrow();
        const bool stored = value && (*value == "0" || (value->size() == 4 &&
                                                        value->find_first_not_of("0123456789") == std::string::npos));
        if (!stored) bad.fetch_add(1);
      }
      if (*snapshot.borrow() != "9999") bad.fetch_add(1);
    });
  }
  for (int i = 1000; i < 10000; ++i) snapshot.store(std::make_shared<const std::string>(std::to_string(i)));
  writing.store(false);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace vostrel
