#include "reporting/span_queue.h"

#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

namespace vostrel {

namespace {

int32_t slotCount(int64_t max_buffered_spans) {
  // A negative count is what std::vector::reserve itself would refuse.
  if (max_buffered_spans < 0) throw std::length_error("vector::reserve");
  if (max_buffered_spans == 0 || max_buffered_spans >= std::numeric_limits<int32_t>::max()) {
    throw std::length_error("max_buffered_spans out of range: " + std::to_string(max_buffered_spans));
  }
  return static_cast<int32_t>(max_buffered_spans + 1);
}

void fillEmpty(std::vector<ByteBuffer>& slots, int32_t count) {
  slots.reserve(static_cast<std::size_t>(count));
  for (int32_t i = 0; i < count; ++i) slots.emplace_back(nullptr);
}

}  // namespace

SpanQueue::SpanQueue(int64_t max_buffered_spans) : capacity_(slotCount(max_buffered_spans)) {
  fillEmpty(slots_, capacity_);
  fillEmpty(taken_, capacity_);
}

bool SpanQueue::push(ByteBuffer& buffer) noexcept {
  // An empty handle would "claim" a slot without filling it, and a producer
  // racing for the same slot could then take the other's span back as its own.
  if (!buffer) return false;
  const uint64_t capacity = static_cast<uint64_t>(capacity_);
  for (unsigned busy = 0;;) {
    // Read position first: then w >= r, and a stale r only makes the queue
    // look fuller than it is.
    const uint64_t r = readIndex_.load(std::memory_order_acquire);
    const uint64_t w = writeIndex_.load(std::memory_order_acquire);
    if (w - r >= capacity - 1) return false;
    ByteBuffer& slot = slots_[w % capacity];
    // Occupied: another producer claimed it and has not advanced the index yet.
    // Spin; yield now and then in case that producer shares our core.
    if (!slot.tryMoveFrom(buffer)) {
      if (++busy % 64 == 0) std::this_thread::yield();
      continue;
    }
    uint64_t expected = w;
    if (writeIndex_.compare_exchange_strong(expected, w + 1)) return true;
    // Our w was stale; nobody else touches a slot we hold, so this is ours.
    slot.exchangeWith(buffer);
  }
}

int32_t SpanQueue::size() const noexcept {
  const uint64_t r = readIndex_.load(std::memory_order_acquire);
  const uint64_t w = writeIndex_.load(std::memory_order_acquire);
  // The consumer and producers may both move on between the two reads.
  const uint64_t most = static_cast<uint64_t>(capacity_) - 1;
  return static_cast<int32_t>(w - r < most ? w - r : most);
}

SpanQueue::Batch SpanQueue::take() noexcept {
  const uint64_t r = readIndex_.load(std::memory_order_relaxed);
  const uint64_t w = writeIndex_.load(std::memory_order_acquire);
  if (r == w) return {nullptr, nullptr, nullptr, nullptr, w};
  const uint64_t capacity = static_cast<uint64_t>(capacity_);
  const std::size_t first = static_cast<std::size_t>(r % capacity);
  const std::size_t last = static_cast<std::size_t>(w % capacity);
  // Every slot below a published write position is filled: producers fill
  // before they advance.
  const auto takeRange = [this](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i != end; ++i) taken_[i] = std::move(slots_[i]);
  };
  ByteBuffer* const base = taken_.data();
  Batch batch{base + first, base + last, nullptr, nullptr, w};
  if (first < last) {
    takeRange(first, last);
  } else {
    takeRange(first, taken_.size());
    takeRange(0, last);
    batch = {base + first, base + taken_.size(), last == 0 ? nullptr : base, last == 0 ? nullptr : base + last, w};
  }
  // The taken slots are empty: producers may fill them while the visitor
  // still works on the batch (copying a full queue takes a while).
  readIndex_.store(w);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return batch;
}

void SpanQueue::release(const Batch& batch) noexcept {
  for (ByteBuffer* b = batch.begin1; b != batch.end1; ++b) b->reset();
  for (ByteBuffer* b = batch.begin2; b != batch.end2; ++b) b->reset();
}

}  // namespace vostrel
