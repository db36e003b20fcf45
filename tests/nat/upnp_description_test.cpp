// SPDX-License-Identifier: MIT
#include "nat/upnp_description.h"

#include <gtest/gtest.h>

#include <functional>

#include "nat/gateway_fixture.h"
#include "nat/upnp_protocol.h"

namespace brelvane::upnp {
namespace {

using test::Description;
using test::DescriptionParts;

constexpr uint32_t kGateway = 0x0A000001;  // 10.0.0.1
const std::string kDescUrl = "http://10.0.0.1:5000/rootDesc.xml";
const std::string kIp1 = "urn:schemas-upnp-org:service:WANIPConnection:1";
const std::string kIp2 = "urn:schemas-upnp-org:service:WANIPConnection:2";
const std::string kPpp1 = "urn:schemas-upnp-org:service:WANPPPConnection:1";

struct WalkCase {
  const char* what;
  std::function<void(DescriptionParts*)> change;
  std::string answer_prefix;  // before the description (HTTP head or junk)
  std::string error;          // empty: success
  std::string service = kIp1;
  std::string control = "http://10.0.0.1:5000/ctl/IPConn";
};

TEST(UpnpDescriptionTest, WalksToTheServiceOrNamesWhatIsMissing) {
  const std::string v2 = "urn:schemas-upnp-org:device:";
  const WalkCase cases[] = {
      {"version 1", [](auto*) {}, "HTTP/1.1 200 OK\r\n\r\n", ""},
      {"version 2 everywhere",
       [&](auto* p) {
         p->gateway = v2 + "InternetGatewayDevice:2";
         p->wan = v2 + "WANDevice:2";
         p->connection = v2 + "WANConnectionDevice:2";
         p->services = {{"urn:x:WANIPv6FirewallControl:1", "/fw"}, {kIp2, "/ctl/IPConn"}};
       },
       "", "", kIp2},
      {"version 1 service preferred",
       [&](auto* p) { p->services = {{kIp2, "/v2"}, {kPpp1, "/ppp"}, {kIp1, "/ip"}}; }, "", "",
       kPpp1, "http://10.0.0.1:5000/ppp"},
      {"relative control URL without slash, URLBase with one",
       [](auto* p) {
         p->url_base = "http://10.0.0.1:6000/";
         p->services[0].second = "ctl";
       },
       "", "", kIp1, "http://10.0.0.1:6000/ctl"},
      {"absolute control URL", [](auto* p) { p->services[0].second = "http://10.0.0.1:7/c"; },
       "", "", kIp1, "http://10.0.0.1:7/c"},
      {"upper-case scheme", [](auto* p) { p->services[0].second = "HTTP://10.0.0.1:7/c"; }, "",
       "", kIp1, "HTTP://10.0.0.1:7/c"},
      {"no root (a quote left open before it)", [](auto*) {}, "<x a='",
       "The device descripe XML file is not a valid XML file. Cann't find root element."},
      {"no gateway", [](auto* p) { p->gateway = "urn:x:InternetGatewayDevice:3"; }, "",
       "Fail to find device \"urn:schemas-upnp-org:device:InternetGatewayDevice:1 \""},
      {"no gateway list", [](auto* p) { p->gateway_list = false; }, "",
       " Fail to find deviceList of device "
       "\"urn:schemas-upnp-org:device:InternetGatewayDevice:1 \""},
      {"no WAN device", [](auto* p) { p->wan = "urn:x"; }, "",
       "Fail to find device \"urn:schemas-upnp-org:device:WANDevice:1 \""},
      {"no WAN list", [](auto* p) { p->wan_list = false; }, "",
       " Fail to find deviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \""},
      {"no connection device", [](auto* p) { p->connection = "urn:x"; }, "",
       "Fail to find device \"urn:schemas-upnp-org:device:WANConnectionDevice:1\""},
      {"no service list", [](auto* p) { p->service_list = false; }, "",
       " Fail to find serviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \""},
      {"no service", [&](auto* p) { p->services = {{"urn:schemas-upnp-org:service:WANIPConnection:3", "/c"}}; }, "",
       "can't find  \" SERVICE_WANIP \" or \" SERVICE_WANPPP \" service."},
      {"control URL on another host",
       [](auto* p) { p->services[0].second = "http://10.0.0.2:5000/ctl"; }, "",
       "The control URL \"http://10.0.0.2:5000/ctl\" is not on the gateway 10.0.0.1."},
      {"URLBase on another host", [](auto* p) { p->url_base = "http://evil.example:80"; }, "",
       "The control URL \"http://evil.example:80/ctl/IPConn\" is not on the gateway 10.0.0.1."},
  };
  for (const WalkCase& c : cases) {
    DescriptionParts parts;
    c.change(&parts);
    std::string answer = c.answer_prefix + Description(parts);
    GatewayService service;
    std::string error;
    bool ok = ReadGatewayDescription(answer, kDescUrl, kGateway, &service, &error);
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(ok, c.error.empty()) << c.what;
    if (!ok) continue;
    EXPECT_EQ(service.service_type, c.service) << c.what;
    EXPECT_EQ(service.control_url, c.control) << c.what;
  }
}

TEST(UpnpDescriptionTest, BaseUrlNeedsASlashAfterTheHost) {
  GatewayService service;
  std::string error;
  EXPECT_FALSE(ReadGatewayDescription(Description({}), "http://10.0.0.1:5000", kGateway,
                                      &service, &error));
  EXPECT_EQ(error, "Fail to get base_URL from XMLNode \"URLBase\" or describe_url.");
}

TEST(UpnpProtocolTest, SplitsUrls) {
  struct {
    const char* url;
    bool ok;
    const char* host;
    uint16_t port;
    const char* path;
  } const cases[] = {
      {"http://10.0.0.1:5000/rootDesc.xml", true, "10.0.0.1", 5000, "/rootDesc.xml"},
      {"http://10.0.0.1/a/b?c", true, "10.0.0.1", 80, "/a/b?c"},
      {"HTTP://10.0.0.1:8/", true, "10.0.0.1", 8, "/"},
      {"http://host/p:9", true, "host", 80, "/p:9"},
      {"http://10.0.0.1:5000", false, "", 0, ""},
      {"http://10.0.0.1", false, "", 0, ""},
      {"10.0.0.1/x", false, "", 0, ""},
      {"http:///x", false, "", 0, ""},
      {"http://h:/x", false, "", 0, ""},
      {"http://h:65536/x", false, "", 0, ""},
      {"http://h:0/x", false, "", 0, ""},
      {"http://h:8a/x", false, "", 0, ""},
  };
  for (const auto& c : cases) {
    Url url;
    ASSERT_EQ(SplitUrl(c.url, &url), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(url.host, c.host) << c.url;
    EXPECT_EQ(url.port, c.port) << c.url;
    EXPECT_EQ(url.path, c.path) << c.url;
  }
}

}  // namespace
}  // namespace brelvane::upnp
