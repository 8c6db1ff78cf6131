#include "support/loop_runner.h"

namespace vostrel::test {

namespace {

struct Watch {
  EventBase* base;
  const std::function<bool()>* done;
  std::chrono::steady_clock::time_point deadline;
  void onTick() noexcept {
    if ((*done)() || std::chrono::steady_clock::now() >= deadline) base->loopBreak();
  }
};

}  // namespace

bool runLoopUntil(EventBase& base, const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  if (done()) return true;
  Watch watch{&base, &done, std::chrono::steady_clock::now() + timeout};
  Timer timer(base, 1000, memberCallback<&Watch::onTick>, &watch);
  base.dispatch();
  return done();
}

void runLoopFor(EventBase& base, std::chrono::milliseconds duration) {
  runLoopUntil(base, [] { return false; }, duration);
}

}  // namespace vostrel::test
