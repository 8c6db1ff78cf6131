#include "tracing/random_seed.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "tracing/identifiers.h"

namespace vostrel::randutils {

namespace {

std::atomic<uint32_t> entropyCounter{0};
std::once_flag entropyCounterOnce;

uint32_t foldAddress(const void* address) noexcept {
  return fold32(static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(address)));
}

template <class Function>
uint32_t foldFunction(Function* function) noexcept {
  return fold32(static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(function)));
}

}  // namespace

std::array<uint32_t, 11> gatherEntropy(const void* seedObject, std::size_t typeHash) {
  // call_once leaves the flag unset when the device throws, so a later
  // seeding retries.
  std::call_once(entropyCounterOnce, [] {
    std::random_device device;
    entropyCounter.store(static_cast<uint32_t>(device()));
  });
  entropyCounter.fetch_sub(0x120E6EAAu);
  const uint32_t counter = entropyCounter.load();

  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t nanoseconds = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
  void* heap = std::malloc(4);
  const uint32_t heapWord = foldAddress(heap);
  std::free(heap);
  const int stackLocal = 0;

  return {counter,
          fold32(nanoseconds),
          foldAddress(&stackLocal),
          heapWord,
          foldAddress(seedObject),
          foldFunction(&fold32),
          foldFunction(&_Exit),
          fold32(static_cast<uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()))),
          fold32(static_cast<uint64_t>(typeHash)),
          static_cast<uint32_t>(getpid()),
          0};
}

}  // namespace vostrel::randutils
