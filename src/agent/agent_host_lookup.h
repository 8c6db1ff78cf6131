#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vostrel {

// A failed name resolution; the message is gai_strerror of the code.
class AddressInfoFailure : public std::runtime_error {
 public:
  explicit AddressInfoFailure(int code);
  int code() const noexcept { return code_; }

 private:
  int code_;
};

struct AddressInfoDeleter {
  void operator()(addrinfo* list) const noexcept { freeaddrinfo(list); }
};
// An address list from getaddrinfo, freed with freeaddrinfo.
using AddressList = std::unique_ptr<addrinfo, AddressInfoDeleter>;

// Dotted-quad IPv4 gateway of the first default route ("00000000"
// destination) in the routing table at routePath; empty when the file cannot
// be read, has no default route, or its first one has no parsable gateway.
std::string readDefaultGateway(const std::string& routePath = "/proc/net/route");

// IPv4 stream-socket resolution of host (blocking). Never null; throws
// AddressInfoFailure.
AddressList resolveHost(const std::string& host);

// Numeric text of an IPv4 or IPv6 address; empty for any other family or a
// failed conversion.
std::string addressToString(const sockaddr* address);

// The hosts to try, in order, never empty: the configured host and then a
// different gateway; without a configured host the gateway, then "localhost".
std::vector<std::string> buildHostCandidates(const std::string& agentHost, const std::string& gateway);

}  // namespace vostrel
