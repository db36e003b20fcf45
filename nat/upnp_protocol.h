// SPDX-License-Identifier: MIT
// The texts of the UPnP gateway protocol and the URL handling around them:
// the SSDP discovery request, the description GET, the SOAP request (and its
// extended-framework M-POST form), the action arguments, and the split of the
// "http://host[:port]/path" URLs that gateways hand out.
//
// Values placed inside the SOAP arguments have '&', '<' and '>' escaped, so
// a description text cannot break the envelope; ordinary text goes out as
// written.
//
// Thread safety: free functions without shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brelvane::upnp {

inline constexpr std::string_view kDiscoveryRequest =
    "M-SEARCH * HTTP/1.1\r\nST:ssdp:all\r\nMX: 5\r\nMan:\"ssdp:discover\"\r\n"
    "HOST: 239.255.255.250:1900\r\n\r\n";

inline constexpr std::string_view kSoapEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kSoapEncodingNs = "http://schemas.xmlsoap.org/soap/encoding/";

// A port mapping asks for a 30-day lease.
inline constexpr int kLeaseSeconds = 2592000;

struct Url {
  std::string host;
  uint16_t port = 80;
  std::string path;  // starts with "/"
};

// Splits "scheme://host[:port]/path".  False when there is no "://", the host
// is empty, no "/" follows the host, or the port is not a number from 1 to
// 65535.  Without a port the port is 80; the path is at least "/".
[[nodiscard]] bool SplitUrl(std::string_view url, Url* out);

// True when `url` starts with "http://" or "HTTP://".
bool IsAbsoluteUrl(std::string_view url);

// Joins a control path to the base URL with exactly one "/" between them.
std::string JoinUrl(std::string_view base, std::string_view path);

// "GET <path> HTTP/1.1\r\nHost: <host>:<port>\r\nConnection: close\r\n\r\n"
std::string DescriptionRequest(const Url& url);

// The SOAP envelope calling `action` of `service_type` with `arguments`.
std::string SoapBody(std::string_view action, std::string_view service_type,
                     std::string_view arguments);

// The request head for a body of `body_length` bytes: POST, or the
// extended-framework M-POST when `extended` is set.
std::string SoapHead(const Url& url, size_t body_length, std::string_view service_type,
                     std::string_view action, bool extended);

std::string AddPortMappingArguments(const std::string& internal_client, uint16_t external_port,
                                    uint16_t internal_port, const std::string& protocol,
                                    const std::string& description);
std::string DeletePortMappingArguments(uint16_t external_port, const std::string& protocol);
std::string GetGenericPortMappingEntryArguments(int index);

// `text` with '&', '<' and '>' written as entities.
std::string EscapeXml(std::string_view text);

}  // namespace brelvane::upnp
