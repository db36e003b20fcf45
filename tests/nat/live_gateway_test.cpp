// SPDX-License-Identifier: MIT
// The client against a real gateway.  Runs only when BRELVANE_UPNP_LIVE names
// this host's LAN address (tests/integration/upnp_gateway_test.sh sets it and
// runs this binary inside the LAN namespace of its miniupnpd test network);
// BRELVANE_UPNP_LIVE_SERVICE, when set, is the service type expected.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "nat/upnp_nat.h"

namespace brelvane {
namespace {

TEST(UpnpLiveGatewayTest, MapsQueriesAndUnmapsOnARealGateway) {
  const char* client_ip = std::getenv("BRELVANE_UPNP_LIVE");
  if (client_ip == nullptr) GTEST_SKIP() << "BRELVANE_UPNP_LIVE names no gateway network";
  const char* service = std::getenv("BRELVANE_UPNP_LIVE_SERVICE");
  UPnPNAT client;
  client.Init(5);
  ASSERT_TRUE(client.Discovery()) << client.LastError();
  if (service != nullptr) { EXPECT_EQ(client.service_type(), service); }
  ASSERT_TRUE(client.AddPortMapping(client_ip, 23456, 23457, "TCP", "live & test"))
      << client.LastError();
  UPnPNAT::PortMappingEntry entry;
  ASSERT_TRUE(client.GetGenericPortMappingEntry(0, &entry)) << client.LastError();
  EXPECT_EQ(std::tie(entry.external_port, entry.internal_port, entry.protocol, entry.internal_client,
                     entry.description, entry.enabled),
            std::make_tuple(23456, 23457, "TCP", client_ip, "live & test", true));
  EXPECT_GT(entry.lease_seconds, 0u);
  ASSERT_TRUE(client.DeletePortMapping(23456, "TCP")) << client.LastError();
  EXPECT_EQ(client.state(), UPnPNAT::kMappingDeleted);
  EXPECT_FALSE(client.GetGenericPortMappingEntry(0, &entry));  // the table is empty again
}

}  // namespace
}  // namespace brelvane
