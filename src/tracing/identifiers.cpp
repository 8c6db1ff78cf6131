#include "tracing/identifiers.h"

#include <pthread.h>

#include <mutex>
#include <random>

namespace vostrel {

namespace {

struct DigitPairs {
  char hex[256][2];
  char decimal[100][2];
  DigitPairs() {
    static const char digits[] = "0123456789abcdef";
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

const DigitPairs digitPairs;

// TODO(identifiers): replace with the specified entropy gathering and seed sequence.
thread_local std::mt19937_64 engine;
thread_local bool seeded = false;
std::once_flag forkHandlerOnce;

void seedEngine() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device()};
  engine.seed(seed);
}

}  // namespace

uint32_t fold32(uint64_t value) noexcept {
  if (value <= 0xFFFFFFFFull) return static_cast<uint32_t>(value);
  const uint64_t r = value * 0xBC2AD017D719504Dull;
  return static_cast<uint32_t>(r ^ (r >> 32));
}

void reseedAfterFork() {
  seeded = true;
  seedEngine();
}

uint64_t generateId() {
  std::call_once(forkHandlerOnce, [] { pthread_atfork(nullptr, nullptr, reseedAfterFork); });
  if (!seeded) {
    seeded = true;
    seedEngine();
  }
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
  thread_local char scratch[21];
  char* const end = scratch + sizeof(scratch);
  if (value == 0) {
    end[-1] = '0';
    return {end - 1, 1};
  }
  uint64_t magnitude = value < 0 ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
  char* p = end;
  while (magnitude >= 100) {
    const unsigned pair = static_cast<unsigned>(magnitude % 100);
    magnitude /= 100;
    p -= 2;
    p[0] = digitPairs.decimal[pair][0];
    p[1] = digitPairs.decimal[pair][1];
  }
  if (magnitude >= 10) {
    p -= 2;
    p[0] = digitPairs.decimal[magnitude][0];
    p[1] = digitPairs.decimal[magnitude][1];
  } else {
    *--p = static_cast<char>('0' + magnitude);
  }
  if (value < 0) *--p = '-';
  return {p, static_cast<std::size_t>(end - p)};
}

}  // namespace vostrel
