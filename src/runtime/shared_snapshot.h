#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "runtime/thread_local_slot.h"

namespace vostrel {

template <class T>
class SharedSnapshot;

namespace snapshot_detail {

// Unique across every snapshot of the process, so that a cache entry can
// never be taken for the value of a snapshot built later at the same address.
uint64_t nextVersion() noexcept;

// The calling thread's copy of the last snapshot it borrowed from.
template <class T>
struct Cache {
  const void* owner = nullptr;
  uint64_t version = 0;
  std::shared_ptr<const T> value;
  int depth = 0;  // borrows of this thread still alive
};

// Null while the thread's thread_local objects are being torn down.
template <class T>
Cache<T>* cache() noexcept {
  return threadLocalSlot<Cache<T>, Cache<T>>();
}

}  // namespace snapshot_detail

// A borrowed snapshot value, valid as long as the handle lives; use it on the
// thread that borrowed it. Null when the snapshot held none.
template <class T>
class Borrowed {
 public:
  // Holds its own reference.
  explicit Borrowed(std::shared_ptr<const T> held) noexcept : held_(std::move(held)), pointer_(held_.get()) {}
  Borrowed(Borrowed&& other) noexcept : held_(std::move(other.held_)), pointer_(other.pointer_), depth_(other.depth_) {
    other.depth_ = nullptr;
  }
  Borrowed& operator=(Borrowed&&) = delete;
  ~Borrowed() {
    if (depth_ != nullptr) --*depth_;
  }

  const T* get() const noexcept { return pointer_; }
  const T& operator*() const noexcept { return *pointer_; }
  const T* operator->() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }

 private:
  friend class SharedSnapshot<T>;
  Borrowed(const T* pointer, int* depth) noexcept : pointer_(pointer), depth_(depth) {}

  std::shared_ptr<const T> held_;
  const T* pointer_;
  int* depth_ = nullptr;
};

// A shared_ptr that one thread replaces now and then and every host thread
// reads on each request. load() is the plain atomic snapshot; borrow() keeps
// a copy per thread and touches nothing shared but a version number while
// the value is unchanged, so host threads do not contend on the snapshot's
// lock and reference count.
template <class T>
class SharedSnapshot {
 public:
  explicit SharedSnapshot(std::shared_ptr<const T> value = nullptr) noexcept
      : value_(std::move(value)), version_(snapshot_detail::nextVersion()) {}
  SharedSnapshot(const SharedSnapshot&) = delete;
  SharedSnapshot& operator=(const SharedSnapshot&) = delete;

  // Any thread.
  void store(std::shared_ptr<const T> value) noexcept {
    std::atomic_store(&value_, std::move(value));
    // After the value: a reader that sees the new version loads the new value.
    version_.store(snapshot_detail::nextVersion(), std::memory_order_release);
  }
  std::shared_ptr<const T> load() const noexcept { return std::atomic_load(&value_); }

  // Any thread. A borrow inside another of the same thread sees the outer
  // one's value, which stays alive until the outer handle goes.
  Borrowed<T> borrow() const noexcept {
    auto* const entry = snapshot_detail::cache<T>();
    if (entry == nullptr) return Borrowed<T>(load());
    auto& cache = *entry;
    if (cache.depth > 0 && cache.owner != this) return Borrowed<T>(load());
    if (cache.depth == 0) {
      const uint64_t version = version_.load(std::memory_order_acquire);
      if (version != cache.version || cache.owner != this) {
        cache.value = load();
        cache.version = version;
        cache.owner = this;
      }
    }
    ++cache.depth;
    return Borrowed<T>(cache.value.get(), &cache.depth);
  }

 private:
  std::shared_ptr<const T> value_;  // only through std::atomic_load / std::atomic_store
  std::atomic<uint64_t> version_;
};

}  // namespace vostrel
