#include "runtime/event_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vostrel {
namespace {

using Clock = std::chrono::steady_clock;

template <class F>
std::string thrownMessage(F&& operation) {
  try {
    operation();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// Counts its ticks and breaks the loop at the given count.
struct Ticker {
  EventBase* base;
  int stopAt;
  int ticks = 0;
  void onTick() noexcept {
    if (++ticks == stopAt) base->loopBreak();
  }
};

TEST(ToTimevalTest, SplitsMicrosecondsIntoSecondsAndRemainder) {
  // Durations convert by unsigned division and remainder by one million.
  struct Case {
    uint64_t micros;
    time_t seconds;
    suseconds_t remainder;
  };
  const std::vector<Case> cases = {
      {2500000, 2, 500000}, {5000, 0, 5000}, {0, 0, 0}, {1000000, 1, 0}, {10000000, 10, 0}, {999999, 0, 999999}};
  for (const Case& c : cases) {
    const timeval value = toTimeval(c.micros);
    EXPECT_EQ(value.tv_sec, c.seconds) << c.micros;
    EXPECT_EQ(value.tv_usec, c.remainder) << c.micros;
  }
}

TEST(TimerTest, RepeatsUntilLoopBreakThenDispatchReturnsNormally) {
  // A repeating timer keeps the loop alive and fires again and again; dispatch
  // returns without error once a callback breaks the loop.
  EventBase base;
  Ticker ticker{&base, 5};
  Timer timer(base, 5000, memberCallback<&Ticker::onTick>, &ticker);
  EXPECT_NO_THROW(base.dispatch());
  EXPECT_EQ(ticker.ticks, 5);
  EXPECT_EQ(timer.period(), 5000u);
}

TEST(TimerTest, ResetPostponesNextExpiryByFullPeriod) {
  // After reset the timer waits a whole period again, measured from the reset.
  EventBase base;
  struct State {
    EventBase* base;
    Timer* slow = nullptr;
    int resets = 0;
    Clock::time_point lastReset;
    std::vector<Clock::duration> sinceReset;
    void onFast() noexcept {
      if (resets < 6) {
        lastReset = Clock::now();
        slow->reset();
        ++resets;
      }
    }
    void onSlow() noexcept {
      sinceReset.push_back(Clock::now() - lastReset);
      if (resets == 6) base->loopBreak();
    }
  } state{&base, nullptr, 0, Clock::now(), {}};
  Timer slow(base, 30000, memberCallback<&State::onSlow>, &state);
  state.slow = &slow;
  Timer fast(base, 10000, memberCallback<&State::onFast>, &state);
  base.dispatch();
  ASSERT_EQ(state.resets, 6);
  ASSERT_FALSE(state.sinceReset.empty());
  // libevent reads its cached loop time, which may trail the real clock by
  // well under a millisecond.
  for (Clock::duration elapsed : state.sinceReset) {
    EXPECT_GE(elapsed, std::chrono::microseconds(29000));
  }
}

TEST(TimerTest, DestroyedFromAnotherCallbackNeverFiresAgain) {
  // Freeing a timer inside another callback of the same loop stops it at once.
  EventBase base;
  struct State {
    EventBase* base;
    std::unique_ptr<Timer> victim;
    int victimTicks = 0;
    int ticksAtDestruction = -1;
    int killerTicks = 0;
    void onVictim() noexcept { ++victimTicks; }
    void onKiller() noexcept {
      ++killerTicks;
      if (killerTicks == 1) {
        victim.reset();
        ticksAtDestruction = victimTicks;
      }
      if (killerTicks == 4) base->loopBreak();
    }
  } state{&base, nullptr};
  state.victim = std::make_unique<Timer>(base, 2000, memberCallback<&State::onVictim>, &state);
  Timer killer(base, 15000, memberCallback<&State::onKiller>, &state);
  base.dispatch();
  EXPECT_GT(state.ticksAtDestruction, 0);
  EXPECT_EQ(state.victimTicks, state.ticksAtDestruction);
}

TEST(OnTimeoutTest, CallsOnceWithTimeoutKindAndArgument) {
  // A one-shot call runs exactly once, with no descriptor and EV_TIMEOUT.
  EventBase base;
  struct Seen {
    int calls = 0;
    evutil_socket_t fd = 0;
    short kinds = 0;
  } seen;
  onTimeout(
      base, 3000,
      [](evutil_socket_t fd, short kinds, void* arg) {
        auto* s = static_cast<Seen*>(arg);
        ++s->calls;
        s->fd = fd;
        s->kinds = kinds;
      },
      &seen);
  Ticker ticker{&base, 10};
  Timer timer(base, 5000, memberCallback<&Ticker::onTick>, &ticker);
  base.dispatch();
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.fd, -1);
  EXPECT_EQ(seen.kinds, EV_TIMEOUT);
}

TEST(OnTimeoutTest, MemberTrampolineCallsTheObject) {
  // eventCallback turns a member without arguments into a libevent callback.
  EventBase base;
  Ticker ticker{&base, 1};
  onTimeout(base, 1000, eventCallback<&Ticker::onTick>, &ticker);
  EXPECT_NO_THROW(base.dispatch());
  EXPECT_EQ(ticker.ticks, 1);
}

TEST(EventBaseTest, DispatchWithNothingToWaitForIsAFailure) {
  // A loop that runs dry instead of being broken reports libevent's result.
  EventBase base;
  EXPECT_EQ(thrownMessage([&] { base.dispatch(); }), "event_base_dispatch faild with rcode = 1");
}

TEST(EventBaseTest, MovedFromHolderFailsEveryOperationWithItsText) {
  // Moving transfers the base; operations on the emptied holder fail cleanly
  // with their own messages instead of reaching libevent with no base.
  EventBase source;
  event_base* raw = source.get();
  EventBase target(std::move(source));
  EXPECT_EQ(target.get(), raw);
  EXPECT_EQ(source.get(), nullptr);
  EXPECT_EQ(thrownMessage([&] { source.loopBreak(); }), "event_base_loopbreak failed");
  EXPECT_EQ(thrownMessage([&] { source.dispatch(); }), "event_base_dispatch faild with rcode = -1");
  EXPECT_EQ(thrownMessage([&] { onTimeout(source, 1000, [](evutil_socket_t, short, void*) {}, nullptr); }),
            "onTimeout failed");
  EXPECT_EQ(thrownMessage([&] { Timer timer(source, 1000, [](void*) {}, nullptr); }), "evtimer_new failed");

  EventBase other;
  other = std::move(target);
  EXPECT_EQ(other.get(), raw);
  EXPECT_FALSE(target);
}

}  // namespace
}  // namespace vostrel
