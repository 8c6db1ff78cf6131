#pragma once

namespace vostrel::test {

// Fails the current test (and returns false) unless it runs in a network
// namespace without a default route, as the test command sets up. Every test
// that starts a sensor or an agent search with the real routing table calls
// this first, so nothing can ever be sent to the machine's real gateway.
bool requirePrivateNetwork();

}  // namespace vostrel::test
