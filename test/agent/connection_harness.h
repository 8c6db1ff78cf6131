#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "plugin/logger.h"
#include "support/loop_runner.h"

namespace vostrel::test {

// Keeps every line a logger accepts, in order. Any thread.
class LogCapture {
 public:
  struct Line {
    LogLevel level;
    std::string text;
  };

  void attach(Logger& logger) {
    logger.setThreshold(LogLevel::debug);
    logger.setSink([this](LogLevel level, int, opentracing::string_view text) {
      std::function<void(const Line&)> hook;
      Line line{level, std::string(text)};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        hook = hook_;
      }
      if (hook) hook(line);
    });
  }

  // Called with every line after it is stored, on the logging thread.
  void onLine(std::function<void(const Line&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }

  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // Number of lines starting with prefix.
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (const Line& line : lines()) n += line.text.rfind(prefix, 0) == 0;
    return n;
  }

  // Index of the first line at or after from that starts with prefix, or -1.
  long find(const std::string& prefix, long from = 0) const {
    const std::vector<Line> all = lines();
    for (size_t i = static_cast<size_t>(from); i < all.size(); ++i) {
      if (all[i].text.rfind(prefix, 0) == 0) return static_cast<long>(i);
    }
    return -1;
  }

  // The level of the first line starting with prefix.
  LogLevel levelOf(const std::string& prefix) const {
    const long i = find(prefix);
    return i < 0 ? LogLevel::off : lines()[static_cast<size_t>(i)].level;
  }

  // Whether lines starting with the prefixes appear in this order.
  bool inOrder(const std::vector<std::string>& prefixes) const {
    long at = 0;
    for (const std::string& prefix : prefixes) {
      at = find(prefix, at);
      if (at < 0) return false;
      ++at;
    }
    return true;
  }

  std::vector<std::string> errors() const {
    std::vector<std::string> found;
    for (const Line& line : lines()) {
      if (line.level >= LogLevel::error) found.push_back(line.text);
    }
    return found;
  }

  std::string dump() const {
    std::string text;
    for (const Line& line : lines()) text += std::to_string(static_cast<int>(line.level)) + " " + line.text + "\n";
    return text;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  std::function<void(const Line&)> hook_;
};

}  // namespace vostrel::test
