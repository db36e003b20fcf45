// SPDX-License-Identifier: MIT
// The UPnP client against a scripted gateway on loopback: an SSDP responder
// plus the scripted HTTP server of the HTTP tests (compiled in below) for the
// description and the SOAP calls.  Also the description walk and URL split.
#include "nat/upnp_nat.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "http/scripted_server.h"
#include "http/scripted_server_support.cpp"  // NOLINT(bugprone-suspicious-include)
#include "nat/upnp_description.h"
#include "nat/upnp_protocol.h"
#include "platform/clock.h"
#include "platform/datagram.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::Response;

constexpr int kPauseMs = 40;
const std::string kIp1 = "urn:schemas-upnp-org:service:WANIPConnection:1";
const std::string kIp2 = "urn:schemas-upnp-org:service:WANIPConnection:2";
const std::string kPpp1 = "urn:schemas-upnp-org:service:WANPPPConnection:1";

// The parts of a gateway's description; the defaults describe a version 1
// gateway with one WANIPConnection service at "/ctl/IPConn".
struct DescriptionParts {
  std::string gateway = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
  std::string wan = "urn:schemas-upnp-org:device:WANDevice:1";
  std::string connection = "urn:schemas-upnp-org:device:WANConnectionDevice:1";
  std::vector<std::pair<std::string, std::string>> services = {{kIp1, "/ctl/IPConn"}};
  std::string url_base;  // no URLBase element when empty
  bool gateway_list = true, wan_list = true, service_list = true;
};

std::string Device(const std::string& type, const std::string& inner) {
  return "<device><deviceType>" + type + "</deviceType>" + inner + "</device>\r\n";
}

// The description XML, with an unrelated sibling device before each one sought.
std::string Description(const DescriptionParts& parts) {
  const std::string other = Device("urn:schemas-upnp-org:device:Other:1", "");
  std::string services;
  for (const auto& [type, control] : parts.services) {
    services += "<service><serviceType>" + type + "</serviceType><controlURL>" + control +
                "</controlURL></service>\r\n";
  }
  if (parts.service_list) services = "<serviceList>" + services + "</serviceList>";
  std::string connection = Device(parts.connection, services);
  if (parts.wan_list) connection = "<deviceList>" + other + connection + "</deviceList>";
  std::string wan = Device(parts.wan, connection);
  if (parts.gateway_list) wan = "<deviceList>" + other + wan + "</deviceList>";
  std::string base = parts.url_base.empty() ? "" : "<URLBase>" + parts.url_base + "</URLBase>";
  return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">" + base +
         other + Device(parts.gateway, wan) + "</root>\r\n";
}

// An SSDP answer whose location is the scripted server's "/desc.xml".
std::string SsdpAnswer(const std::string& status = "HTTP/1.1 200 OK") {
  return status + "\r\nST: upnp:rootdevice\r\nLOCATION: http://127.0.0.1:{PORT}/desc.xml\r\n\r\n";
}

constexpr uint32_t kGateway = 0x0A000001;  // 10.0.0.1

// Answers each M-SEARCH on 127.0.0.1 with the next of `answers` ("{PORT}"
// replaced by `http_port`); the last answer repeats.
class SsdpResponder {
 public:
  SsdpResponder(std::vector<std::string> answers, uint16_t http_port)
      : answers_(std::move(answers)) {
    for (std::string& a : answers_) {
      if (size_t at = a.find("{PORT}"); at != std::string::npos)
        a.replace(at, 6, std::to_string(http_port));
    }
    if (!platform::DatagramSocket::Open(platform::InetAddress::Loopback(0), &socket_).ok()) return;
    (void)socket_.LocalAddress(&address_);
    thread_ = std::thread([this] {
      char buffer[2048];
      size_t n = 0, next = 0;
      platform::InetAddress from;
      while (!stop_.load()) {
        if (!socket_.ReceiveFrom(buffer, sizeof(buffer), 20, &n, &from).ok()) continue;
        std::lock_guard<std::mutex> lock(mu_);
        requests_.emplace_back(buffer, n);
        const std::string& answer = answers_[std::min(next++, answers_.size() - 1)];
        (void)socket_.SendTo(from, answer.data(), answer.size());
      }
    });
  }
  ~SsdpResponder() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  platform::InetAddress address() const { return address_; }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  std::vector<std::string> answers_;
  platform::DatagramSocket socket_;
  platform::InetAddress address_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<std::string> requests_;  // guarded by mu_
  std::thread thread_;
};

