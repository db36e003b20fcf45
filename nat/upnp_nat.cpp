// SPDX-License-Identifier: MIT
#include "nat/upnp_nat.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/file_log.h"
#include "nat/upnp_description.h"
#include "nat/upnp_protocol.h"
#include "nat/upnp_xml.h"
#include "platform/clock.h"
#include "platform/datagram.h"

namespace brelvane {
namespace {

bool Contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

std::string HostPort(const std::string& host, uint16_t port) {
  return host + ":" + std::to_string(port);
}

// The length of the whole answer its head announces (head plus
// Content-Length), once the head is complete; npos before that or when the
// head has no Content-Length.  `scanned` remembers how far the head search
// got, so feeding an answer in small pieces costs linear time.
size_t AnnouncedLength(const std::string& answer, size_t* scanned) {
  size_t head_end = answer.find("\r\n\r\n", *scanned);
  if (head_end == std::string::npos) {
    *scanned = answer.size() < 3 ? 0 : answer.size() - 3;
    return std::string::npos;
  }
  static constexpr std::string_view kName = "\r\ncontent-length:";
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  std::string_view head(answer.data(), head_end);
  for (size_t line = head.find("\r\n"); line != std::string_view::npos;
       line = head.find("\r\n", line + 2)) {
    std::string_view rest = head.substr(line);
    if (rest.size() < kName.size() || !std::equal(kName.begin(), kName.end(), rest.begin(),
                                                  [&](char a, char b) { return a == lower(b); })) {
      continue;
    }
    size_t at = kName.size();
    while (at < rest.size() && rest[at] == ' ') ++at;
    size_t length = 0;
    size_t digits = 0;
    for (; at < rest.size() && rest[at] >= '0' && rest[at] <= '9' && digits < 9; ++at, ++digits) {
      length = length * 10 + static_cast<size_t>(rest[at] - '0');
    }
    return digits > 0 ? head_end + 4 + length : std::string::npos;
  }
  return std::string::npos;
}

// A decimal number of at most `max`; 0 when the text is not one.
uint32_t ParseNumber(const std::string& text, uint32_t max) {
  uint64_t value = 0;
  if (text.empty() || text.size() > 10) return 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= max ? static_cast<uint32_t>(value) : 0;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

UPnPNAT::UPnPNAT() = default;
UPnPNAT::UPnPNAT(const Options& options) : options_(options) {}

void UPnPNAT::Init(int time_limit_seconds) {
  time_limit_seconds_ = time_limit_seconds;
  state_ = kInitial;
}

bool UPnPNAT::Fail(std::string text) {
  state_ = kFailed;
  last_error_ = std::move(text);
  return false;
}

bool UPnPNAT::Discovery() {
  using platform::NetStatus;
  platform::DatagramSocket socket;
  NetStatus status = platform::DatagramSocket::Open(platform::InetAddress{}, &socket);
  if (!status.ok()) {
    Log1("UPnPNAT discovery socket: %s", status.ToString().c_str());
    return Fail("Fail to find an UPNP NAT.");
  }
  status = socket.SetBroadcast(true);
  if (!status.ok()) Log2("UPnPNAT SO_BROADCAST: %s", status.ToString().c_str());

  const uint64_t start = platform::TickMs();
  const uint64_t limit_ms = static_cast<uint64_t>(std::max(time_limit_seconds_, 0)) * 1000;
  auto expired = [&] { return platform::TickMs() - start > limit_ms; };
  std::string buffer(kMaxAnswerBytes, '\0');
  for (int attempt = 1; attempt <= kDiscoveryAttempts && !expired(); ++attempt) {
    status = socket.SendTo(options_.ssdp, upnp::kDiscoveryRequest.data(),
                           upnp::kDiscoveryRequest.size());
    if (!status.ok()) Log2("UPnPNAT discovery send: %s", status.ToString().c_str());
    size_t received = 0;
    platform::InetAddress from;
    status = socket.ReceiveFrom(buffer.data(), buffer.size(), options_.attempt_pause_ms, &received,
                                &from);
    if (status.ok()) {
      if (expired()) break;
      if (TryGateway(std::string_view(buffer.data(), received), from)) {
        socket.Close();
        state_ = kGatewayFound;
        return true;
      }
      Log2("UPnPNAT discovery attempt %d, answer from %s: %s", attempt, from.ToString().c_str(),
           last_error_.c_str());
      Pause(options_.attempt_pause_ms);
    } else if (status.code != platform::NetCode::kTimeout) {
      Log2("UPnPNAT discovery receive: %s", status.ToString().c_str());
      Pause(options_.attempt_pause_ms);
    }
    // A time-out has already waited the pause.
  }
  socket.Close();
  return Fail("Fail to find an UPNP NAT.");
}

bool UPnPNAT::TryGateway(std::string_view answer, const platform::InetAddress& from) {
  size_t location = answer.find("http://");
  if (!Contains(answer, "200 OK") || location == std::string_view::npos) {
    last_error_ = "not a \"200 OK\" answer with an \"http://\" location";
    return false;
  }
  size_t end = answer.find_first_of("\r\n", location);
  description_url_.assign(answer.substr(
      location, end == std::string_view::npos ? std::string_view::npos : end - location));
  upnp::Url url;
  if (!upnp::SplitUrl(description_url_, &url)) {
    last_error_ = "Failed to parseURl: " + description_url_;
    return false;
  }
  uint32_t ip = 0;
  if (!platform::ParseIpv4(url.host, &ip) || ip != from.ip) {
    last_error_ = "the description URL " + description_url_ + " does not name the answering host";
    return false;
  }
  std::string response;
  if (!Exchange(url.host, url.port, upnp::DescriptionRequest(url), &response)) return false;
  description_ = std::move(response);
  upnp::GatewayService service;
  if (!upnp::ReadGatewayDescription(description_, description_url_, from.ip, &service,
                                    &last_error_)) {
    return false;
  }
  base_url_ = std::move(service.base_url);
  service_type_ = std::move(service.service_type);
  control_url_ = std::move(service.control_url);
  Log3("UPnPNAT gateway %s: %s at %s", from.IpText().c_str(), service_type_.c_str(),
       control_url_.c_str());
  return true;
}

bool UPnPNAT::Exchange(const std::string& host, uint16_t port, const std::string& request,
                       std::string* response) {
  using platform::NetCode;
  using platform::NetStatus;
  response->clear();
  const std::string where = HostPort(host, port);
  const std::string connect_error = "Fail to connect to " + where + " (using TCP)";
  platform::InetAddress to{0, port};
  if (!platform::ParseIpv4(host, &to.ip)) return Fail(connect_error);
  const uint64_t deadline =
      platform::TickMs() + static_cast<uint64_t>(options_.exchange_timeout_ms);
  auto remaining = [&] {
    uint64_t now = platform::TickMs();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
  };

  platform::Socket socket;
  NetStatus status = platform::Socket::ConnectTcp(to, options_.exchange_timeout_ms, &socket);
  if (!status.ok()) {
    Log2("UPnPNAT %s: %s", where.c_str(), status.ToString().c_str());
    return Fail(connect_error);
  }
  state_ = kTcpConnected;
  status = socket.Send(request.data(), request.size(), remaining(), nullptr);
  if (!status.ok()) {
    Log2("UPnPNAT %s: %s", where.c_str(), status.ToString().c_str());
    return Fail("Fail to send to " + where + " (using TCP)");
  }
  char buffer[16384];
  size_t scanned = 0;
  size_t announced = std::string::npos;
  while (response->size() < kMaxAnswerBytes && response->size() < announced) {
    size_t received = 0;
    size_t room = std::min(sizeof(buffer), kMaxAnswerBytes - response->size());
    status = socket.Receive(buffer, room, remaining(), &received);
    if (!status.ok()) break;
    response->append(buffer, received);
    if (announced == std::string::npos) announced = AnnouncedLength(*response, &scanned);
  }
  if (status.code != NetCode::kOk && status.code != NetCode::kClosed) {
    Log2("UPnPNAT %s: %s after %zu bytes", where.c_str(), status.ToString().c_str(),
         response->size());
    if (response->empty()) return Fail("No answer from " + where + " (using TCP)");
  }
  Log4("UPnPNAT %s answered %zu bytes", where.c_str(), response->size());
  return true;
}

bool UPnPNAT::SoapCall(const char* action, const std::string& arguments, bool extended,
                       std::string* response) {
  upnp::Url url;
  if (!upnp::SplitUrl(control_url_, &url)) return Fail("Fail to parseURl: " + control_url_);
  std::string body = upnp::SoapBody(action, service_type_, arguments);
  std::string request = upnp::SoapHead(url, body.size(), service_type_, action, extended) + body;
  Log4("UPnPNAT %s%s to %s", extended ? "M-POST " : "", action, control_url_.c_str());
  return Exchange(url.host, url.port, request, response);
}

bool UPnPNAT::AddPortMapping(const std::string& internal_client, uint16_t external_port,
                             uint16_t internal_port, const std::string& protocol,
                             const std::string& description) {
  const std::string arguments = upnp::AddPortMappingArguments(internal_client, external_port,
                                                              internal_port, protocol, description);
  std::string response;
  if (!SoapCall("AddPortMapping", arguments, false, &response)) return false;
  if (!Contains(response, "200 OK")) {
    Log2("UPnPNAT AddPortMapping refused, trying M-POST: %.200s", response.c_str());
    if (!SoapCall("AddPortMapping", arguments, true, &response) || !Contains(response, "200 OK")) {
      return Fail("Fail to add port mapping (" + description + "/" + protocol + ")");
    }
  }
  state_ = kPortMapped;
  Log3("UPnPNAT mapped %s port %u to %s:%u", protocol.c_str(), external_port,
       internal_client.c_str(), internal_port);
  return true;
}

bool UPnPNAT::DeletePortMapping(uint16_t external_port, const std::string& protocol) {
  std::string response;
  if (!SoapCall("DeletePortMapping", upnp::DeletePortMappingArguments(external_port, protocol),
                false, &response) ||
      !Contains(response, "200 OK")) {
    return Fail("Fail to delete port mapping. [PortExternal=" + std::to_string(external_port) +
                ", Protocal=" + protocol + "]");
  }
  state_ = kMappingDeleted;
  return true;
}

bool UPnPNAT::GetGenericPortMappingEntry(int index, PortMappingEntry* out) {
  const int32_t state_before = state_;
  const std::string query_error = "Fail to query port mapping. [ID=" + std::to_string(index) + "]";
  std::string response;
  if (!SoapCall("GetGenericPortMappingEntry", upnp::GetGenericPortMappingEntryArguments(index),
                false, &response) ||
      !Contains(response, "200 OK")) {
    return Fail(query_error);
  }
  XmlDocument doc;
  doc.Parse(response, "s:Envelope");
  if (doc.root().empty()) {
    Log2("%s", doc.ErrorReport(control_url_).c_str());
    return Fail("The QueryPortMapping XML file is not a valid XML file. Cann't find root element.");
  }
  XmlElement entry = doc.root().Child("Body").Child("GetGenericPortMappingEntryResponse");
  if (entry.empty()) return Fail(query_error);
  out->external_port =
      static_cast<uint16_t>(ParseNumber(entry.Child("NewExternalPort").Text(), 65535));
  out->protocol = entry.Child("NewProtocol").Text();
  out->internal_port =
      static_cast<uint16_t>(ParseNumber(entry.Child("NewInternalPort").Text(), 65535));
  out->internal_client = entry.Child("NewInternalClient").Text();
  out->enabled = entry.Child("NewEnabled").Text() == "1";
  out->description = entry.Child("NewPortMappingDescription").Text();
  out->lease_seconds = ParseNumber(entry.Child("NewLeaseDuration").Text(), UINT32_MAX);
  state_ = state_before;
  return true;
}

}  // namespace brelvane
