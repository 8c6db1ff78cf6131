#pragma once

#include <cstdint>
#include <string>

#include "plugin/logger.h"

namespace vostrel {

// Options of a tracer and its sensor. Durations are microseconds.
struct TracerOptions {
  std::string service;
  std::string agent_host;
  uint16_t agent_port = 0;
  LogLevel log_level = LogLevel::warn;
  int64_t max_buffered_spans = 0;
  uint64_t http_timeout = 10000000;
  uint64_t connect_delay = 10000000;
  uint64_t lookup_retry_delay = 30000000;
  uint64_t ready_retry_delay = 30000000;
  uint64_t flush_interval = 1000000;
};

}  // namespace vostrel
