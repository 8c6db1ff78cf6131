#pragma once

#include <event2/event.h>
#include <event2/util.h>

#include <cstdint>
#include <cstddef>

namespace vostrel {

// A duration in microseconds as a libevent timeval.
timeval toTimeval(uint64_t micros) noexcept;

// Owning holder of one libevent event_base. Built on the thread that builds
// the sensor; from then on used on the loop thread only (libevent's thread
// support is not enabled). Failures throw std::runtime_error.
class EventBase {
 public:
  // A new base; throws "event_config_new failed" or "event_base_new failed".
  EventBase();
  // An empty holder.
  explicit EventBase(std::nullptr_t) noexcept : base_(nullptr) {}
  EventBase(EventBase&& other) noexcept;
  EventBase& operator=(EventBase&& other) noexcept;
  EventBase(const EventBase&) = delete;
  EventBase& operator=(const EventBase&) = delete;
  ~EventBase();

  event_base* get() const noexcept { return base_; }
  explicit operator bool() const noexcept { return base_ != nullptr; }

  // Runs the loop on the calling thread until loopBreak() is called from one
  // of its callbacks. A loop that ends because nothing is left to wait for
  // counts as a failure: "event_base_dispatch faild with rcode = <n>".
  void dispatch();
  // Ends the running loop after the current callback; loop thread only.
  // Throws "event_base_loopbreak failed".
  void loopBreak();

 private:
  event_base* base_;
};

// Calls callback(-1, EV_TIMEOUT, arg) once on the loop thread after
// delayMicros. Cannot be cancelled; it does not run if the base is freed
// first. Throws "onTimeout failed".
void onTimeout(EventBase& base, uint64_t delayMicros, event_callback_fn callback, void* arg);

using TimerCallback = void (*)(void* arg);

// Repeating timer: calls callback(arg) every period from construction until
// destruction. libevent holds the timer's address, so it is neither copied
// nor moved: make it a member of its owner. Loop thread only once the loop
// runs; arg (usually the owner) must outlive the timer.
class Timer {
 public:
  // Throws "evtimer_new failed" or "evtimer_add failed".
  Timer(EventBase& base, uint64_t periodMicros, TimerCallback callback, void* arg);
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer();

  // The next call comes one full period from now. Throws "failed to delete
  // event" or "failed to reset event" (the timer is then stopped).
  void reset();

  uint64_t period() const noexcept { return period_; }

 private:
  static void fire(evutil_socket_t, short, void* timer) noexcept;

  event* event_;
  uint64_t period_;
  TimerCallback callback_;
  void* arg_;
};

// Turns a member function into a libevent callback whose last argument is
// the object: memberCallback<&RecorderImpl::onFlushResponse> has the type
// void(evhttp_request*, void*) for a member void onFlushResponse(evhttp_request*).
// The member should be noexcept: libevent is C and must not see exceptions.
template <auto Member, class Signature = decltype(Member)>
struct MemberTrampoline;

template <auto Member, class T, class... Args>
struct MemberTrampoline<Member, void (T::*)(Args...) noexcept> {
  static void call(Args... args, void* self) noexcept { (static_cast<T*>(self)->*Member)(args...); }
  // For event_callback_fn: ignores the descriptor and the event kinds.
  static void onEvent(evutil_socket_t, short, void* self) noexcept { (static_cast<T*>(self)->*Member)(); }
};

template <auto Member, class T, class... Args>
struct MemberTrampoline<Member, void (T::*)(Args...)> {
  static void call(Args... args, void* self) { (static_cast<T*>(self)->*Member)(args...); }
  static void onEvent(evutil_socket_t, short, void* self) { (static_cast<T*>(self)->*Member)(); }
};

// A callback with the member's arguments followed by the object pointer.
template <auto Member>
constexpr auto memberCallback = &MemberTrampoline<Member>::call;

// An event_callback_fn (descriptor, kinds, object) calling a member without
// arguments; for onTimeout and event_new.
template <auto Member>
constexpr auto eventCallback = &MemberTrampoline<Member>::onEvent;

}  // namespace vostrel
