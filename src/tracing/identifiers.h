#pragma once

#include <opentracing/string_view.h>

#include <cstddef>
#include <cstdint>

namespace vostrel {

// Next 64-bit identifier from the calling thread's own engine (lock-free,
// allocation-free after the thread's first draw). May return 0.
uint64_t generateId();

// Writes exactly 16 lower-case hexadecimal digits into out (no terminator)
// and returns a view of them.
opentracing::string_view formatHexId(uint64_t id, char* out) noexcept;

// Signed decimal text of value in the calling thread's scratch buffer; valid
// until the next call on the same thread. Append it at once.
opentracing::string_view formatDecimal(int64_t value) noexcept;

// Writes the signed decimal text of value at out, which has room for
// maxDecimalLength bytes (no terminator), and returns its length. Bytes of
// that room past the length may be overwritten.
constexpr std::size_t maxDecimalLength = 20;
std::size_t writeDecimal(int64_t value, char* out) noexcept;

// 64-bit value folded to 32 bits for the entropy words of the seeding
// (values of 32-bit types are used without it).
uint32_t fold32(uint64_t value) noexcept;

// Fork child handler: reseeds the surviving thread's engine. Registered by
// the first generateId in the process; may throw only when the thread's very
// first seeding fails (the registered handler catches that).
void reseedAfterFork();

}  // namespace vostrel
