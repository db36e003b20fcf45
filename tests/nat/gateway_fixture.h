// SPDX-License-Identifier: MIT
// Test helpers for the UPnP client: a device description built from parts,
// and a scripted gateway on loopback (an SSDP responder plus the scripted
// HTTP server of the HTTP tests for the description and the SOAP calls).
//
// Thread safety: the gateway's recorded requests may be read from any thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/scripted_server.h"
#include "platform/datagram.h"

namespace brelvane::test {

// The parts of a gateway's description; the defaults describe a version 1
// gateway with one WANIPConnection service at "/ctl/IPConn".
struct DescriptionParts {
  std::string gateway = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
  std::string wan = "urn:schemas-upnp-org:device:WANDevice:1";
  std::string connection = "urn:schemas-upnp-org:device:WANConnectionDevice:1";
  // Each service as {type, control URL}.
  std::vector<std::pair<std::string, std::string>> services = {
      {"urn:schemas-upnp-org:service:WANIPConnection:1", "/ctl/IPConn"}};
  std::string url_base;  // no URLBase element when empty
  bool gateway_list = true, wan_list = true, service_list = true;
};

// The description XML, preceded by an unrelated sibling device at each level.
std::string Description(const DescriptionParts& parts);

// An SSDP responder on 127.0.0.1 answering each M-SEARCH with the next of
// `answers` ("{PORT}" replaced by `http_port`); the last answer repeats.
class SsdpResponder {
 public:
  SsdpResponder(std::vector<std::string> answers, uint16_t http_port);
  ~SsdpResponder();
  platform::InetAddress address() const { return address_; }
  // The M-SEARCH datagrams received so far.
  std::vector<std::string> requests() const;

 private:
  std::vector<std::string> answers_;
  platform::DatagramSocket socket_;
  platform::InetAddress address_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<std::string> requests_;  // guarded by mu_
  std::thread thread_;
};

// An SSDP answer whose location is the scripted server's "/desc.xml".
std::string SsdpAnswer(const std::string& status = "HTTP/1.1 200 OK");

}  // namespace brelvane::test
