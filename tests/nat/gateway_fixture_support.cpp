// SPDX-License-Identifier: MIT
#include "nat/gateway_fixture.h"

// The scripted HTTP server of the HTTP tests, compiled into this binary too.
#include "http/scripted_server_support.cpp"  // NOLINT(bugprone-suspicious-include)

namespace brelvane::test {
namespace {

std::string Device(const std::string& type, const std::string& inner) {
  return "<device><deviceType>" + type + "</deviceType>" + inner + "</device>\r\n";
}

std::string Other() { return Device("urn:schemas-upnp-org:device:Other:1", ""); }

}  // namespace

std::string Description(const DescriptionParts& parts) {
  std::string services;
  for (const auto& [type, control] : parts.services) {
    services += "<service><serviceType>" + type + "</serviceType><controlURL>" + control +
                "</controlURL></service>\r\n";
  }
  if (parts.service_list) services = "<serviceList>" + services + "</serviceList>";
  std::string connection = Device(parts.connection, services);
  if (parts.wan_list) connection = "<deviceList>" + Other() + connection + "</deviceList>";
  std::string wan = Device(parts.wan, connection);
  if (parts.gateway_list) wan = "<deviceList>" + Other() + wan + "</deviceList>";
  std::string base = parts.url_base.empty() ? "" : "<URLBase>" + parts.url_base + "</URLBase>";
  return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">" + base +
         Other() + Device(parts.gateway, wan) + "</root>\r\n";
}

SsdpResponder::SsdpResponder(std::vector<std::string> answers, uint16_t http_port) {
  for (std::string& answer : answers) {
    for (size_t at = answer.find("{PORT}"); at != std::string::npos; at = answer.find("{PORT}")) {
      answer.replace(at, 6, std::to_string(http_port));
    }
  }
  answers_ = std::move(answers);
  if (!platform::DatagramSocket::Open(platform::InetAddress::Loopback(0), &socket_).ok() ||
      !socket_.LocalAddress(&address_).ok()) {
    return;
  }
  thread_ = std::thread([this] {
    char buffer[2048];
    size_t next = 0;
    while (!stop_.load()) {
      size_t n = 0;
      platform::InetAddress from;
      if (!socket_.ReceiveFrom(buffer, sizeof(buffer), 20, &n, &from).ok()) continue;
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.emplace_back(buffer, n);
      }
      const std::string& answer = answers_[std::min(next++, answers_.size() - 1)];
      (void)socket_.SendTo(from, answer.data(), answer.size());
    }
  });
}

SsdpResponder::~SsdpResponder() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> SsdpResponder::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::string SsdpAnswer(const std::string& status) {
  return status + "\r\nCACHE-CONTROL: max-age=120\r\nST: upnp:rootdevice\r\n"
                  "LOCATION: http://127.0.0.1:{PORT}/desc.xml\r\n\r\n";
}

}  // namespace brelvane::test
