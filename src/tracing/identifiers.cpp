#include "tracing/identifiers.h"

#include <pthread.h>

#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>

#include "tracing/random_seed.h"

namespace vostrel {

namespace {

// Built at compile time, so formatting works during static initialisation too.
struct DigitPairs {
  char hex[256][2];
  constexpr DigitPairs() : hex{} {
    const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      hex[i][0] = digits[i >> 4];
      hex[i][1] = digits[i & 15];
    }
  }
};

constexpr DigitPairs digitPairs;

// The eight decimal digits of value (below 10^8), most significant in the
// first byte: the two halves of four digits, each split into two pairs and
// each pair into two digits, side by side in one word. The multipliers
// divide exactly by 100 and by 10 over these ranges.
uint64_t eightDigits(uint32_t value) noexcept {
  uint64_t x = value / 10000 | static_cast<uint64_t>(value % 10000) << 32;
  uint64_t high = (x * 10486) >> 20 & 0x0000007F0000007Full;
  x = high | (x - high * 100) << 16;
  high = (x * 103) >> 10 & 0x000F000F000F000Full;
  x = high | (x - high * 10) << 8;
  uint64_t text = x + 0x3030303030303030ull;
  if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) text = __builtin_bswap64(text);
  return text;
}

void writeEightDigits(char* out, uint32_t value) noexcept {
  const uint64_t text = eightDigits(value);
  std::memcpy(out, &text, 8);
}

// The last `digits` of value's eight at out, and then filler up to out + 8.
void writeLastDigits(char* out, uint32_t value, std::size_t digits) noexcept {
  uint64_t text = eightDigits(value);
  text = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? text << 8 * (8 - digits) : text >> 8 * (8 - digits);
  std::memcpy(out, &text, 8);
}

// Digits of value below 10^8, at least one.
std::size_t decimalDigits(uint32_t value) noexcept {
  return 1 + (value >= 10) + (value >= 100) + (value >= 1000) + (value >= 10000) + (value >= 100000) +
         (value >= 1000000) + (value >= 10000000);
}

using SeedObject = randutils::auto_seeded<randutils::seed_seq_fe<8, unsigned, 1>>;

thread_local std::mt19937_64 engine;
thread_local bool seeded = false;
std::once_flag forkHandlerOnce;

void seedEngine() {
  SeedObject seed;
  engine.seed(seed);
}

// The flag is set only once a seeding has succeeded: an engine whose seeding
// threw still has its fixed default state, which every such thread shares.
void ensureSeeded() {
  if (seeded) return;
  seedEngine();
  seeded = true;
}

// Runs inside fork(): nothing may be thrown through it.
void onForkChild() noexcept {
  try {
    reseedAfterFork();
  } catch (...) {
    // Still the parent's sequence: make the next draw seed again.
    seeded = false;
  }
}

}  // namespace

uint32_t fold32(uint64_t value) noexcept {
  const uint64_t r = value * 0xBC2AD017D719504Dull;
  return static_cast<uint32_t>(r ^ (r >> 32));
}

void reseedAfterFork() {
  ensureSeeded();
  seedEngine();
}

uint64_t generateId() {
  std::call_once(forkHandlerOnce, [] {
    // Without the handler a child would repeat its parent's identifiers.
    if (pthread_atfork(nullptr, nullptr, onForkChild) != 0) throw std::runtime_error("pthread_atfork failed");
  });
  ensureSeeded();
  return engine();
}

opentracing::string_view formatHexId(uint64_t id, char* out) noexcept {
  for (int byte = 0; byte < 8; ++byte) {
    const unsigned value = static_cast<unsigned>(id >> (56 - 8 * byte)) & 0xFF;
    out[2 * byte] = digitPairs.hex[value][0];
    out[2 * byte + 1] = digitPairs.hex[value][1];
  }
  return {out, 16};
}

opentracing::string_view formatDecimal(int64_t value) noexcept {
  thread_local char scratch[maxDecimalLength];
  return {scratch, writeDecimal(value, scratch)};
}

std::size_t writeDecimal(int64_t value, char* out) noexcept {
  const uint64_t magnitude = value < 0 ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
  char* p = out;
  if (value < 0) *p++ = '-';
  if (magnitude < 100000000) {
    const std::size_t digits = decimalDigits(static_cast<uint32_t>(magnitude));
    writeLastDigits(p, static_cast<uint32_t>(magnitude), digits);
    return static_cast<std::size_t>(p - out) + digits;
  }
  const uint32_t low = static_cast<uint32_t>(magnitude % 100000000);
  const uint64_t high = magnitude / 100000000;
  if (high < 100000000) {
    const std::size_t digits = decimalDigits(static_cast<uint32_t>(high));
    writeLastDigits(p, static_cast<uint32_t>(high), digits);
    p += digits;
  } else {
    // 17 to 19 digits: three or fewer, then eight and eight.
    const uint32_t top = static_cast<uint32_t>(high / 100000000);
    const std::size_t digits = decimalDigits(top);
    writeLastDigits(p, top, digits);
    p += digits;
    writeEightDigits(p, static_cast<uint32_t>(high % 100000000));
    p += 8;
  }
  writeEightDigits(p, low);
  return static_cast<std::size_t>(p - out) + 8;
}

}  // namespace vostrel
