#include "reporting/spare_buffers.h"

namespace vostrel {

namespace {

// Two cells at least: with one, a filled cell's sequence would read as free
// to the next giver.
std::size_t cellCount(std::size_t capacity) noexcept {
  std::size_t power = 2;
  while (power < capacity) power <<= 1;
  return power;
}

}  // namespace

SpareBuffers::SpareBuffers(std::size_t capacity)
    : cells_(new Cell[cellCount(capacity)]), mask_(cellCount(capacity) - 1) {
  for (std::size_t i = 0; i <= mask_; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
}

SpareBuffers::~SpareBuffers() = default;

// A cell is free for the giver at position p when its sequence is p, and
// holds a buffer for the taker at position p when its sequence is p + 1.
bool SpareBuffers::give(ByteBuffer& buffer) noexcept {
  if (!buffer) return false;
  uint64_t position = givePosition_.load(std::memory_order_relaxed);
  Cell* cell;
  while (true) {
    cell = &cells_[position & mask_];
    const uint64_t sequence = cell->sequence.load(std::memory_order_acquire);
    const int64_t lag = static_cast<int64_t>(sequence - position);
    if (lag == 0) {
      if (givePosition_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
    } else if (lag < 0) {
      return false;  // full
    } else {
      position = givePosition_.load(std::memory_order_relaxed);
    }
  }
  cell->buffer = std::move(buffer);
  cell->sequence.store(position + 1, std::memory_order_release);
  return true;
}

ByteBuffer SpareBuffers::take() noexcept {
  uint64_t position = takePosition_.load(std::memory_order_relaxed);
  Cell* cell;
  while (true) {
    cell = &cells_[position & mask_];
    const uint64_t sequence = cell->sequence.load(std::memory_order_acquire);
    const int64_t lag = static_cast<int64_t>(sequence - (position + 1));
    if (lag == 0) {
      if (takePosition_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
    } else if (lag < 0) {
      return ByteBuffer(nullptr);  // empty
    } else {
      position = takePosition_.load(std::memory_order_relaxed);
    }
  }
  ByteBuffer buffer(std::move(cell->buffer));
  cell->sequence.store(position + mask_ + 1, std::memory_order_release);
  return buffer;
}

}  // namespace vostrel
