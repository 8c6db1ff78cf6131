#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "reporting/byte_buffer.h"

namespace vostrel {

// Span buffers on their way back from the loop thread to the host threads.
// When the loop thread frees memory that a host thread allocated, both meet
// on the host's malloc arena lock, and the host's next allocations pay for it
// (futex waits on the request path). So the loop thread copies a flushed
// span's bytes and gives the buffer back here, and the next span a host
// finishes reuses it; its memory is then allocated and freed on the host.
//
// A bounded lock-free queue (sequence numbers per cell): any thread gives,
// any thread takes, neither ever waits. Destroying it frees what it holds.
class SpareBuffers {
 public:
  // Rounded up to a power of two, two at least.
  explicit SpareBuffers(std::size_t capacity);
  SpareBuffers(const SpareBuffers&) = delete;
  SpareBuffers& operator=(const SpareBuffers&) = delete;
  ~SpareBuffers();

  // Keeps buffer (left empty) and returns true, or returns false when every
  // cell is taken or buffer is empty; buffer then still holds what it held.
  bool give(ByteBuffer& buffer) noexcept;
  // A buffer given earlier, with its old bytes still in it, or an empty
  // handle when there is none.
  ByteBuffer take() noexcept;

  std::size_t capacity() const noexcept { return mask_ + 1; }

 private:
  struct Cell {
    std::atomic<uint64_t> sequence;
    ByteBuffer buffer{nullptr};
  };

  std::unique_ptr<Cell[]> cells_;
  std::size_t mask_;
  alignas(64) std::atomic<uint64_t> givePosition_{0};
  alignas(64) std::atomic<uint64_t> takePosition_{0};
};

}  // namespace vostrel
