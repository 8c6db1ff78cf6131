#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "reporting/byte_buffer.h"

namespace vostrel {

// Bounded lock-free ring of serialized spans: any number of host threads push,
// the sensor's loop thread alone takes everything queued at once. Holds at
// most max_buffered_spans spans; a push into a full queue is refused, never
// blocks, and nothing is evicted. Destroying the queue frees what is queued.
class SpanQueue {
 public:
  // Throws std::length_error unless 1 <= max_buffered_spans < INT32_MAX, so
  // that the slot count (one more than the cap) is a 32-bit count
  // ("vector::reserve" for a negative cap). Allocates every slot here.
  explicit SpanQueue(int64_t max_buffered_spans);
  SpanQueue(const SpanQueue&) = delete;
  SpanQueue& operator=(const SpanQueue&) = delete;

  // Any thread. True: the span is queued and buffer is left empty. False: the
  // queue is full (or buffer is empty) and buffer still holds what it held.
  // No lock, no allocation.
  bool push(ByteBuffer& buffer) noexcept;

  // Any thread; the two indices are read without a common snapshot, so the
  // count is for decisions and log text only.
  int32_t size() const noexcept;

  // Slot count: max_buffered_spans + 1.
  int32_t capacity() const noexcept { return capacity_; }

  // Loop thread only. Calls visitor(begin1, end1, begin2, end2) once with the
  // spans queued when the call starts, in queue order, as two ranges of
  // ByteBuffer (the second empty unless the ring wrapped; all four null when
  // nothing is queued). The visitor is expected to move the buffers out; what
  // it leaves is freed afterwards, and the taken spans leave the queue also
  // when the visitor throws (the exception then propagates). Spans pushed
  // meanwhile stay queued for the next call. No allocation.
  template <class Visitor>
  void consumeAll(Visitor&& visitor);

 private:
  struct Batch {
    ByteBuffer* begin1;
    ByteBuffer* end1;
    ByteBuffer* begin2;
    ByteBuffer* end2;
    uint64_t end;  // write position of the snapshot
  };

  // Empties the queued slots into taken_, publishes the read position and
  // returns the ranges in taken_.
  Batch take() noexcept;
  // Frees what the visitor left in taken_.
  void release(const Batch& batch) noexcept;

  // Positions count pushes since construction and never wrap in practice
  // (64 bits); the slot of position p is p % capacity_. Wrapped 32-bit
  // indices would let a producer that read them one lap ago pass its
  // compare-and-swap and overwrite a full queue.
  std::vector<ByteBuffer> slots_;
  // The consumer's own copies of the slots it takes: producers may claim an
  // emptied slot with a stale position before the read position is
  // published, and only they may take such a buffer back.
  std::vector<ByteBuffer> taken_;
  int32_t capacity_;
  alignas(64) std::atomic<uint64_t> writeIndex_{0};  // advanced by producers only
  alignas(64) std::atomic<uint64_t> readIndex_{0};   // advanced by the consumer only
};

template <class Visitor>
void SpanQueue::consumeAll(Visitor&& visitor) {
  const Batch batch = take();
  struct Release {
    SpanQueue& queue;
    const Batch& batch;
    ~Release() { queue.release(batch); }
  } releaseOnExit{*this, batch};
  visitor(batch.begin1, batch.end1, batch.begin2, batch.end2);
}

}  // namespace vostrel
