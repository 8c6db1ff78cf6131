#pragma once

#include <chrono>
#include <functional>

#include "runtime/event_loop.h"

namespace vostrel::test {

// Runs base's loop on the calling thread until done() holds (checked every
// millisecond on the loop) or the timeout passes; returns done().
bool runLoopUntil(EventBase& base, const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs base's loop for about the given time.
void runLoopFor(EventBase& base, std::chrono::milliseconds duration);

}  // namespace vostrel::test
