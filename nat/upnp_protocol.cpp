// SPDX-License-Identifier: MIT
#include "nat/upnp_protocol.h"

namespace brelvane::upnp {

bool SplitUrl(std::string_view url, Url* out) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return false;
  size_t host_at = scheme_end + 3;
  size_t host_end = url.find_first_of(":/", host_at);
  if (host_end == std::string_view::npos || host_end == host_at) return false;
  size_t slash = url.find('/', host_end);
  if (slash == std::string_view::npos) return false;
  uint32_t port = 80;
  if (url[host_end] == ':') {
    std::string_view digits = url.substr(host_end + 1, slash - host_end - 1);
    if (digits.empty() || digits.size() > 5) return false;
    port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return false;
  }
  out->host.assign(url.substr(host_at, host_end - host_at));
  out->port = static_cast<uint16_t>(port);
  out->path.assign(url.substr(slash));
  return true;
}

bool IsAbsoluteUrl(std::string_view url) {
  return url.find("http://") != std::string_view::npos ||
         url.find("HTTP://") != std::string_view::npos;
}

std::string JoinUrl(std::string_view base, std::string_view path) {
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  std::string out(base);
  if (path.empty() || path.front() != '/') out.push_back('/');
  out.append(path);
  return out;
}

std::string DescriptionRequest(const Url& url) {
  return "GET " + url.path + " HTTP/1.1\r\nHost: " + url.host + ":" + std::to_string(url.port) +
         "\r\nConnection: close\r\n\r\n";
}

std::string SoapBody(std::string_view action, std::string_view service_type,
                     std::string_view arguments) {
  std::string out = "<s:Envelope xmlns:s=\"";
  out.append(kSoapEnvelopeNs).append("\" s:encodingStyle=\"").append(kSoapEncodingNs);
  out.append("\">\r\n<s:Body>\r\n<u:").append(action).append(" xmlns:u=\"").append(service_type);
  out.append("\">\r\n").append(arguments).append("</u:").append(action);
  out.append(">\r\n</s:Body>\r\n</s:Envelope>\r\n\r\n");
  return out;
}

std::string SoapHead(const Url& url, size_t body_length, std::string_view service_type,
                     std::string_view action, bool extended) {
  std::string out = extended ? "M-POST " : "POST ";
  out += url.path + " HTTP/1.1\r\nHOST: " + url.host + ":" + std::to_string(url.port) +
         "\r\nContent-Length: " + std::to_string(body_length) + " \r\n";
  if (extended) {
    out.append("CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nMAN: \"").append(kSoapEnvelopeNs);
    out.append("\"; ns=01\r\n01-SOAPACTION:\"");
  } else {
    out.append("CONTENT-TYPE: text/xml ; charset=\"utf-8\"\r\nSOAPACTION: \"");
  }
  out.append(service_type).append("#").append(action).append("\"\r\n\r\n");
  return out;
}

std::string AddPortMappingArguments(const std::string& internal_client, uint16_t external_port,
                                    uint16_t internal_port, const std::string& protocol,
                                    const std::string& description) {
  return "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>" + std::to_string(external_port) +
         "</NewExternalPort>\r\n<NewProtocol>" + EscapeXml(protocol) +
         "</NewProtocol>\r\n<NewInternalPort>" + std::to_string(internal_port) +
         "</NewInternalPort>\r\n<NewInternalClient>" + EscapeXml(internal_client) +
         "</NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n<NewPortMappingDescription>" +
         EscapeXml(description) + "</NewPortMappingDescription>\r\n<NewLeaseDuration>" +
         std::to_string(kLeaseSeconds) + "</NewLeaseDuration>\r\n";
}

std::string DeletePortMappingArguments(uint16_t external_port, const std::string& protocol) {
  return "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>" + std::to_string(external_port) +
         "</NewExternalPort>\r\n<NewProtocol>" + EscapeXml(protocol) + "</NewProtocol>\r\n";
}

std::string GetGenericPortMappingEntryArguments(int index) {
  return "<NewPortMappingIndex>" + std::to_string(index) + "</NewPortMappingIndex>\r\n";
}

std::string EscapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

}  // namespace brelvane::upnp
