// SPDX-License-Identifier: MIT
#include "nat/upnp_nat.h"

#include <gtest/gtest.h>

#include "nat/gateway_fixture.h"
#include "platform/clock.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::Description;
using test::DescriptionParts;
using test::Response;
using test::SsdpAnswer;

constexpr int kPauseMs = 40;
const std::string kIp1 = "urn:schemas-upnp-org:service:WANIPConnection:1";

// A scripted gateway: one HTTP connection per entry of `replies` (the
// description first), SSDP answers as given.
struct Gateway {
  explicit Gateway(std::vector<std::string> replies,
                   std::vector<std::string> answers = {SsdpAnswer(), SsdpAnswer("HTTP/1.1 404")})
      : http(Script(replies)), ssdp(std::move(answers), http.port()) {}

  static std::vector<test::ConnectionScript> Script(const std::vector<std::string>& replies) {
    std::vector<test::ConnectionScript> script;
    for (const std::string& r : replies) script.push_back({CannedReply{r, CannedReply::After::kClose}});
    return script;
  }
  UPnPNAT Client() const {
    UPnPNAT::Options options;
    options.ssdp = ssdp.address();
    options.exchange_timeout_ms = 2000;
    options.attempt_pause_ms = kPauseMs;
    UPnPNAT client(options);
    client.Init(5);
    return client;
  }
  std::string Soap(const std::string& method, const std::string& action, const std::string& args) {
    std::string body =
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n<s:Body>\r\n<u:" +
        action + " xmlns:u=\"" + kIp1 + "\">\r\n" + args + "</u:" + action +
        ">\r\n</s:Body>\r\n</s:Envelope>\r\n\r\n";
    std::string head = method + " /ctl/IPConn HTTP/1.1\r\nHOST: 127.0.0.1:{PORT}\r\nContent-Length: " +
                       std::to_string(body.size()) + " \r\n";
    head += method == "POST"
                ? "CONTENT-TYPE: text/xml ; charset=\"utf-8\"\r\nSOAPACTION: \""
                : "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nMAN: "
                  "\"http://schemas.xmlsoap.org/soap/envelope/\"; ns=01\r\n01-SOAPACTION:\"";
    return http.Expand(head + kIp1 + "#" + action + "\"\r\n\r\n" + body);
  }

  test::ScriptedServer http;
  test::SsdpResponder ssdp;
};

const std::string kAddArgs =
    "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>12345</NewExternalPort>\r\n"
    "<NewProtocol>TCP</NewProtocol>\r\n<NewInternalPort>12345</NewInternalPort>\r\n"
    "<NewInternalClient>10.1.2.3</NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n"
    "<NewPortMappingDescription>Brelvane</NewPortMappingDescription>\r\n"
    "<NewLeaseDuration>2592000</NewLeaseDuration>\r\n";
const std::string kDeleteArgs =
    "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>12345</NewExternalPort>\r\n"
    "<NewProtocol>TCP</NewProtocol>\r\n";

bool Add(UPnPNAT& c) { return c.AddPortMapping("10.1.2.3", 12345, 12345, "TCP", "Brelvane"); }

TEST(UpnpNatTest, MapsAndUnmapsWithTheExactRequests) {
  Gateway gw({Response("200 OK", Description({})), Response("200 OK", ""), Response("200 OK", "")});
  UPnPNAT client = gw.Client();
  ASSERT_TRUE(client.Discovery()) << client.LastError();
  EXPECT_EQ(client.state(), UPnPNAT::kGatewayFound);
  EXPECT_EQ(client.control_url(), gw.http.Url("/ctl/IPConn"));
  ASSERT_TRUE(Add(client)) << client.LastError();
  EXPECT_EQ(client.state(), UPnPNAT::kPortMapped);
  ASSERT_TRUE(client.DeletePortMapping(12345, "TCP")) << client.LastError();
  EXPECT_EQ(client.state(), UPnPNAT::kMappingDeleted);

  ASSERT_EQ(gw.ssdp.requests().size(), 1u);
  EXPECT_EQ(gw.ssdp.requests()[0],
            "M-SEARCH * HTTP/1.1\r\nST:ssdp:all\r\nMX: 5\r\nMan:\"ssdp:discover\"\r\n"
            "HOST: 239.255.255.250:1900\r\n\r\n");
  std::vector<std::string> requests = gw.http.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], gw.http.Expand("GET /desc.xml HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n"
                                        "Connection: close\r\n\r\n"));
  EXPECT_EQ(requests[1], gw.Soap("POST", "AddPortMapping", kAddArgs));
  EXPECT_EQ(requests[2], gw.Soap("POST", "DeletePortMapping", kDeleteArgs));
}

