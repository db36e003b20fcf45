// SPDX-License-Identifier: MIT
#include "http/http_url.h"

#include <cinttypes>
#include <cstdio>

namespace brelvane {
namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_' || c == '.' || c == '/' || c == '?' || c == '=';
}

}  // namespace

HttpUrlParts SplitUrl(const std::string& url) {
  HttpUrlParts parts;
  std::string rest = url;
  // "contains", not "starts with": the first seven characters go whenever
  // the scheme text appears anywhere, as deployed clients have always done.
  if (rest.find("http://") != std::string::npos) rest.erase(0, 7);
  // User-info ends at the first "@" before the path.  An "@" further on is
  // part of the path: a release file named "a@evil/x" must not send the
  // request (and its credentials) to another host.
  size_t at = rest.find('@');
  if (at != std::string::npos && at < rest.find('/')) {
    parts.user_info = rest.substr(0, at);
    rest.erase(0, at + 1);
  }
  size_t first = rest.find('/');
  if (first == std::string::npos) {
    parts.host = rest;
    return parts;
  }
  size_t last = rest.rfind('/');
  parts.host = rest.substr(0, first);
  if (last > first) parts.directory = rest.substr(first + 1, last - first);
  parts.file = rest.substr(last + 1);
  return parts;
}

std::string EncodeRequestPath(const HttpUrlParts& parts) {
  std::string raw = parts.directory;
  if (!parts.file.empty()) {
    raw += '/';
    raw += parts.file;
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size());
  for (unsigned char c : raw) {
    if (IsUnreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

bool SplitHostPort(const std::string& host, std::string* name, uint16_t* port) {
  size_t colon = host.find(':');
  *name = host.substr(0, colon);
  *port = 80;
  if (name->empty()) return false;
  if (colon == std::string::npos) return true;
  std::string digits = host.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return false;
  uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

std::string Base64Encode(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                 (uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                 uint32_t{static_cast<unsigned char>(bytes[i + 2])};
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t left = bytes.size() - i;
  if (left > 0) {
    uint32_t v = uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (left == 2) v |= uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string FormatRangeValue(uint64_t range_start, uint64_t range_end) {
  char text[48];
  if (range_end != kHttpOpenEnd) {
    std::snprintf(text, sizeof(text), "%" PRIu64 "-%" PRIu64, range_start, range_end);
  } else {
    std::snprintf(text, sizeof(text), "%" PRIu64 "-", range_start);
  }
  return text;
}

bool FormatGetRequest(const std::string& encoded_path, const std::string& host,
                      uint64_t range_start, uint64_t range_end, std::string* out) {
  std::string text;
  text.reserve(256 + encoded_path.size() + 2 * host.size());
  text += "GET /";
  text += encoded_path;
  text += " HTTP/1.1\r\nHost: ";
  text += host;
  text += "\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nReferer: http://";
  text += host;
  text += "/\r\nRange: bytes=";
  text += FormatRangeValue(range_start, range_end);
  text += "\r\nConnection: Keep-Alive\r\n\r\n";
  if (text.size() >= kRequestBufferBytes) return false;
  *out = std::move(text);
  return true;
}

bool FormatPostRequest(const std::string& encoded_path, const HttpUrlParts& parts,
                       const std::string& content_type, const std::string& body,
                       std::string* out) {
  std::string text;
  text += "POST /";
  text += encoded_path;
  text += " HTTP/1.1\r\nHost: ";
  text += parts.host;
  text += "\r\nAuthorization: Basic ";
  text += Base64Encode(parts.user_info);
  text += "\r\nConnection: Keep-Alive\r\nContent-Length: ";
  text += std::to_string(body.size());
  text += "\r\nContent-Type: ";
  text += content_type;
  text += "\r\n\r\n";
  text += body;
  if (text.size() >= kRequestBufferBytes) return false;
  *out = std::move(text);
  return true;
}

std::string ResolveRedirect(const HttpUrlParts& current, const std::string& location) {
  if (location.size() >= 2 && location[0] == '/' && location[1] == '/') return "http:" + location;
  if (!location.empty() && location[0] == '/') {
    std::string url = "http://";
    if (!current.user_info.empty()) url += current.user_info + "@";
    return url + current.host + location;
  }
  return location;
}

}  // namespace brelvane
