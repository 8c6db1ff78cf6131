#include "tracing/identifiers.h"

#include <pthread.h>

#include <mutex>
#include <random>
#include <stdexcept>

#include "tracing/random_seed.h"

namespace vostrel {

namespace {

// Built at compile time, so formatting works during static initialisation too.
struct DigitPairs {
  char hex[256][2];
  char decimal[100][2];
  constexpr DigitPairs() : hex{}, decimal{} {
    const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      hex[i][0] = digits[i >> 4];
      hex[i][1] = digits[i & 15];
    }
    for (int i = 0; i < 100; ++i) {
      decimal[i][0] = static_cast<char>('0' + i / 10);
      decimal[i][1] = static_cast<char>('0' + i % 10);
    }
  }
};

constexpr DigitPairs digitPairs;

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
  // Knowing the length first lets the digits go straight to their place.
  // 1233 / 4096 is a little below log10(2): t is the digit count less one,
  // or one less than that.
  static constexpr uint64_t powersOfTen[20] = {1ull,
                                               10ull,
                                               100ull,
                                               1000ull,
                                               10000ull,
                                               100000ull,
                                               1000000ull,
                                               10000000ull,
                                               100000000ull,
                                               1000000000ull,
                                               10000000000ull,
                                               100000000000ull,
                                               1000000000000ull,
                                               10000000000000ull,
                                               100000000000000ull,
                                               1000000000000000ull,
                                               10000000000000000ull,
                                               100000000000000000ull,
                                               1000000000000000000ull,
                                               10000000000000000000ull};
  const unsigned t = static_cast<unsigned>(64 - __builtin_clzll(magnitude | 1)) * 1233 >> 12;
  const std::size_t digits = magnitude == 0 ? 1 : t + (magnitude >= powersOfTen[t] ? 1 : 0);
  const std::size_t length = digits + (value < 0 ? 1 : 0);
  if (value < 0) out[0] = '-';
  char* p = out + length;
  const auto writePair = [&p](unsigned pair) {
    p -= 2;
    p[0] = digitPairs.decimal[pair][0];
    p[1] = digitPairs.decimal[pair][1];
  };
  // Eight digits per 64-bit division, then 32-bit arithmetic within them.
  uint64_t wide = magnitude;
  while (wide >= 100000000) {
    uint32_t eight = static_cast<uint32_t>(wide % 100000000);
    wide /= 100000000;
    for (int i = 0; i < 4; ++i) {
      writePair(eight % 100);
      eight /= 100;
    }
  }
  uint32_t rest = static_cast<uint32_t>(wide);
  while (rest >= 100) {
    writePair(rest % 100);
    rest /= 100;
  }
  if (rest >= 10) {
    p -= 2;
    p[0] = digitPairs.decimal[rest][0];
    p[1] = digitPairs.decimal[rest][1];
  } else {
    *--p = static_cast<char>('0' + rest);
  }
  return length;
}

}  // namespace vostrel
