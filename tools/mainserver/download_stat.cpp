// SPDX-License-Identifier: MIT
#include "tools/mainserver/download_stat.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace brelvane::mainserver {
namespace {

constexpr size_t kCaptionBytes = 24;

// Length of the well-formed UTF-8 sequence at `p` (at most `n` bytes), 0 when
// there is none.
size_t Utf8Sequence(const uint8_t* p, size_t n) {
  const uint8_t b = p[0];
  size_t length;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n < length || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

void AppendNumber(std::string* out, const char* key, long long value) {
  *out += ",\"";
  *out += key;
  *out += "\":";
  *out += std::to_string(value);
}

void AppendUnsigned(std::string* out, const char* key, unsigned long long value) {
  *out += ",\"";
  *out += key;
  *out += "\":";
  *out += std::to_string(value);
}

void AppendText(std::string* out, const char* key, const std::string& value) {
  *out += ",\"";
  *out += key;
  *out += "\":";
  *out += JsonString(value);
}

std::string FloatText(float v) {
  if (!std::isfinite(v)) return "null";
  char text[32];
  std::snprintf(text, sizeof(text), "%.9g", static_cast<double>(v));
  return text;
}

}  // namespace

DownloadStat DecodeDownloadStat(const uint8_t* message) {
  uint8_t body[wire::kDownloadStatBody];
  for (size_t i = 0; i < sizeof(body); ++i) {
    body[i] = message[wire::kHeaderSize + i] ^ wire::kReportXorKey;
  }
  DownloadStat s;
  s.begin_state = static_cast<int8_t>(body[0]);
  s.end_state = static_cast<int8_t>(body[1]);
  s.http_threads = body[2];
  s.dns = wire::GetU32(body + 4);
  s.p2p_bytes = wire::GetU64(body + 16);
  s.http_bytes = wire::GetU64(body + 24);
  s.start_time = static_cast<int64_t>(wire::GetU64(body + 32));
  s.end_time = static_cast<int64_t>(wire::GetU64(body + 40));
  const uint32_t count = wire::GetU32(body + 48);
  s.http_source_count = count > s.http_sources.size() ? s.http_sources.size() : count;
  s.version = wire::GetU32(body + 52);
  for (size_t i = 0; i < s.http_sources.size(); ++i) {
    s.http_sources[i] = wire::GetU32(body + 56 + 4 * i);
  }
  std::memcpy(s.mac.data(), body + 88, s.mac.size());
  s.memory_mib = wire::GetU16(body + 96);
  s.cpu_mhz = wire::GetU16(body + 98);
  const uint8_t* caption = body + 100;
  const uint8_t* caption_end = std::find(caption, caption + kCaptionBytes, 0);
  s.disk_caption.assign(reinterpret_cast<const char*>(caption), caption_end - caption);
  for (size_t i = 0; i < s.speeds.size(); ++i) {
    const uint32_t bits = wire::GetU32(body + 124 + 4 * i);
    std::memcpy(&s.speeds[i], &bits, sizeof(float));
  }
  return s;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const uint8_t b = p[i];
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
      ++i;
    } else if (b >= 0x20 && b < 0x80) {
      out += static_cast<char>(b);
      ++i;
    } else if (size_t length = b >= 0x80 ? Utf8Sequence(p + i, n - i) : 0; length != 0) {
      out.append(text, i, length);
      i += length;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", b);
      out += escape;
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string DownloadStatJson(const DownloadStat& s, const StatOrigin& origin) {
  std::string out = "{\"time\":" + std::to_string(origin.time);
  AppendText(&out, "source", wire::IpText(origin.ip) + ":" + std::to_string(origin.port));
  AppendNumber(&out, "user_id", origin.user_id);
  std::string swarm;
  for (uint8_t b : origin.swarm) {
    char hex[3];
    std::snprintf(hex, sizeof(hex), "%02x", b);
    swarm += hex;
  }
  AppendText(&out, "swarm", swarm);
  AppendNumber(&out, "begin_state", s.begin_state);
  AppendText(&out, "begin_state_name", BeginStateName(s.begin_state));
  AppendNumber(&out, "end_state", s.end_state);
  AppendText(&out, "end_state_name", EndStateName(s.end_state));
  AppendUnsigned(&out, "http_threads", s.http_threads);
  AppendText(&out, "dns", wire::IpText(s.dns));
  AppendUnsigned(&out, "p2p_bytes", s.p2p_bytes);
  AppendUnsigned(&out, "http_bytes", s.http_bytes);
  AppendNumber(&out, "start_time", s.start_time);
  AppendNumber(&out, "end_time", s.end_time);
  AppendUnsigned(&out, "version", s.version);
  out += ",\"http_sources\":[";
  for (uint32_t i = 0; i < s.http_source_count; ++i) {
    if (i != 0) out += ',';
    out += JsonString(wire::IpText(s.http_sources[i]));
  }
  out += ']';
  char mac[18];
  std::snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", s.mac[0], s.mac[1], s.mac[2],
                s.mac[3], s.mac[4], s.mac[5]);
  AppendText(&out, "mac", mac);
  AppendUnsigned(&out, "memory_mib", s.memory_mib);
  AppendUnsigned(&out, "cpu_mhz", s.cpu_mhz);
  AppendText(&out, "disk_caption", s.disk_caption);
  out += ",\"speeds\":[";
  for (size_t i = 0; i < s.speeds.size(); ++i) {
    if (i != 0) out += ',';
    out += FloatText(s.speeds[i]);
  }
  out += "]}";
  return out;
}

}  // namespace brelvane::mainserver
