#include "reporting/byte_buffer.h"

#include <event2/buffer.h>

#include <new>
#include <stdexcept>

namespace vostrel {

ByteBuffer::ByteBuffer() : buffer_(nullptr) {
  evbuffer* buffer = evbuffer_new();
  if (buffer == nullptr) throw std::bad_alloc();
  buffer_.store(buffer);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept : buffer_(nullptr) {
  buffer_.store(other.buffer_.exchange(nullptr));
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    evbuffer* previous = buffer_.exchange(other.buffer_.exchange(nullptr));
    if (previous != nullptr) evbuffer_free(previous);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { reset(); }

bool ByteBuffer::reset() noexcept {
  evbuffer* previous = buffer_.exchange(nullptr);
  if (previous == nullptr) return false;
  evbuffer_free(previous);
  return true;
}

bool ByteBuffer::tryMoveFrom(ByteBuffer& other) noexcept {
  evbuffer* expected = nullptr;
  evbuffer* incoming = other.buffer_.load();
  if (!buffer_.compare_exchange_strong(expected, incoming)) return false;
  other.buffer_.exchange(nullptr);
  return true;
}

void ByteBuffer::exchangeWith(ByteBuffer& other) noexcept {
  evbuffer* previous = buffer_.exchange(other.buffer_.load());
  other.buffer_.store(previous, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

std::size_t ByteBuffer::size() const noexcept {
  evbuffer* buffer = get();
  return buffer == nullptr ? 0 : evbuffer_get_length(buffer);
}

evbuffer* ByteBuffer::content() const {
  evbuffer* buffer = get();
  // libevent would dereference the null pointer and take the host down.
  if (buffer == nullptr) throw std::logic_error("empty ByteBuffer");
  return buffer;
}

void ByteBuffer::append(const char* data, std::size_t length) {
  if (evbuffer_add(content(), data, length) != 0) throw std::bad_alloc();
}

void ByteBuffer::appendReference(const char* data, std::size_t length) {
  if (evbuffer_add_reference(content(), data, length, nullptr, nullptr) != 0) throw std::bad_alloc();
}

void ByteBuffer::prepend(const char* data, std::size_t length) {
  if (evbuffer_prepend(content(), data, length) != 0) throw std::bad_alloc();
}

void ByteBuffer::drain(std::size_t length) {
  if (evbuffer_drain(content(), length) != 0) {
    throw std::runtime_error("failed to drain " + std::to_string(length) + " from evbuffer");
  }
}

void ByteBuffer::appendBuffer(ByteBuffer& other) { other.moveInto(content()); }

void ByteBuffer::moveInto(evbuffer* target) {
  if (target == nullptr) throw std::logic_error("empty ByteBuffer");
  evbuffer* source = buffer_.exchange(nullptr);
  if (source == nullptr) return;
  const int result = evbuffer_add_buffer(target, source);
  evbuffer_free(source);
  if (result != 0) throw std::bad_alloc();
}

std::string ByteBuffer::toString() const {
  evbuffer* buffer = get();
  if (buffer == nullptr) return {};
  std::string text(evbuffer_get_length(buffer), '\0');
  if (!text.empty()) evbuffer_copyout(buffer, &text[0], text.size());
  return text;
}

}  // namespace vostrel
