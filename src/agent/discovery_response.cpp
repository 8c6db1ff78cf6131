#include "agent/discovery_response.h"

#include <stdexcept>
#include <utility>

#include "agent/json_reader.h"

namespace vostrel {

namespace {

// Consumes the separator after a member; returns false at the closing brace.
bool nextMember(const char*& cursor, const char* end) {
  skipWhitespace(cursor, end);
  if (cursor == end) throw ParseError("invalid json");
  const char c = *cursor++;
  if (c == '}') return false;
  if (c != ',') throw ParseError("invalid token");
  skipWhitespace(cursor, end);
  return true;
}

std::unique_ptr<SecretFilter> parseSecrets(const Logger& logger, const char*& cursor,
                                           const char* end) {
  expectAfterWhitespace(cursor, end, "{", 1);
  skipWhitespace(cursor, end);
  std::string matcher;
  std::vector<std::string> list;
  std::string key;
  do {
    parseString(key, cursor, end);
    expectAfterWhitespace(cursor, end, ":", 1);
    skipWhitespace(cursor, end);
    if (key == "matcher") {
      parseString(matcher, cursor, end);
    } else if (key == "list") {
      list = parseStringArray(cursor, end);
    } else {
      logger.log(LogLevel::warn, "ignoring unknown filters field ", key);
      skipValue(cursor, end);
    }
  } while (nextMember(cursor, end));
  // A filter the agent got wrong must not make the whole answer unusable:
  // the previous filter stays in force.
  try {
    return std::make_unique<SecretFilter>(matcher, std::move(list));
  } catch (const std::runtime_error& e) {
    logger.log(LogLevel::error, "failed to construct SecretFilter: ", e.what());
    return nullptr;
  }
}

}  // namespace

DiscoveryResponse parseDiscoveryResponse(const Logger& logger, const char* text,
                                         std::size_t length) {
  DiscoveryResponse response;
  const char* cursor = text;
  const char* const end = text + length;
  try {
    expectAfterWhitespace(cursor, end, "{", 1);
    skipWhitespace(cursor, end);
    std::string key;
    do {
      parseString(key, cursor, end);
      expectAfterWhitespace(cursor, end, ":", 1);
      skipWhitespace(cursor, end);
      if (key == "pid") {
        response.pid = static_cast<int32_t>(static_cast<uint32_t>(parseInteger(cursor, end)));
      } else if (key == "agentUuid") {
        parseString(response.agentUuid, cursor, end);
      } else if (key == "extraHeaders") {
        response.extraHeaders = parseStringArray(cursor, end);
      } else if (key == "secrets") {
        response.secrets = parseSecrets(logger, cursor, end);
      } else {
        logger.log(LogLevel::warn, "ignoring discovery response field ", key);
        skipValue(cursor, end);
      }
    } while (nextMember(cursor, end));
  } catch (const ParseError&) {
    throw std::runtime_error("Invalid discovery response: " + std::string(text, length));
  }
  return response;
}

}  // namespace vostrel
