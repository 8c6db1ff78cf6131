#pragma once

#include <opentracing/string_view.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

namespace vostrel {

enum class LogLevel : int32_t { debug = 1, info = 2, warn = 3, error = 4, off = 6 };

// Receives level, process id and message of every accepted line.
using LogSink = std::function<void(LogLevel, int, opentracing::string_view)>;

// Writes "<local time>, <pid> [lvs] <Level>: <message>\n" to std::clog in one
// write; writes nothing for LogLevel::off.
void defaultLogSink(LogLevel level, int pid, opentracing::string_view message);

// Level filter in front of a sink. Shared by a tracer, its spans and the
// sensor. threshold and sink are set before the logger is shared; after that
// any thread may log without a lock.
class Logger {
 public:
  Logger();

  // Passes the message to the sink when level >= threshold. Never throws.
  void log(LogLevel level, int pid, opentracing::string_view message) const noexcept;

  // Streams the pieces into one text and logs it with this logger's pid.
  template <class... Pieces>
  void log(LogLevel level, const Pieces&... pieces) const noexcept {
    try {
      std::ostringstream text;
      (text << ... << pieces);
      const std::string message = text.str();
      // An exact string_view argument, so that this picks the non-template
      // overload instead of recursing into itself with <int, std::string>.
      log(level, pid_, opentracing::string_view(message));
    } catch (...) {
    }
  }

  LogLevel threshold() const noexcept { return threshold_; }
  void setThreshold(LogLevel threshold) noexcept { threshold_ = threshold; }
  bool debugEnabled() const noexcept { return threshold_ <= LogLevel::debug; }
  void setSink(LogSink sink) { sink_ = std::move(sink); }
  int pid() const noexcept { return pid_; }

 private:
  LogSink sink_;
  LogLevel threshold_;
  int pid_;
};

}  // namespace vostrel
