// SPDX-License-Identifier: MIT
// The UPnP client against a scripted gateway on loopback: an SSDP responder
// plus the scripted HTTP server of the HTTP tests for the
// description and the SOAP calls.  Also the description walk and URL split.
// Also the forgiving XML reader's errors, lookups, entities and bounds.
#include "nat/upnp_nat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "http/scripted_server.h"
#include "nat/upnp_description.h"
#include "nat/upnp_protocol.h"
#include "nat/upnp_xml.h"
#include "platform/datagram.h"

namespace brelvane {
namespace {

using namespace test;

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
  std::string url_base{};  // no URLBase element when empty
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

// A scripted gateway: one HTTP connection per entry of `replies` (the
// description first); each M-SEARCH on 127.0.0.1 is counted and answered with
// the next of `answers` ("{PORT}": the HTTP port), the last one repeating.
struct Gateway {
  explicit Gateway(const std::vector<std::string>& replies,
                   std::vector<std::string> answers = {SsdpAnswer(), SsdpAnswer("HTTP/1.1 404")})
      : http([&] {
          std::vector<ConnectionScript> script;
          for (const std::string& r : replies) script.push_back({CannedReply{r, CannedReply::After::kClose}});
          return script;
        }()) {
    EXPECT_TRUE(platform::DatagramSocket::Open(platform::InetAddress::Loopback(0), &socket).ok());
    EXPECT_TRUE(socket.LocalAddress(&ssdp).ok());
    ssdp_thread = std::thread([this, answers] {
      char buffer[2048];
      size_t n = 0;
      platform::InetAddress from;
      while (!stop.load()) {
        if (!socket.ReceiveFrom(buffer, sizeof(buffer), 20, &n, &from).ok()) continue;
        const size_t next = static_cast<size_t>(ssdp_requests++);
        const std::string answer = http.Expand(answers[std::min(next, answers.size() - 1)]);
        (void)socket.SendTo(from, answer.data(), answer.size());
      }
    });
  }
  ~Gateway() {
    stop.store(true);
    ssdp_thread.join();
  }
  UPnPNAT Client() const {
    UPnPNAT client({ssdp, 2000, 40});  // short time limits
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

  ScriptedServer http;
  platform::DatagramSocket socket;
  platform::InetAddress ssdp;
  std::atomic<bool> stop{false};
  std::atomic<int> ssdp_requests{0};
  std::thread ssdp_thread;
};

const std::string kAddArgs =
    "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>12345</NewExternalPort>\r\n"
    "<NewProtocol>TCP</NewProtocol>\r\n<NewInternalPort>12345</NewInternalPort>\r\n<NewInternalClient>10.1.2.3"
    "</NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n<NewPortMappingDescription>Brelvane"
    "</NewPortMappingDescription>\r\n<NewLeaseDuration>2592000</NewLeaseDuration>\r\n";

bool Add(UPnPNAT& c) { return c.AddPortMapping("10.1.2.3", 12345, 12345, "TCP", "Brelvane"); }

// Mapping, query and unmapping on a real gateway (miniupnpd, version 1 and 2
// descriptions): integration.upnp_gateway.  Here the exact requests, the
// M-POST fallback and every refusal.
TEST(UpnpNatTest, FallsBackToMPostAndReportsRefusedCalls) {
  const std::string k500 = Response("500 Internal Server Error", ""),
                    entry = "<s:Envelope><s:Body><u:GetGenericPortMappingEntryResponse>"
                            "<NewExternalPort>12345</NewExternalPort><NewEnabled>1</NewEnabled>"
                            "<NewPortMappingDescription>A &amp; B</NewPortMappingDescription>"
                            "</u:GetGenericPortMappingEntryResponse></s:Body></s:Envelope>";
  enum Call { kAdd, kDelete, kQuery };
  const std::tuple<Call, std::vector<std::string>, std::string> cases[] = {  // replies, error
      {kAdd, {k500, Response("200 OK", "")}, ""},
      {kAdd, {k500, Response("405 Not Allowed", "")}, "Fail to add port mapping (Brelvane/TCP)"},
      {kDelete, {k500}, "Fail to delete port mapping. [PortExternal=12345, Protocal=TCP]"},
      {kQuery, {Response("200 OK", entry)}, ""},
      {kQuery, {k500}, "Fail to query port mapping. [ID=2]"},
      {kQuery, {Response("200 OK", "<Envelope/>")},
       "The QueryPortMapping XML file is not a valid XML file. Cann't find root element."}};
  for (const auto& [call, replies, error] : cases) {
    std::vector<std::string> script = replies;
    script.insert(script.begin(), Response("200 OK", Description({})));
    Gateway gw(script);
    UPnPNAT client = gw.Client();
    ASSERT_TRUE(client.Discovery());
    EXPECT_EQ(client.control_url(), gw.http.Url("/ctl/IPConn"));
    UPnPNAT::PortMappingEntry e;
    EXPECT_EQ(call == kAdd      ? Add(client)
              : call == kDelete ? client.DeletePortMapping(12345, "TCP")
                                : client.GetGenericPortMappingEntry(2, &e),
              error.empty());
    EXPECT_EQ(client.LastError(), error);
    EXPECT_EQ(client.state(), !error.empty() ? UPnPNAT::kFailed
                              : call == kAdd ? UPnPNAT::kPortMapped
                                             : UPnPNAT::kGatewayFound);
    if (call == kAdd) {
      EXPECT_EQ(gw.http.requests().at(1), gw.Soap("POST", "AddPortMapping", kAddArgs));
      EXPECT_EQ(gw.http.requests().at(2), gw.Soap("M-POST", "AddPortMapping", kAddArgs));
    } else if (call == kQuery && error.empty()) {
      EXPECT_EQ(std::tie(e.external_port, e.enabled, e.description),
                std::make_tuple(12345, true, "A & B"));
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

// (A control URL on another host is refused by the description walk below.)
TEST(UpnpNatTest, RefusesGatewaysThatFailTheChecks) {
  DescriptionParts padded;
  padded.url_base = std::string(5 << 20, ' ');  // 5 MiB before the devices
  std::string other_host = SsdpAnswer();
  other_host.replace(other_host.find("127.0.0.1"), 9, "127.0.0.2");
  const std::tuple<const char*, std::string, std::string> cases[] = {  // what, answer, description
      {"no http:// location", "HTTP/1.1 200 OK\r\nLOCATION: ftp://127.0.0.1/\r\n\r\n", ""},
      {"description on another host", other_host, ""},
      {"5 MiB description, kept only up to the cap", SsdpAnswer(), Description(padded)}};
  for (const auto& [what, answer, description] : cases) {
    Gateway gw({Response("200 OK", description)}, {answer, SsdpAnswer("404")});
    UPnPNAT client = gw.Client();
    EXPECT_FALSE(client.Discovery()) << what;
    EXPECT_EQ(client.LastError(), "Fail to find an UPNP NAT.") << what;
    EXPECT_EQ(client.state(), UPnPNAT::kFailed);
    EXPECT_EQ(gw.ssdp_requests, 5) << what;
    EXPECT_EQ(gw.http.connections(), description.empty() ? 0 : 1) << what;
    EXPECT_EQ(client.description().size(), description.empty() ? 0 : UPnPNAT::kMaxAnswerBytes);
  }
}

TEST(UpnpDescriptionTest, WalksToTheServiceOrNamesWhatIsMissing) {
  const std::string dev = "urn:schemas-upnp-org:device:", http = "http://10.0.0.1:";
  const std::string v1_error = "\"" + dev + "InternetGatewayDevice:1 \"";
  struct {
    const char* what;
    DescriptionParts parts;
    // "<service type> <control URL>", or the error.
    std::string expected = kIp1 + " http://10.0.0.1:5000/ctl/IPConn";
    std::string prefix{}, description_at = "5000/rootDesc.xml";
  } const cases[] = {
      {"version 1, after an HTTP head", {}, kIp1 + " " + http + "5000/ctl/IPConn", "HTTP/1.1 200 OK\r\n\r\n"},
      {"version 2 everywhere",
       {.gateway = dev + "InternetGatewayDevice:2", .wan = dev + "WANDevice:2",
        .connection = dev + "WANConnectionDevice:2",
        .services = {{"urn:x:WANIPv6FirewallControl:1", "/fw"}, {kIp2, "/ctl/IPConn"}}},
       kIp2 + " " + http + "5000/ctl/IPConn"},
      {"version 1 service preferred", {.services = {{kIp2, "/v2"}, {kPpp1, "/ppp"}, {kIp1, "/ip"}}},
       kPpp1 + " " + http + "5000/ppp"},
      {"relative control URL, URLBase with a slash",
       {.services = {{kIp1, "ctl"}}, .url_base = http + "6000/"}, kIp1 + " " + http + "6000/ctl"},
      {"absolute control URL", {.services = {{kIp1, http + "7/c"}}}, kIp1 + " " + http + "7/c"},
      {"upper-case scheme", {.services = {{kIp1, "HTTP://10.0.0.1:7/c"}}}, kIp1 + " HTTP://10.0.0.1:7/c"},
      {"no root (a quote left open before it)", {},
       "The device descripe XML file is not a valid XML file. Cann't find root element.", "<x a='"},
      {"no gateway", {.gateway = "urn:x:InternetGatewayDevice:3"}, "Fail to find device " + v1_error},
      {"no gateway list", {.gateway_list = false}, " Fail to find deviceList of device " + v1_error},
      {"no WAN device", {.wan = "urn:x"}, "Fail to find device \"" + dev + "WANDevice:1 \""},
      {"no WAN list", {.wan_list = false}, " Fail to find deviceList of device \"" + dev + "WANDevice:1 \""},
      {"no connection device", {.connection = "urn:x"},
       "Fail to find device \"" + dev + "WANConnectionDevice:1\""},
      {"no service list", {.service_list = false},
       " Fail to find serviceList of device \"" + dev + "WANDevice:1 \""},
      {"no service", {.services = {{kIp1.substr(0, kIp1.size() - 1) + "3", "/c"}}},
       "can't find  \" SERVICE_WANIP \" or \" SERVICE_WANPPP \" service."},
      {"control URL on another host", {.services = {{kIp1, "http://10.0.0.2:5000/ctl"}}},
       "The control URL \"http://10.0.0.2:5000/ctl\" is not on the gateway 10.0.0.1."},
      {"URLBase on another host", {.url_base = "http://evil.example:80"},
       "The control URL \"http://evil.example:80/ctl/IPConn\" is not on the gateway 10.0.0.1."},
      {"no URLBase, no slash after the description URL's host", {},
       "Fail to get base_URL from XMLNode \"URLBase\" or describe_url.", "", "5000"},
  };
  for (const auto& c : cases) {
    upnp::GatewayService service;
    std::string error;
    const bool ok = upnp::ReadGatewayDescription(c.prefix + Description(c.parts), http + c.description_at,
                                                 kGateway, &service, &error);
    EXPECT_EQ(ok, error.empty()) << c.what;
    EXPECT_EQ(ok ? service.service_type + " " + service.control_url : error, c.expected) << c.what;
  }
}

TEST(UpnpProtocolTest, SplitsUrls) {
  const std::pair<const char*, const char*> cases[] = {  // url, "host port path" or "" (refused)
      {"http://10.0.0.1:5000/rootDesc.xml", "10.0.0.1 5000 /rootDesc.xml"},
      {"http://10.0.0.1/a/b?c", "10.0.0.1 80 /a/b?c"}, {"HTTP://10.0.0.1:8/", "10.0.0.1 8 /"},
      {"http://host/p:9", "host 80 /p:9"}, {"http://10.0.0.1:5000", ""}, {"http://10.0.0.1", ""},
      {"10.0.0.1/x", ""}, {"http:///x", ""}, {"http://h:/x", ""}, {"http://h:65536/x", ""},
      {"http://h:0/x", ""}, {"http://h:8a/x", ""}};
  for (const auto& [text, expected] : cases) {
    upnp::Url url;
    const bool ok = upnp::SplitUrl(text, &url);
    EXPECT_EQ(ok ? url.host + " " + std::to_string(url.port) + " " + url.path : "", expected);
  }
}

// Every error code with its position, the error texts and the report.
TEST(UpnpXmlTest, ReportsEachErrorCodeWithItsPosition) {
  const std::tuple<const char*, int, int, int> cases[] = {  // text, code, line, column
      {"HTTP/1.1 200 OK\r\nX: y\r\n\r\n<?xml version=\"1.0\"?>\n<root><a/></root>", 0, 0, 0},
      {"<ROOT></Root>", 0, 0, 0},          {"<root><a><b></a></root>", 1, 1, 13},
      {"<root><a>", 1, 1, 10},             {"", 2, 1, 1},
      {" \r\n ", 2, 2, 2},                 {"text\n</a><root/>", 3, 2, 1},
      {"<root>< a></root>", 4, 1, 7},      {"<root></ ></root>", 5, 1, 7},
      {"<root a=\"1></root>", 6, 1, 9},    {"<root><a></b></root>", 7, 1, 10},
      {"<root =\"1\"></root>", 8, 1, 7},   {"<root><!-- no end</root>", 9, 1, 7},
      {"plain text only", 10, 1, 16},      {"<a/><b><root/></b>", 12, 0, 0},
      {"<root/>trailing < junk", 0, 0, 0}};
  for (const auto& [text, code, line, column] : cases) {
    XmlDocument doc;
    EXPECT_EQ(doc.Parse(text, "root"), code) << text;
    EXPECT_EQ(std::tuple(doc.root().empty(), doc.line(), doc.column()),
              std::tuple(code > 1, line, column)) << text;
  }
  for (const auto& [code, text] : {std::pair{0, "No error"}, {1, "Warning: Unmatched end tag"},
                                   {7, "Error: Unmatched end tag"}, {11, "Error: File not found"},
                                   {12, "Error: First Tag not found"}, {13, "Unknown"}, {-1, "Unknown"}})
    EXPECT_STREQ(XmlErrorText(code), text);
  XmlDocument doc;
  doc.Parse("<root>\n  <a x='1></root>", "root");
  EXPECT_EQ(
      doc.ErrorReport("http://10.0.0.1/d.xml"),
      "XML Parsing error inside file 'http://10.0.0.1/d.xml'.\nError: Error: Unmatched quote\n"
      "At line 2, column 8.\nTag is 'root'.\n");
}

TEST(UpnpXmlTest, FindsChildrenByNameIgnoringCaseAndPrefixAndDecodesEntities) {
  XmlDocument doc;
  ASSERT_EQ(doc.Parse("<s:Envelope><s:Body><u:R><x>1</x><X>2</X><y/><x>3</x></u:R></s:Body>"
                      "</s:Envelope>", "s:envelope"), 0);
  XmlElement r = doc.root().Child("Body").Child("r");
  EXPECT_EQ(std::string(r.name()) + r.Child("x", 1).Text() + r.Child("x", 2).Text(), "u:R23");
  EXPECT_EQ(r.ChildCount("x"), 3);
  EXPECT_TRUE(r.Child("x", 3).empty() && r.Child("missing").Child("x").empty());
  EXPECT_EQ(r.Child("missing").Text(), "");
  XmlDocument prefixed;  // a wanted name with a prefix must match it whole
  EXPECT_EQ(prefixed.Parse("<Envelope/>", "s:Envelope"), kXmlFirstTagNotFound);
  // The five entities are decoded, others reported.
  ASSERT_EQ(doc.Parse("<root> <a>&lt;x&gt; &amp; &quot;&apos;</a><b>1&nbsp;2&#38;</b>"
                      "<c>a<![CDATA[&lt;<raw>]]>b<!-- c --></c></root>", "root"), 0);
  std::string warning = "stale";
  EXPECT_EQ(doc.root().Child("a").Text(&warning), "<x> & \"'");
  EXPECT_EQ(warning, "");
  EXPECT_EQ(doc.root().Child("b").Text(&warning), "1&nbsp;2&#38;");
  EXPECT_EQ(warning, "unknown escape character: '&nbsp;'");
  EXPECT_EQ(doc.root().Child("c").Text(), "a&lt;<raw>b");
}

TEST(UpnpXmlTest, BoundsDepthElementsAndInput) {
  XmlDocument doc;
  std::string deep;
  for (int i = 0; i < XmlDocument::kMaxDepth + 1; ++i) deep += "<a>";
  EXPECT_EQ(doc.Parse("<root>" + deep, "root"), kXmlInvalidTag);
  std::string many = "<root>";
  for (size_t i = 0; i < XmlDocument::kMaxElements + 1; ++i) many += "<a/>";
  EXPECT_EQ(doc.Parse(many + "</root>", "root"), kXmlInvalidTag);
  // A root that starts within the first 100 KiB is kept, cut; one after is never seen.
  std::string padding(XmlDocument::kMaxInputBytes, ' ');
  std::string big = "<root><a>x</a>" + padding + "<b>y</b></root>";
  EXPECT_EQ(doc.Parse(big, "root"), kXmlUnmatchedEndTagWarning);
  EXPECT_EQ(doc.root().Child("a").Text(), "x");
  EXPECT_TRUE(doc.root().Child("b").empty());
  EXPECT_EQ(doc.Parse(padding + "<root/>", "root"), kXmlNoData);
}

// The client against a real gateway.  Runs only when BRELVANE_UPNP_LIVE names
// this host's LAN address (tests/integration/upnp_gateway_test.sh sets it and
// runs this binary inside the LAN namespace of its miniupnpd test network);
// BRELVANE_UPNP_LIVE_SERVICE, when set, is the service type expected.
TEST(UpnpLiveGatewayTest, MapsQueriesAndUnmapsOnARealGateway) {
  const char* client_ip = std::getenv("BRELVANE_UPNP_LIVE");
  if (client_ip == nullptr) GTEST_SKIP() << "BRELVANE_UPNP_LIVE names no gateway network";
  UPnPNAT client;
  client.Init(5);
  ASSERT_TRUE(client.Discovery()) << client.LastError();
  const char* service = std::getenv("BRELVANE_UPNP_LIVE_SERVICE");
  if (service != nullptr) { EXPECT_EQ(client.service_type(), service); }
  ASSERT_TRUE(client.AddPortMapping(client_ip, 23456, 23457, "TCP", "live & test")) << client.LastError();
  UPnPNAT::PortMappingEntry entry;
  ASSERT_TRUE(client.GetGenericPortMappingEntry(0, &entry)) << client.LastError();
  EXPECT_EQ(std::tuple(entry.external_port, entry.internal_port, entry.protocol, entry.internal_client,
                       entry.description, entry.enabled, entry.lease_seconds > 0),
            std::tuple(23456, 23457, "TCP", client_ip, "live & test", true, true));
  ASSERT_TRUE(client.DeletePortMapping(23456, "TCP")) << client.LastError();
  EXPECT_EQ(client.state(), UPnPNAT::kMappingDeleted);
  EXPECT_FALSE(client.GetGenericPortMappingEntry(0, &entry));  // the table is empty again
}

}  // namespace
}  // namespace brelvane
