#include "agent/agent_host_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <string>

#include "support/network_guard.h"
#include "support/route_file.h"

namespace vostrel {
namespace {

using test::RouteFile;
const std::string routeHeader = RouteFile::header;

std::string routeLine(const std::string& destination, const std::string& gateway) {
  return RouteFile::line(destination, gateway);
}

struct GatewayCase {
  const char* name;
  std::string table;
  std::string gateway;
};

class DefaultGateway : public testing::TestWithParam<GatewayCase> {};

// The gateway of the first default route is read in little-endian byte order
// and written in full; anything else yields no gateway.
TEST_P(DefaultGateway, ReadsFirstDefaultRoute) {
  RouteFile file(GetParam().table);
  EXPECT_EQ(readDefaultGateway(file.path()), GetParam().gateway);
}

INSTANTIATE_TEST_SUITE_P(
    RouteTables, DefaultGateway,
    testing::Values(
        GatewayCase{"Plain", routeHeader + routeLine("00000000", "0101A8C0"), "192.168.1.1"},
        GatewayCase{"FifteenCharacters", routeHeader + routeLine("00000000", "C0A8FEFE"), "254.254.168.192"},
        GatewayCase{"AfterOtherRoutes",
                    routeHeader + routeLine("0000A8C0", "00000000") + routeLine("0011AC0A", "010011AC") +
                        routeLine("00000000", "010011AC"),
                    "172.17.0.1"},
        GatewayCase{"OnlyFirstDefaultCounts",
                    routeHeader + routeLine("00000000", "0102A8C0") + routeLine("00000000", "0101A8C0"),
                    "192.168.2.1"},
        GatewayCase{"NonHexGatewayNotSkipped",
                    routeHeader + routeLine("00000000", "ZZ01A8C0") + routeLine("00000000", "0101A8C0"), ""},
        GatewayCase{"ShortGateway", routeHeader + routeLine("00000000", "0101"), ""},
        GatewayCase{"NoDefaultRoute", routeHeader + routeLine("0000A8C0", "00000000"), ""},
        GatewayCase{"HeaderOnly", routeHeader, ""},
        GatewayCase{"Empty", "", ""},
        GatewayCase{"DefaultRouteInHeaderPosition", routeLine("00000000", "0101A8C0"), ""}),
    [](const testing::TestParamInfo<GatewayCase>& info) { return std::string(info.param.name); });

// A routing table that cannot be opened yields no gateway.
TEST(DefaultGatewayFile, MissingFileGivesEmptyGateway) {
  EXPECT_EQ(readDefaultGateway("/nonexistent/vostrel/route"), "");
}

// The configured host comes first, the gateway only when it differs, and
// "localhost" only without a configured host.
TEST(HostCandidates, OrdersConfiguredHostGatewayAndLocalhost) {
  using List = std::vector<std::string>;
  EXPECT_EQ(buildHostCandidates("", ""), (List{"localhost"}));
  EXPECT_EQ(buildHostCandidates("", "172.17.0.1"), (List{"172.17.0.1", "localhost"}));
  EXPECT_EQ(buildHostCandidates("10.0.0.5", "10.0.0.5"), (List{"10.0.0.5"}));
  EXPECT_EQ(buildHostCandidates("10.0.0.5", "172.17.0.1"), (List{"10.0.0.5", "172.17.0.1"}));
  EXPECT_EQ(buildHostCandidates("agent.local", ""), (List{"agent.local"}));
}

// Numeric hosts resolve to themselves as IPv4 text.
TEST(ResolveHost, ResolvesNumericAndLocalHosts) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    AddressList list = resolveHost(host);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ai_family, AF_INET);
    EXPECT_EQ(addressToString(list->ai_addr), "127.0.0.1") << host;
  }
}

// An unresolvable name throws AddressInfoFailure with the resolver's text.
TEST(ResolveHost, ThrowsAddressInfoFailureForUnknownName) {
  if (!test::requirePrivateNetwork()) return;
  try {
    resolveHost("no-such-agent.invalid");
    FAIL() << "resolved an .invalid name";
  } catch (const AddressInfoFailure& failure) {
    EXPECT_STREQ(failure.what(), gai_strerror(failure.code()));
    EXPECT_NE(failure.code(), 0);
  }
}

// IPv4 and IPv6 addresses are written numerically; other families give "".
TEST(AddressToString, WritesInetFamiliesOnly) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  inet_pton(AF_INET, "10.213.0.1", &v4.sin_addr);
  EXPECT_EQ(addressToString(reinterpret_cast<sockaddr*>(&v4)), "10.213.0.1");
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
  EXPECT_EQ(addressToString(reinterpret_cast<sockaddr*>(&v6)), "fe80::1");
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  EXPECT_EQ(addressToString(reinterpret_cast<sockaddr*>(&local)), "");
  EXPECT_EQ(addressToString(nullptr), "");
}

}  // namespace
}  // namespace vostrel
