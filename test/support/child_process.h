#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vostrel::test {

// A program run by a test, with its standard input and output on pipes and
// its standard error shared with the test. The destructor kills a child that
// is still running, so a failed test never leaves a process behind.
class ChildProcess {
 public:
  // Starts argv[0] (a path) with the test's environment plus extraEnv
  // ("NAME=value"; these win). Throws std::runtime_error on failure.
  explicit ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnv = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // Next line of the child's output without its line feed; nothing on end of
  // output or when the timeout passes first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Reads lines until one starts with prefix and returns it; every line read
  // is kept in lines().
  std::optional<std::string> waitForLine(const std::string& prefix, std::chrono::milliseconds timeout);
  // Reads until count lines read so far (skipped ones included) start with
  // prefix; false when the timeout or the end of output comes first.
  bool waitForLines(const std::string& prefix, size_t count, std::chrono::milliseconds timeout);
  // Every line read so far.
  const std::vector<std::string>& lines() const noexcept { return lines_; }

  void writeLine(const std::string& line);
  void closeInput();

  // The raw wait status once the child has ended, reading (and keeping) its
  // remaining output meanwhile; nothing when the timeout passes first.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  bool outputClosed_ = false;
  std::optional<int> status_;
  std::vector<std::string> lines_;
};

// "exit 0", "exit 3" or "signal 11", for assertion messages.
std::string describeStatus(int status);

}  // namespace vostrel::test