// A scripted gateway: one HTTP connection per entry of `replies` (the
// description first), SSDP answers as given.
struct Gateway {
  explicit Gateway(std::vector<std::string> replies,
                   std::vector<std::string> answers = {SsdpAnswer(), SsdpAnswer("HTTP/1.1 404")})
      : http(Script(replies)), ssdp(std::move(answers), http.port()) {}

  static std::vector<test::ConnectionScript> Script(const std::vector<std::string>& replies) {
    std::vector<test::ConnectionScript> script;
    for (const std::string& r : replies)
      script.push_back({CannedReply{r, CannedReply::After::kClose}});
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
    std::string head = method +
                       " /ctl/IPConn HTTP/1.1\r\nHOST: 127.0.0.1:{PORT}\r\nContent-Length: " +
                       std::to_string(body.size()) + " \r\n";
    head += method == "POST"
                ? "CONTENT-TYPE: text/xml ; charset=\"utf-8\"\r\nSOAPACTION: \""
                : "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nMAN: "
                  "\"http://schemas.xmlsoap.org/soap/envelope/\"; ns=01\r\n01-SOAPACTION:\"";
    return http.Expand(head + kIp1 + "#" + action + "\"\r\n\r\n" + body);
  }

  test::ScriptedServer http;
  SsdpResponder ssdp;
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

TEST(UpnpNatTest, FallsBackToMPostAndReportsRefusedCalls) {
  struct {
    bool add;  // else delete
    std::vector<std::string> replies;
    std::string error;  // empty: success
  } const cases[] = {
      {true, {Response("500 Internal Server Error", ""), Response("200 OK", "")}, ""},
      {true,
       {Response("500 Internal Server Error", ""), Response("405 Not Allowed", "")},
       "Fail to add port mapping (Brelvane/TCP)"},
      {false,
       {Response("500 Internal Server Error", "")},
       "Fail to delete port mapping. [PortExternal=12345, Protocal=TCP]"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> replies = {Response("200 OK", Description({}))};
    replies.insert(replies.end(), c.replies.begin(), c.replies.end());
    Gateway gw(replies);
    UPnPNAT client = gw.Client();
    ASSERT_TRUE(client.Discovery());
    EXPECT_EQ(c.add ? Add(client) : client.DeletePortMapping(12345, "TCP"), c.error.empty());
    EXPECT_EQ(client.LastError(), c.error);
    EXPECT_EQ(client.state(), !c.error.empty() ? UPnPNAT::kFailed : UPnPNAT::kPortMapped);
    if (c.add) {
      EXPECT_EQ(gw.http.requests().at(2), gw.Soap("M-POST", "AddPortMapping", kAddArgs));
    }
  }
  DescriptionParts dead_port;
  dead_port.services[0].second = "http://127.0.0.1:1/ctl";
  Gateway gw({Response("200 OK", Description(dead_port))});
  UPnPNAT client = gw.Client();
  EXPECT_FALSE(Add(client));  // before discovery
  EXPECT_EQ(client.LastError(), "Fail to parseURl: ");
  ASSERT_TRUE(client.Discovery());
  EXPECT_FALSE(Add(client));
  EXPECT_EQ(client.LastError(), "Fail to connect to 127.0.0.1:1 (using TCP)");
  EXPECT_EQ(client.state(), UPnPNAT::kFailed);
}

TEST(UpnpNatTest, AnswerWithout200OkCostsOneAttemptAndAPause) {
  Gateway gw({Response("200 OK", Description({}))},
             {SsdpAnswer("HTTP/1.1 404 Not Found"), SsdpAnswer()});
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
      {"no http:// location",
       {"HTTP/1.1 200 OK\r\nLOCATION: ftp://127.0.0.1/\r\n\r\n"},
       "",
       0,
       false},
      {"description on another host", {other_host}, "", 0, false},
      {"control URL on another host",
       {SsdpAnswer(), SsdpAnswer("404")},
       Description(elsewhere),
       1,
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
  EXPECT_EQ(std::tie(e.external_port, e.protocol, e.internal_port, e.internal_client, e.enabled,
                     e.description, e.lease_seconds),
            std::make_tuple(12345, "TCP", 12346, "10.1.2.3", true, "A & B", 604800u));
  EXPECT_FALSE(client.GetGenericPortMappingEntry(1, &e));
  EXPECT_EQ(client.LastError(),
            "The QueryPortMapping XML file is not a valid XML file. Cann't find root element.");
  EXPECT_FALSE(client.GetGenericPortMappingEntry(2, &e));
  EXPECT_EQ(client.LastError(), "Fail to query port mapping. [ID=2]");
}

struct WalkCase {
  const char* what;
  std::function<void(DescriptionParts*)> change;
  std::string answer_prefix;  // before the description (HTTP head or junk)
  std::string error;          // empty: success
  std::string service = kIp1;
  std::string control = "http://10.0.0.1:5000/ctl/IPConn";
  std::string description_url = "http://10.0.0.1:5000/rootDesc.xml";
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
       [&](auto* p) {
         p->services = {{kIp2, "/v2"}, {kPpp1, "/ppp"}, {kIp1, "/ip"}};
       },
       "", "", kPpp1, "http://10.0.0.1:5000/ppp"},
      {"relative control URL without slash, URLBase with one",
       [](auto* p) {
         p->url_base = "http://10.0.0.1:6000/";
         p->services[0].second = "ctl";
       },
       "", "", kIp1, "http://10.0.0.1:6000/ctl"},
      {"absolute control URL", [](auto* p) { p->services[0].second = "http://10.0.0.1:7/c"; }, "",
       "", kIp1, "http://10.0.0.1:7/c"},
      {"upper-case scheme", [](auto* p) { p->services[0].second = "HTTP://10.0.0.1:7/c"; }, "", "",
       kIp1, "HTTP://10.0.0.1:7/c"},
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
      {"no service",
       [&](auto* p) {
         p->services = {{"urn:schemas-upnp-org:service:WANIPConnection:3", "/c"}};
       },
       "", "can't find  \" SERVICE_WANIP \" or \" SERVICE_WANPPP \" service."},
      {"control URL on another host",
       [](auto* p) { p->services[0].second = "http://10.0.0.2:5000/ctl"; }, "",
       "The control URL \"http://10.0.0.2:5000/ctl\" is not on the gateway 10.0.0.1."},
      {"URLBase on another host", [](auto* p) { p->url_base = "http://evil.example:80"; }, "",
       "The control URL \"http://evil.example:80/ctl/IPConn\" is not on the gateway 10.0.0.1."},
      {"no URLBase, no slash after the description URL's host", [](auto*) {}, "",
       "Fail to get base_URL from XMLNode \"URLBase\" or describe_url.", "", "",
       "http://10.0.0.1:5000"},
  };
  for (const WalkCase& c : cases) {
    DescriptionParts parts;
    c.change(&parts);
    std::string answer = c.answer_prefix + Description(parts);
    upnp::GatewayService service;
    std::string error;
    bool ok = upnp::ReadGatewayDescription(answer, c.description_url, kGateway, &service, &error);
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(ok, c.error.empty()) << c.what;
    if (!ok) continue;
    EXPECT_EQ(service.service_type, c.service) << c.what;
    EXPECT_EQ(service.control_url, c.control) << c.what;
  }
}

TEST(UpnpProtocolTest, SplitsUrls) {
  const std::pair<const char*, const char*> cases[] = {
      // url, "host port path" or "" (refused)
      {"http://10.0.0.1:5000/rootDesc.xml", "10.0.0.1 5000 /rootDesc.xml"},
      {"http://10.0.0.1/a/b?c", "10.0.0.1 80 /a/b?c"},
      {"HTTP://10.0.0.1:8/", "10.0.0.1 8 /"},
      {"http://host/p:9", "host 80 /p:9"},
      {"http://10.0.0.1:5000", ""},
      {"http://10.0.0.1", ""},
      {"10.0.0.1/x", ""},
      {"http:///x", ""},
      {"http://h:/x", ""},
      {"http://h:65536/x", ""},
      {"http://h:0/x", ""},
      {"http://h:8a/x", ""},
  };
  for (const auto& [text, expected] : cases) {
    upnp::Url url;
    bool ok = upnp::SplitUrl(text, &url);
    EXPECT_EQ(ok ? url.host + " " + std::to_string(url.port) + " " + url.path : "", expected);
  }
}

}  // namespace
}  // namespace brelvane
