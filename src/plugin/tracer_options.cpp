#include "plugin/tracer_options.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "agent/json_reader.h"

namespace vostrel {

namespace {

constexpr uint16_t defaultAgentPort = 42699;
constexpr int64_t defaultMaxBufferedSpans = 1000;

LogLevel parseLogLevel(const std::string& word) {
  if (word == "debug") return LogLevel::debug;
  if (word == "info") return LogLevel::info;
  if (word == "warn") return LogLevel::warn;
  if (word == "error") return LogLevel::error;
  if (word == "off") return LogLevel::off;
  throw ParseError("unexpected log level " + word);
}

// Unset and empty variables both count as absent.
const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

TracerOptions parseConfiguration(const char* configuration) {
  TracerOptions options;
  const char* cursor = configuration != nullptr ? configuration : "";
  const char* const end = cursor + std::strlen(cursor);
  skipWhitespace(cursor, end);
  expect(cursor, end, "{", 1);
  skipWhitespace(cursor, end);
  if (cursor == end) throw ParseError("expected }");
  if (*cursor == '}') return options;
  std::string name;
  std::string text;
  for (;;) {
    skipWhitespace(cursor, end);
    parseString(name, cursor, end);
    expectAfterWhitespace(cursor, end, ":", 1);
    skipWhitespace(cursor, end);
    if (name == "service") {
      parseString(options.service, cursor, end);
    } else if (name == "agent_host") {
      parseString(options.agent_host, cursor, end);
    } else if (name == "agent_port") {
      const int64_t port = parseInteger(cursor, end);
      if (static_cast<uint64_t>(port) > 65535) {
        throw ParseError("Invalid agent_port: " + std::to_string(port));
      }
      options.agent_port = static_cast<uint16_t>(port);
    } else if (name == "max_buffered_spans") {
      const int64_t cap = parseInteger(cursor, end);
      if (cap < 1) throw ParseError("Invalid max_buffered_spans: " + std::to_string(cap));
      options.max_buffered_spans = cap;
    } else if (name == "log_level") {
      parseString(text, cursor, end);
      options.log_level = parseLogLevel(text);
    } else {
      throw ParseError("Unrecognized field: " + name);
    }
    skipWhitespace(cursor, end);
    if (cursor == end) throw ParseError("missing characters");
    const char next = *cursor++;
    if (next == '}') return options;
    if (next != ',') throw ParseError(std::string("Unexpected token ") + next);
  }
}

void applyEnvironment(TracerOptions& options, Logger& logger) {
  logger.setThreshold(environment("VOSTREL_DEV") != nullptr ? LogLevel::debug
                                                             : options.log_level);

  if (const char* host = environment("VOSTREL_AGENT_HOST")) options.agent_host = host;

  if (options.agent_port == 0) options.agent_port = defaultAgentPort;
  if (const char* text = environment("VOSTREL_AGENT_PORT")) {
    // Range-checked before narrowing, so that 4294975488 is not taken as 8192.
    const long port = std::strtol(text, nullptr, 10);
    if (port >= 1 && port <= 65535) {
      options.agent_port = static_cast<uint16_t>(port);
    } else {
      logger.log(LogLevel::error, "invalid value for VOSTREL_AGENT_PORT \"", text, "\"");
    }
  }

  if (const char* service = environment("VOSTREL_SERVICE_NAME")) options.service = service;

  if (options.max_buffered_spans == 0) options.max_buffered_spans = defaultMaxBufferedSpans;
  if (const char* text = environment("VOSTREL_MAX_BUFFERED_SPANS")) {
    const long cap = std::strtol(text, nullptr, 10);
    if (cap >= 1 && cap <= INT32_MAX) {
      options.max_buffered_spans = cap;
    } else {
      logger.log(LogLevel::error, "invalid value for VOSTREL_MAX_BUFFERED_SPANS \"", text, "\"");
    }
  }
}

}  // namespace vostrel
