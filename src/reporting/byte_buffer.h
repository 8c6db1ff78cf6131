#pragma once

#include <opentracing/string_view.h>

#include <atomic>
#include <cstddef>
#include <string>

struct evbuffer;

namespace vostrel {

// Owning handle of one libevent evbuffer. The pointer is the only state and
// is moved with atomic operations, so span queue slots can hold handles that
// host threads and the loop thread meet on. The content operations are not
// synchronised: one thread at a time uses a buffer's bytes.
class ByteBuffer {
 public:
  // A new, empty evbuffer; throws std::bad_alloc when none can be made.
  ByteBuffer();
  // An empty handle (no evbuffer).
  explicit ByteBuffer(std::nullptr_t) noexcept : buffer_(nullptr) {}
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  // Frees the held buffer; returns whether there was one.
  bool reset() noexcept;
  // Takes other's buffer only if this handle is empty (compare-and-swap).
  bool tryMoveFrom(ByteBuffer& other) noexcept;
  // Swaps the two pointers; this side atomically, the other side plainly.
  void exchangeWith(ByteBuffer& other) noexcept;

  evbuffer* get() const noexcept { return buffer_.load(std::memory_order_relaxed); }
  explicit operator bool() const noexcept { return get() != nullptr; }
  std::size_t size() const noexcept;

  // Content operations; each throws std::bad_alloc when libevent fails, and
  // std::logic_error "empty ByteBuffer" on a handle without a buffer.
  void append(const char* data, std::size_t length);
  void append(opentracing::string_view text) { append(text.data(), text.size()); }
  // Adds the bytes without copying: they must stay valid and unchanged until
  // the buffer has been sent or freed.
  void appendReference(const char* data, std::size_t length);
  void prepend(const char* data, std::size_t length);
  // Throws std::runtime_error "failed to drain <n> from evbuffer".
  void drain(std::size_t length);
  // Moves all of other's bytes to the end of this buffer and frees other's
  // evbuffer; other is left empty in every case but an empty this handle.
  void appendBuffer(ByteBuffer& other);
  // Moves all of this buffer's bytes to the end of target (for example a
  // request body) and frees the emptied evbuffer; this handle is left empty
  // (also when libevent fails). A null target changes nothing and throws.
  void moveInto(evbuffer* target);
  std::string toString() const;

 private:
  evbuffer* content() const;

  std::atomic<evbuffer*> buffer_;
};

}  // namespace vostrel
