#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vostrel::test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& extra : extraEnv) overridden |= extra.compare(0, name.size() + 1, name + "=") == 0;
    if (!overridden) env.push_back(entry);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  auto argvPointers = pointers(argv);
  auto envPointers = pointers(env);

  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls until exec: the test process has threads.
    dup2(in[0], 0);
    dup2(out[1], 1);
    execve(argvPointers[0], argvPointers.data(), envPointers.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (pid_ < 0) {
    close(in[1]);
    close(out[0]);
    throw std::runtime_error("fork failed");
  }
  input_ = in[1];
  output_ = out[0];
  // A child that exits early must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (input_ >= 0) close(input_);
  if (output_ >= 0) close(output_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      lines_.push_back(line);
      return line;
    }
    if (outputClosed_) return std::nullopt;
    pollfd fd{output_, POLLIN, 0};
    int ready = poll(&fd, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t n = read(output_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      outputClosed_ = true;
      if (!pending_.empty()) pending_ += '\n';
      continue;
    }
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (auto line = readLine(std::chrono::milliseconds(remainingMs(deadline)))) {
    if (line->compare(0, prefix.size(), prefix) == 0) return line;
  }
  return std::nullopt;
}

bool ChildProcess::waitForLines(const std::string& prefix, size_t count, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  const auto seen = [&] {
    size_t n = 0;
    for (const auto& line : lines_) n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
  };
  while (seen() < count) {
    if (!readLine(std::chrono::milliseconds(remainingMs(deadline)))) return false;
  }
  return true;
}

void ChildProcess::writeLine(const std::string& line) {
  std::string text = line + "\n";
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(input_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("writing to the child failed: " + std::string(std::strerror(errno)));
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void ChildProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!status_) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = status;
      break;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    // Draining the output keeps a chatty child from blocking on a full pipe.
    if (!outputClosed_) {
      readLine(std::chrono::milliseconds(std::min(20, remainingMs(deadline))));
    } else {
      usleep(5000);
    }
  }
  while (readLine(std::chrono::milliseconds(100))) {
  }
  return status_;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace vostrel::test
