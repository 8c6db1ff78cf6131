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

// Reads the JSON configuration object (members "service", "agent_host",
// "agent_port", "max_buffered_spans", "log_level", in any order). Fields that
// are absent keep the values above; a port or cap of 0 stands for "not
// given". A null text reads as an empty one. Throws ParseError.
TracerOptions parseConfiguration(const char* configuration);

// Sets the logger's threshold (debug under VOSTREL_DEV, else log_level), then
// applies the default port and buffer cap and the VOSTREL_AGENT_HOST,
// VOSTREL_AGENT_PORT, VOSTREL_SERVICE_NAME and VOSTREL_MAX_BUFFERED_SPANS
// overrides, in that order. An invalid numeric variable logs one error line
// and keeps the previous value. Never throws but std::bad_alloc.
void applyEnvironment(TracerOptions& options, Logger& logger);

}  // namespace vostrel
