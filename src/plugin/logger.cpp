#include "plugin/logger.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>

namespace vostrel {

namespace {

const char* levelWord(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return "Debug: ";
    case LogLevel::info: return "Info: ";
    case LogLevel::warn: return "Warn: ";
    case LogLevel::error: return "Error: ";
    default: return "";
  }
}

}  // namespace

void defaultLogSink(LogLevel level, int pid, opentracing::string_view message) {
  if (level == LogLevel::off) return;
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  std::ostringstream line;
  line << std::put_time(&local, "%F %X") << ", " << pid << " [lvs] " << levelWord(level);
  line.write(message.data(), static_cast<std::streamsize>(message.size()));
  line << '\n';
  const std::string text = line.str();
  // One write per line, so lines of different threads never interleave.
  std::clog.write(text.data(), static_cast<std::streamsize>(text.size()));
}

Logger::Logger() : sink_(defaultLogSink), threshold_(LogLevel::error), pid_(getpid()) {}

void Logger::log(LogLevel level, int pid, opentracing::string_view message) const noexcept {
  if (level < threshold_) return;
  try {
    if (sink_) sink_(level, pid, message);
  } catch (...) {
  }
}

}  // namespace vostrel
