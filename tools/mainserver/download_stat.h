// SPDX-License-Identifier: MIT
// The end-of-run statistics message (CSMessageDownloadStat, 184 bytes) as the
// main server reads it, and the JSON line it appends to the statistics file.
//
// The 164 body bytes arrive XOR-ed with wire::kReportXorKey.  Field by field
// (body offsets): 0 begin state, 1 end state (signed, low 8 bits),
// 2 HttpDownloadThreadNum, 4 DNS server (host-order IPv4), 16 P2P bytes,
// 24 HTTP bytes, 32 start, 40 end (signed seconds), 48 count of HTTP sources,
// 52 version, 56 eight HTTP source addresses, 88 six-byte hardware address,
// 96 memory MiB, 98 processor MHz, 100 disk caption (24 bytes, zero-padded),
// 124 ten float speeds in KB/s, newest first.
//
// Addresses are host-order numbers written little-endian, like every other
// address of the wire format; the HTTP sources too (the updater's own
// console line prints them byte-reversed, a quirk kept for its readers, not
// here).  The source count is clamped to 8.
//
// One JSON object per line, keys in this order:
//   {"time":1700000000,"source":"10.0.0.2:4000","user_id":7,
//    "swarm":"<32 hex digits>","begin_state":1,"begin_state_name":"Continue",
//    "end_state":4,"end_state_name":"Finish","http_threads":4,
//    "dns":"192.168.1.1","p2p_bytes":1,"http_bytes":2,"start_time":3,
//    "end_time":4,"version":5,"http_sources":["1.2.3.4"],
//    "mac":"00:1a:2b:3c:4d:5e","memory_mib":4096,"cpu_mhz":3200,
//    "disk_caption":"ST1000DM003","speeds":[512.5,-1,...]}
// Speeds that are not finite are written as null.  The caption is cut at its
// first zero byte; text that is not UTF-8 is kept byte for byte as \u00XX.
//
// Thread safety: plain functions and values.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "p2p/wire/wire_format.h"

namespace brelvane::mainserver {

struct DownloadStat {
  int8_t begin_state = -1;
  int8_t end_state = -1;
  uint8_t http_threads = 0;
  uint32_t dns = 0;                    // host order
  uint64_t p2p_bytes = 0;
  uint64_t http_bytes = 0;
  int64_t start_time = 0;
  int64_t end_time = 0;
  uint32_t http_source_count = 0;      // clamped to 8
  uint32_t version = 0;
  std::array<uint32_t, 8> http_sources{};  // host order
  std::array<uint8_t, 6> mac{};
  uint16_t memory_mib = 0;
  uint16_t cpu_mhz = 0;
  std::string disk_caption;            // at most 24 bytes
  std::array<float, 10> speeds{};
};

// Decodes a whole CSMessageDownloadStat whose body is still scrambled.
// REQUIRES: `message` holds wire::kDownloadStatSize bytes.
DownloadStat DecodeDownloadStat(const uint8_t* message);

// The state names of the statistics lines (defined with the wire format).
using wire::BeginStateName;
using wire::EndStateName;

// Who sent the message and when it arrived.
struct StatOrigin {
  int64_t time = 0;       // wall-clock seconds since the epoch
  uint32_t ip = 0;        // observed source, host order
  uint16_t port = 0;
  int32_t user_id = -1;
  wire::Md5Bytes swarm{};
};

// The JSON object described above, without a line end.
std::string DownloadStatJson(const DownloadStat& stat, const StatOrigin& origin);

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace brelvane::mainserver
