#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/secret_filter.h"
#include "plugin/logger.h"

namespace vostrel {

// What the agent answers to the announce.
struct DiscoveryResponse {
  int32_t pid = 0;
  std::string agentUuid;
  std::vector<std::string> extraHeaders;
  // Absent unless the answer carried a usable "secrets" object; the caller
  // moves it into shared ownership.
  std::unique_ptr<SecretFilter> secrets;
};

// Parses the complete body of a discovery response (text need not be
// zero-terminated). Unknown members are skipped with a warn line, an unusable
// "secrets" object with an error line. Throws std::runtime_error
// "Invalid discovery response: <text>" for anything malformed. No state; runs
// on the loop thread.
DiscoveryResponse parseDiscoveryResponse(const Logger& logger, const char* text, std::size_t length);

}  // namespace vostrel
