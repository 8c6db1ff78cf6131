#include "runtime/event_loop.h"

#include <stdexcept>
#include <string>

namespace vostrel {

timeval toTimeval(uint64_t micros) noexcept {
  timeval value{};
  value.tv_sec = static_cast<time_t>(micros / 1000000);
  value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  return value;
}

EventBase::EventBase() : base_(nullptr) {
  event_config* config = event_config_new();
  if (config == nullptr) throw std::runtime_error("event_config_new failed");
  base_ = event_base_new_with_config(config);
  event_config_free(config);
  if (base_ == nullptr) throw std::runtime_error("event_base_new failed");
}

EventBase::EventBase(EventBase&& other) noexcept : base_(other.base_) { other.base_ = nullptr; }

EventBase& EventBase::operator=(EventBase&& other) noexcept {
  if (this != &other) {
    if (base_ != nullptr) event_base_free(base_);
    base_ = other.base_;
    other.base_ = nullptr;
  }
  return *this;
}

EventBase::~EventBase() {
  if (base_ != nullptr) event_base_free(base_);
}

void EventBase::dispatch() {
  // libevent dereferences the base without checking it.
  const int result = base_ == nullptr ? -1 : event_base_dispatch(base_);
  if (result != 0) {
    throw std::runtime_error("event_base_dispatch faild with rcode = " + std::to_string(result));
  }
}

void EventBase::loopBreak() {
  if (base_ == nullptr || event_base_loopbreak(base_) != 0) {
    throw std::runtime_error("event_base_loopbreak failed");
  }
}

void onTimeout(EventBase& base, uint64_t delayMicros, event_callback_fn callback, void* arg) {
  const timeval delay = toTimeval(delayMicros);
  if (base.get() == nullptr || event_base_once(base.get(), -1, EV_TIMEOUT, callback, arg, &delay) != 0) {
    throw std::runtime_error("onTimeout failed");
  }
}

Timer::Timer(EventBase& base, uint64_t periodMicros, TimerCallback callback, void* arg)
    : event_(nullptr), period_(periodMicros), callback_(callback), arg_(arg) {
  // Without a base libevent would fall back to a process-global one.
  if (base.get() != nullptr) event_ = event_new(base.get(), -1, EV_PERSIST, &Timer::fire, this);
  if (event_ == nullptr) throw std::runtime_error("evtimer_new failed");
  const timeval period = toTimeval(period_);
  if (event_add(event_, &period) != 0) {
    event_free(event_);
    event_ = nullptr;
    throw std::runtime_error("evtimer_add failed");
  }
}

Timer::~Timer() { event_free(event_); }

void Timer::reset() {
  if (event_del(event_) != 0) throw std::runtime_error("failed to delete event");
  const timeval period = toTimeval(period_);
  if (event_add(event_, &period) != 0) throw std::runtime_error("failed to reset event");
}

void Timer::fire(evutil_socket_t, short, void* timer) noexcept {
  auto* self = static_cast<Timer*>(timer);
  self->callback_(self->arg_);
}

}  // namespace vostrel
