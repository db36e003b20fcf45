// SPDX-License-Identifier: MIT
#include "report/download_stat.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/console_log.h"
#include "platform/clock.h"

namespace brelvane {
namespace {

// Body offsets.
constexpr size_t kBeginState = 0;
constexpr size_t kEndState = 1;
constexpr size_t kThreadNum = 2;
constexpr size_t kDns = 4;
constexpr size_t kReservedP2p = 8;
constexpr size_t kReservedHttp = 12;
constexpr size_t kP2pBytes = 16;
constexpr size_t kHttpBytes = 24;
constexpr size_t kStartTime = 32;
constexpr size_t kEndTime = 40;
constexpr size_t kSourceCount = 48;
constexpr size_t kVersion = 52;
constexpr size_t kSources = 56;
constexpr size_t kMacAddress = 88;
constexpr size_t kMemory = 96;
constexpr size_t kClock = 98;
constexpr size_t kCaption = 100;
constexpr size_t kCaptionBytes = 24;
constexpr size_t kSpeeds = 124;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The reading of a "%I64u" conversion: leading white space, an optional
// sign (a minus negates modulo 2^64), decimal digits; 0 when no digit
// follows.  An overflow saturates.
uint64_t ParseCapacity(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? 0 - value : value;
}

// The reading of atoi: white space, an optional sign, leading digits;
// clamped to the 32-bit range.
int32_t ParseLeadingInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t{INT32_MAX} + 1);
  }
  if (negative) return static_cast<int32_t>(std::max<int64_t>(-value, INT32_MIN));
  return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

const std::string* Property(const platform::SystemInfoObject& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &it->second;
}

void Warn(const char* what, const StatInventory& inventory) {
  ConsoleLog::Get().Print(ConsoleLevel::Warning,
                          std::string("SystemInfoViewer ") + what + " : " + inventory.LastError());
}

// Disk caption, memory and processor clock; a failing step leaves its
// field 0.
void FillInventory(StatInventory& inventory, uint8_t* body) {
  if (!inventory.Init()) {
    Warn("Init Fail", inventory);
    return;
  }
  std::vector<platform::SystemInfoObject> objects;
  if (!inventory.Query(platform::kWin32DiskDrive, &objects)) {
    Warn("Get Win32_DiskDrive Fail", inventory);
  } else if (!objects.empty()) {
    if (const std::string* caption = Property(objects.front(), "Caption")) {
      std::memcpy(body + kCaption, caption->data(), std::min(caption->size(), kCaptionBytes));
    }
  }
  if (!inventory.Query(platform::kWin32PhysicalMemory, &objects)) {
    Warn("Get Win32_PhysicalMemory Fail", inventory);
  } else {
    uint16_t mebibytes = 0;
    for (const platform::SystemInfoObject& module : objects) {
      if (const std::string* capacity = Property(module, "Capacity")) {
        mebibytes = static_cast<uint16_t>(mebibytes + ParseCapacity(*capacity) / 1048576);
      }
    }
    wire::PutU16(body + kMemory, mebibytes);
  }
  if (!inventory.Query(platform::kWin32Processor, &objects)) {
    Warn("Get Win32_Processor Fail", inventory);
  } else if (!objects.empty()) {
    if (const std::string* clock = Property(objects.front(), "MaxClockSpeed")) {
      wire::PutU16(body + kClock, static_cast<uint16_t>(ParseLeadingInt(*clock)));
    }
  }
  inventory.Shutdown();
}

std::string Number(uint64_t v) { return std::to_string(v); }
std::string Number(int64_t v) { return std::to_string(v); }

// The console text, read back from the body; the states come whole because
// the body keeps their low bytes only.
std::string ReportLine(const uint8_t* body, int32_t begin_state, int32_t end_state) {
  const int64_t start = static_cast<int64_t>(wire::GetU64(body + kStartTime));
  const int64_t end = static_cast<int64_t>(wire::GetU64(body + kEndTime));
  const int32_t elapsed =
      static_cast<int32_t>(static_cast<uint32_t>(end) - static_cast<uint32_t>(start));
  const int64_t d = std::max<int32_t>(1, elapsed);
  const uint64_t p2p = wire::GetU64(body + kP2pBytes);
  const uint64_t http = wire::GetU64(body + kHttpBytes);

  std::string line = "ReportDownloadStat ";
  line += "dns=" + wire::IpText(wire::GetU32(body + kDns)) + " ";
  line += "p2p=" + Number(uint64_t{wire::GetU32(body + kReservedP2p)}) + "," + Number(p2p) + " ";
  line += "http=" + Number(uint64_t{wire::GetU32(body + kReservedHttp)}) + "," + Number(http) + " ";
  line += "p2pspeed=" + Number(static_cast<int64_t>(p2p) / d / 1024) + " ";
  line += "httpspeed=" + Number(static_cast<int64_t>(http) / d / 1024) + " ";
  line += "start=" + Number(start) + " end=" + Number(end) + " ";
  line += std::string("beginstate=") + BeginStateName(begin_state) +
          " endstate=" + EndStateName(end_state) + " ";
  line += "macaddr=";
  for (size_t i = 0; i < 6; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%x.", static_cast<unsigned>(body[kMacAddress + i]));
    line += hex;
  }
  const char* caption = reinterpret_cast<const char*>(body + kCaption);
  line += " harddiskcaption=" + std::string(caption, ::strnlen(caption, kCaptionBytes)) + " ";
  line += "memerycapacity=" + Number(uint64_t{wire::GetU16(body + kMemory)}) + " ";
  line += "cpumaxclockspeed=" + Number(uint64_t{wire::GetU16(body + kClock)}) + " ";
  const uint32_t sources = std::min<uint32_t>(wire::GetU32(body + kSourceCount), kMaxHttpSources);
  for (uint32_t i = 0; i < sources; ++i) {
    // The stored host-order number read as a network-order address: its
    // bytes in memory (little-endian) order, lowest first.
    const uint8_t* ip = body + kSources + 4 * i;
    line += "http" + Number(uint64_t{i}) + "=" + Number(uint64_t{ip[0]}) + "." +
            Number(uint64_t{ip[1]}) + "." + Number(uint64_t{ip[2]}) + "." +
            Number(uint64_t{ip[3]}) + " ";
  }
  return line;
}

}  // namespace

