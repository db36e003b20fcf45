// SPDX-License-Identifier: MIT
// Statistics messages become JSON lines holding the values the client sent.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "mainserver/mainserver_test_util.h"

namespace brelvane::mainserver {
namespace {

using testing_util::CoreTest;
using testing_util::JsonField;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

DownloadStat Typical() {
  DownloadStat f{.begin_state = 1, .end_state = 4, .http_threads = 4, .dns = 0xC0A80101,
                 .p2p_bytes = 0x1234567890ull, .http_bytes = 987654321,
                 .start_time = 1700000000, .end_time = 1700000321, .http_source_count = 2,
                 .version = 17, .http_sources = {0x0A010203, 0xC0A800FE},
                 .mac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe}, .memory_mib = 4096, .cpu_mhz = 3200,
                 .disk_caption = "WDC WD10EZEX-08WN4A0", .speeds = {}};
  for (size_t i = 0; i < 10; ++i) f.speeds[i] = i < 7 ? 512.25f / (i + 1) : -1.0f;
  return f;
}

TEST_F(CoreTest, StatisticsLinesDecodeToTheValuesSent) {
  const struct {
    const char* name;
    void (*change)(DownloadStat*);
    std::string caption_json;
  } cases[] = {
      {"typical run", [](DownloadStat*) {}, Quoted("WDC WD10EZEX-08WN4A0")},
      {"unknown states, no sources, 26-byte caption",
       [](DownloadStat* f) {
         f->begin_state = -1, f->end_state = 9, f->http_source_count = 0;
         f->disk_caption = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
       },
       Quoted("ABCDEFGHIJKLMNOPQRSTUVWX")},
      {"source count past eight, escapes, non-UTF-8 bytes, NaN",
       [](DownloadStat* f) {
         f->http_source_count = 12, f->begin_state = 2, f->end_state = 6;
         f->http_sources[7] = 0x01020304;
         f->disk_caption = std::string("a\"b\\c\x01\xe4\xb8\xad\xff", 10);
         f->speeds[3] = std::numeric_limits<float>::quiet_NaN();
       },
       Quoted("a\\\"b\\\\c\\u0001\xe4\xb8\xad\\u00ff")},
  };
  testing_util::Client c = MakeClient(3);
  ASSERT_EQ(Login(&c, 5).reply_code, kReplyAccepted);
  std::string swarm;
  for (uint8_t b : testing_util::SwarmHash(5)) {
    swarm += "0123456789abcdef"[b >> 4];
    swarm += "0123456789abcdef"[b & 15];
  }
  for (const auto& k : cases) {
    DownloadStat f = Typical();
    k.change(&f);
    outlet_.lines.clear();
    Send(c, testing_util::BuildStatMessage(c, f));
    ASSERT_EQ(outlet_.lines.size(), 1u) << k.name;
    const std::string& line = outlet_.lines[0];
    std::string sources = "[";
    for (size_t i = 0; i < std::min<size_t>(f.http_source_count, 8); ++i) {
      sources += (i ? "," : "") + Quoted(wire::IpText(f.http_sources[i]));
    }
    const std::pair<const char*, std::string> expected[] = {
        {"time", std::to_string(clock_.wall)}, {"source", Quoted("10.0.0.4:4003")},
        {"user_id", std::to_string(c.id)}, {"swarm", Quoted(swarm)},
        {"begin_state", std::to_string(f.begin_state)},
        {"begin_state_name",
         Quoted(f.begin_state == 2 ? "Complete" : f.begin_state == 1 ? "Continue" : "Unknown")},
        {"end_state", std::to_string(f.end_state)},
        {"end_state_name",
         Quoted(f.end_state == 4 ? "Finish" : f.end_state == 6 ? "Restart" : "Unknown")},
        {"http_threads", "4"}, {"dns", Quoted("192.168.1.1")},
        {"p2p_bytes", std::to_string(f.p2p_bytes)}, {"http_bytes", std::to_string(f.http_bytes)},
        {"start_time", std::to_string(f.start_time)}, {"end_time", std::to_string(f.end_time)},
        {"version", "17"}, {"http_sources", sources + "]"}, {"mac", Quoted("00:1a:2b:3c:4d:fe")},
        {"memory_mib", "4096"}, {"cpu_mhz", "3200"}, {"disk_caption", k.caption_json}};
    for (const auto& [key, value] : expected) EXPECT_EQ(JsonField(line, key), value) << k.name;
    const std::string speeds = JsonField(line, "speeds");
    const char* p = speeds.c_str() + 1;
    for (size_t i = 0; i < 10; ++i) {  // exact: nine digits bring a float back
      char* end = const_cast<char*>(p) + 4;
      if (std::isnan(f.speeds[i])) {
        EXPECT_EQ(std::string(p, 4), "null");
      } else {
        EXPECT_EQ(std::strtof(p, &end), f.speeds[i]) << k.name << " speed " << i;
      }
      EXPECT_EQ(*end, i < 9 ? ',' : ']');
      p = end + 1;
    }
  }
}

}  // namespace
}  // namespace brelvane::mainserver
