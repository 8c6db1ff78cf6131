#pragma once

#include <string>

namespace vostrel {

class HttpConnection;

// What the recorder needs of the agent connection. Loop thread only.
class AgentLink {
 public:
  virtual ~AgentLink() = default;
  // True from "Agent ready" until reset().
  virtual bool ready() const noexcept = 0;
  // Appended by reference after every record of a batch; unchanged while a
  // post is in flight.
  virtual const std::string& spanTail() const noexcept = 0;
  virtual const std::string& tracesPath() const noexcept = 0;
  virtual HttpConnection& httpConnection() noexcept = 0;
  // A post failed: start the search for the agent over.
  virtual void reset() noexcept = 0;
};

}  // namespace vostrel
