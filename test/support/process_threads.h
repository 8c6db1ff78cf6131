#pragma once

#include <chrono>
#include <functional>

namespace vostrel::test {

// Threads of this process right now (entries of /proc/self/task).
int threadCount();

// threadCount() once the helper threads that a sanitizer starts with the
// first thread of the process exist, so that later counts differ only by
// the threads the test made.
int baselineThreadCount();

// Polls condition every millisecond until it holds or the timeout passes;
// returns its last result.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace vostrel::test