TEST(UpnpNatTest, FallsBackToMPostAndReportsRefusals) {
  struct {
    std::vector<std::string> soap_replies;
    bool mapped;
    std::string error;
  } const cases[] = {
      {{Response("500 Internal Server Error", ""), Response("200 OK", "")}, true, ""},
      {{Response("500 Internal Server Error", ""), Response("405 Not Allowed", "")}, false,
       "Fail to add port mapping (Brelvane/TCP)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> replies = {Response("200 OK", Description({}))};
    replies.insert(replies.end(), c.soap_replies.begin(), c.soap_replies.end());
    Gateway gw(replies);
    UPnPNAT client = gw.Client();
    ASSERT_TRUE(client.Discovery());
    EXPECT_EQ(Add(client), c.mapped);
    EXPECT_EQ(client.LastError(), c.error);
    EXPECT_EQ(client.state(), c.mapped ? UPnPNAT::kPortMapped : UPnPNAT::kFailed);
    ASSERT_EQ(gw.http.requests().size(), 3u);
    EXPECT_EQ(gw.http.requests()[2], gw.Soap("M-POST", "AddPortMapping", kAddArgs));
  }
}

TEST(UpnpNatTest, ReportsFailedCallsWithTheirTexts) {
  DescriptionParts dead_port;
  dead_port.services[0].second = "http://127.0.0.1:1/ctl";
  Gateway gw({Response("200 OK", Description({})), Response("500 Error", ""),
              Response("200 OK", Description(dead_port))},
             {SsdpAnswer()});
  UPnPNAT none = gw.Client();
  EXPECT_FALSE(Add(none));
  EXPECT_EQ(none.LastError(), "Fail to parseURl: ");
  UPnPNAT client = gw.Client();
  ASSERT_TRUE(client.Discovery());
  EXPECT_FALSE(client.DeletePortMapping(12345, "TCP"));
  EXPECT_EQ(client.LastError(), "Fail to delete port mapping. [PortExternal=12345, Protocal=TCP]");
  UPnPNAT unreachable = gw.Client();
  ASSERT_TRUE(unreachable.Discovery());
  EXPECT_FALSE(Add(unreachable));
  EXPECT_EQ(unreachable.LastError(), "Fail to connect to 127.0.0.1:1 (using TCP)");
  EXPECT_EQ(unreachable.state(), UPnPNAT::kFailed);
}

TEST(UpnpNatTest, AnswerWithout200OkCostsOneAttemptAndAPause) {
  Gateway gw({Response("200 OK", Description({}))}, {SsdpAnswer("HTTP/1.1 404 Not Found"), SsdpAnswer()});
  UPnPNAT client = gw.Client();
  uint64_t start = platform::TickMs();
  ASSERT_TRUE(client.Discovery()) << client.LastError();
  EXPECT_GE(platform::TickMs() - start, static_cast<uint64_t>(kPauseMs));
  EXPECT_EQ(gw.ssdp.requests().size(), 2u);
}

TEST(UpnpNatTest, RefusesGatewaysThatFailTheChecks) {
  DescriptionParts elsewhere;
  elsewhere.services[0].second = "http://127.0.0.2:{PORT}/ctl";
  DescriptionParts padded;
  padded.url_base = std::string(5 << 20, ' ');  // 5 MiB before the devices
  std::string other_host = SsdpAnswer();
  other_host.replace(other_host.find("127.0.0.1"), 9, "127.0.0.2");
  struct {
    const char* what;
    std::vector<std::string> answers;
    std::string description;
    int connections;
    bool cut;  // the description answer is kept only up to the cap
  } const cases[] = {
      {"no http:// location", {"HTTP/1.1 200 OK\r\nLOCATION: ftp://127.0.0.1/\r\n\r\n"}, "", 0, false},
      {"description on another host", {other_host}, "", 0, false},
      {"control URL on another host", {SsdpAnswer(), SsdpAnswer("404")}, Description(elsewhere), 1,
       false},
      {"5 MiB description", {SsdpAnswer(), SsdpAnswer("404")}, Description(padded), 1, true},
  };
  for (const auto& c : cases) {
    Gateway gw({Response("200 OK", c.description)}, c.answers);
    UPnPNAT client = gw.Client();
    EXPECT_FALSE(client.Discovery()) << c.what;
    EXPECT_EQ(client.LastError(), "Fail to find an UPNP NAT.") << c.what;
    EXPECT_EQ(client.state(), UPnPNAT::kFailed);
    EXPECT_EQ(gw.ssdp.requests().size(), 5u) << c.what;
    EXPECT_EQ(gw.http.connections(), c.connections) << c.what;
    size_t whole = c.connections ? gw.http.Expand(Response("200 OK", c.description)).size() : 0;
    EXPECT_EQ(client.description().size(), c.cut ? UPnPNAT::kMaxAnswerBytes : whole) << c.what;
  }
}

TEST(UpnpNatTest, ReadsAPortMappingEntry) {
  const std::string entry =
      "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"x\"><s:Body>"
      "<u:GetGenericPortMappingEntryResponse xmlns:u=\"y\"><NewRemoteHost></NewRemoteHost>"
      "<NewExternalPort>12345</NewExternalPort><NewProtocol>TCP</NewProtocol>"
      "<NewInternalPort>12346</NewInternalPort><NewInternalClient>10.1.2.3</NewInternalClient>"
      "<NewEnabled>1</NewEnabled><NewPortMappingDescription>A &amp; B</NewPortMappingDescription>"
      "<NewLeaseDuration>604800</NewLeaseDuration></u:GetGenericPortMappingEntryResponse>"
      "</s:Body></s:Envelope>";
  Gateway gw({Response("200 OK", Description({})), Response("200 OK", entry),
              Response("200 OK", "<Envelope/>"), Response("500 Error", "")});
  UPnPNAT client = gw.Client();
  ASSERT_TRUE(client.Discovery());
  UPnPNAT::PortMappingEntry e;
  ASSERT_TRUE(client.GetGenericPortMappingEntry(0, &e)) << client.LastError();
  EXPECT_EQ(client.state(), UPnPNAT::kGatewayFound);
  EXPECT_EQ(e.external_port, 12345);
  EXPECT_EQ(e.protocol, "TCP");
  EXPECT_EQ(e.internal_port, 12346);
  EXPECT_EQ(e.internal_client, "10.1.2.3");
  EXPECT_TRUE(e.enabled);
  EXPECT_EQ(e.description, "A & B");
  EXPECT_EQ(e.lease_seconds, 604800u);
  EXPECT_FALSE(client.GetGenericPortMappingEntry(1, &e));
  EXPECT_EQ(client.LastError(),
            "The QueryPortMapping XML file is not a valid XML file. Cann't find root element.");
  EXPECT_FALSE(client.GetGenericPortMappingEntry(2, &e));
  EXPECT_EQ(client.LastError(), "Fail to query port mapping. [ID=2]");
}

}  // namespace
}  // namespace brelvane