DownloadStatReport BuildDownloadStat(const wire::MsgHeader& header, const DownloadStatInputs& in,
                                     int64_t now, StatInventory& inventory) {
  DownloadStatReport report;
  report.plain.fill(0);
  wire::MsgHeader h = header;
  h.type = wire::kDownloadStat;
  h.length = static_cast<uint32_t>(wire::kDownloadStatBody);
  wire::EncodeHeader(h, report.plain.data());
  uint8_t* body = report.plain.data() + wire::kHeaderSize;

  const int32_t end_state = in.end_state == -1 ? kEndStateFail : in.end_state;
  const int64_t end_time = end_state == kEndStateFinish ? in.end_time : now;
  body[kBeginState] = static_cast<uint8_t>(in.begin_state);
  body[kEndState] = static_cast<uint8_t>(end_state);
  wire::PutU64(body + kP2pBytes, in.p2p_bytes);
  wire::PutU64(body + kHttpBytes, in.http_bytes);
  wire::PutU64(body + kStartTime, static_cast<uint64_t>(in.start_time));
  wire::PutU64(body + kEndTime, static_cast<uint64_t>(end_time));
  wire::PutU32(body + kVersion, in.version);

  std::array<uint8_t, 6> mac{};
  if (inventory.AdapterAddress(&mac)) std::memcpy(body + kMacAddress, mac.data(), mac.size());
  wire::PutU32(body + kDns, inventory.DnsServer());

  std::vector<HttpSourceHits> sources = in.http_sources;
  std::stable_sort(sources.begin(), sources.end(),
                   [](const HttpSourceHits& a, const HttpSourceHits& b) {
                     return a.hits > b.hits;
                   });
  const size_t n = std::min(sources.size(), kMaxHttpSources);
  wire::PutU32(body + kSourceCount, static_cast<uint32_t>(n));
  for (size_t i = 0; i < n; ++i) wire::PutU32(body + kSources + 4 * i, sources[i].ip);

  FillInventory(inventory, body);

  for (size_t i = 0; i < kSpeedWindows; ++i) {
    wire::PutU32(body + kSpeeds + 4 * i, std::bit_cast<uint32_t>(in.speeds[i]));
  }
  body[kThreadNum] = static_cast<uint8_t>(in.http_thread_num);

  report.line = ReportLine(body, in.begin_state, end_state);
  return report;
}

DownloadStatMessage ScrambleDownloadStat(const DownloadStatMessage& plain) {
  DownloadStatMessage scrambled = plain;
  for (size_t i = wire::kHeaderSize; i < scrambled.size(); ++i) scrambled[i] ^= wire::kReportXorKey;
  return scrambled;
}

DownloadStatReporter::DownloadStatReporter(StatInventory& inventory, HeaderSource next_header,
                                           Sender send, Clock now)
    : inventory_(inventory),
      next_header_(std::move(next_header)),
      send_(std::move(send)),
      now_(std::move(now)) {}

bool DownloadStatReporter::Report(const DownloadStatInputs& in) {
  // Claimed before the work, so that reports racing from the start, status
  // and main threads send once between them.
  if (sent_.exchange(true, std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(inventory_mu_);
  const int64_t now = now_ ? now_() : static_cast<int64_t>(platform::NowSeconds());
  const wire::MsgHeader header = next_header_ ? next_header_() : wire::MsgHeader{};
  const DownloadStatReport report = BuildDownloadStat(header, in, now, inventory_);
  if (send_) send_(ScrambleDownloadStat(report.plain));
  ConsoleLog::Get().Print(ConsoleLevel::Info, report.line);
  return true;
}

}  // namespace brelvane
