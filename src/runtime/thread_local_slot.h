#pragma once

namespace vostrel {

// The calling thread's own T, or null once the thread's thread_local objects
// have been destroyed. That happens at thread exit, and for the main thread
// at process exit before the static destructors run: a host's static span
// finished there must not touch them, so callers do without. Tag tells
// slots of the same T apart.
template <class Tag, class T>
T* threadLocalSlot() noexcept {
  // Trivially destructible, so it can still be read after the others are gone.
  thread_local bool destroyed = false;
  if (destroyed) return nullptr;
  struct Holder {
    T value;
    ~Holder() { destroyed = true; }
  };
  thread_local Holder holder;
  return &holder.value;
}

}  // namespace vostrel
