// SPDX-License-Identifier: MIT
// The statistics message byte by byte, its console line, the once-per-run
// rule and the inventory steps.
#include "report/download_stat.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "report_fakes.h"

namespace brelvane {
namespace {

// A fake machine: the workstation of the test data, as the fake inventory.
FakeInventory Workstation() {
  FakeInventory inv;
  inv.mac = std::array<uint8_t, 6>{0x00, 0x1a, 0x2b, 0x0c, 0x0d, 0xff};
  inv.dns = 0xC0A80101;
  inv.classes[10] = {{{"Caption", "Samsung SSD 980 PRO 2TB NVMe-X"}}, {{"Caption", "Other"}}};
  inv.classes[31] = {{{"Capacity", "2147483648"}}, {{"Capacity", "2147483648"}}};
  inv.classes[43] = {{{"MaxClockSpeed", "3400"}}};
  return inv;
}

const uint8_t* Body(const DownloadStatMessage& m) { return m.data() + wire::kHeaderSize; }

TEST(DownloadStatTest, BodyFieldsAtTheirOffsetsAndTheConsoleLine) {
  DownloadStatInputs in;
  in.begin_state = 1, in.end_state = kEndStateCancel, in.start_time = 1000;
  in.end_time = 1500;  // recorded, but only a completion keeps it
  in.p2p_bytes = 6144000, in.http_bytes = 0x100000000, in.version = 9983;
  in.http_thread_num = 260;  // low 8 bits: 4
  for (uint32_t i = 0; i < 10; ++i) in.http_sources.push_back({0x0A000000u + i, (i * 7) % 10 + 1});
  for (size_t i = 0; i < kSpeedWindows; ++i) in.speeds[i] = i < 3 ? 12.5f * (i + 1) : -1.0f;
  FakeInventory inv = Workstation();
  const DownloadStatReport r = BuildDownloadStat({0, 7, 42, 0xDEADBEEF, 0}, in, 1600, inv);

  // Expected body, laid out field by field (little-endian).
  std::array<uint8_t, wire::kDownloadStatBody> want{};
  const auto put = [&want](size_t offset, size_t size, uint64_t v) {
    for (size_t i = 0; i < size; ++i) want[offset + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, 1, 1), put(1, 1, 3), put(2, 1, 4), put(4, 4, 0xC0A80101), put(16, 8, 6144000);
  put(24, 8, 0x100000000), put(32, 8, 1000), put(40, 8, 1600), put(48, 4, 8), put(52, 4, 9983);
  const uint32_t by_hits[8] = {7, 4, 1, 8, 5, 2, 9, 6};  // hits 10, 9, 8, ... 3
  for (size_t i = 0; i < 8; ++i) put(56 + 4 * i, 4, 0x0A000000u + by_hits[i]);
  put(88, 6, 0xFF0D0C2B1A00), put(96, 2, 4096), put(98, 2, 3400);
  std::memcpy(want.data() + 100, "Samsung SSD 980 PRO 2TB ", 24);
  for (size_t i = 0; i < 10; ++i) put(124 + 4 * i, 4, std::bit_cast<uint32_t>(in.speeds[i]));
  EXPECT_TRUE(std::equal(want.begin(), want.end(), Body(r.plain)));

  uint8_t header[wire::kHeaderSize];
  wire::EncodeHeader({110, 7, 42, 0xDEADBEEF, 164}, header);
  EXPECT_TRUE(std::equal(header, header + wire::kHeaderSize, r.plain.begin()));
  DownloadStatMessage scrambled = r.plain;  // the header stays readable
  for (size_t i = wire::kHeaderSize; i < scrambled.size(); ++i) scrambled[i] ^= 0x6B;
  EXPECT_EQ(ScrambleDownloadStat(r.plain), scrambled);
  EXPECT_EQ(r.line,
            "ReportDownloadStat dns=192.168.1.1 p2p=0,6144000 http=0,4294967296 p2pspeed=10 "
            "httpspeed=6990 start=1000 end=1600 beginstate=Continue endstate=Cancel "
            "macaddr=0.1a.2b.c.d.ff. harddiskcaption=Samsung SSD 980 PRO 2TB  "
            "memerycapacity=4096 cpumaxclockspeed=3400 http0=7.0.0.10 http1=4.0.0.10 "
            "http2=1.0.0.10 http3=8.0.0.10 http4=5.0.0.10 http5=2.0.0.10 http6=9.0.0.10 "
            "http7=6.0.0.10 ");
}

TEST(DownloadStatTest, EndStatesOfARunAndOneReportPerRun) {
  struct Call { int32_t end_state; int64_t recorded_end, now; };
  struct Case { const char* name; int32_t begin_state; int64_t start; std::vector<Call> calls;
                uint8_t begin_byte, end_byte; const char* line_part; };
  const Case cases[] = {
      {"quit while downloading", 1, 1000, {{3, 0, 1300}}, 1, 3,
       "p2pspeed=20 httpspeed=0 start=1000 end=1300 beginstate=Continue endstate=Cancel "},
      {"completion, quit much later", 0, 1000, {{4, 1200, 1205}, {3, 1200, 9000}}, 0, 4,
       "p2pspeed=30 httpspeed=0 start=1000 end=1200 beginstate=Begin endstate=Finish "},
      {"seed download failure", -1, 1000, {{-1, 0, 1100}}, 0xFF, 5,
       "p2pspeed=60 httpspeed=0 start=1000 end=1100 beginstate=Unknown endstate=Fail "},
      {"start and end in one second", 2, 5000, {{6, 0, 5000}}, 2, 6,
       "p2pspeed=6000 httpspeed=0 start=5000 end=5000 beginstate=Complete endstate=Restart "},
      {"clock went back", 7, 5000, {{9, 0, 4000}}, 7, 9,
       "p2pspeed=6000 httpspeed=0 start=5000 end=4000 beginstate=Unknown endstate=Unknown "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeInventory inv = Workstation();
    std::vector<DownloadStatMessage> sent;
    int64_t now = 0;
    DownloadStatReporter reporter(
        inv, [] { return wire::MsgHeader{}; },
        [&sent](const DownloadStatMessage& m) { sent.push_back(m); }, [&now] { return now; });
    ConsoleCapture console;
    for (const Call& call : c.calls) {
      DownloadStatInputs in;
      in.begin_state = c.begin_state, in.end_state = call.end_state, in.start_time = c.start;
      in.end_time = call.recorded_end, in.p2p_bytes = 6000 * 1024;
      now = call.now;
      EXPECT_EQ(reporter.Report(in), &call == &c.calls.front());
    }
    ASSERT_EQ(sent.size(), 1u);
    const DownloadStatMessage plain = ScrambleDownloadStat(sent[0]);
    EXPECT_EQ(Body(plain)[0] << 8 | Body(plain)[1], c.begin_byte << 8 | c.end_byte);
    EXPECT_THAT(console.Lines(), testing::ElementsAre(testing::AllOf(
                                     testing::StartsWith("[Info]ReportDownloadStat "),
                                     testing::HasSubstr(c.line_part))));
    reporter.Rearm();
    EXPECT_TRUE(reporter.Report({}));
    EXPECT_EQ(sent.size(), 2u);
  }
}

TEST(DownloadStatTest, InventoryStepsFailAloneAndConvertTheirTexts) {
  struct Case { const char* name; bool init_ok; int failing_class;  // 0: none
                std::vector<std::string> capacities; std::string clock;
                std::vector<std::string> warnings; const char* line_part; };
  const std::string two_gib = "2147483648";
  const Case cases[] = {
      {"init fails", false, 0, {two_gib}, "3400", {"[Warning]SystemInfoViewer Init Fail : boom"},
       "harddiskcaption= memerycapacity=0 cpumaxclockspeed=0 "},
      {"disk fails", true, 10, {two_gib}, "3400",
       {"[Warning]SystemInfoViewer Get Win32_DiskDrive Fail : boom"},
       "harddiskcaption= memerycapacity=2048 cpumaxclockspeed=3400 "},
      {"memory fails", true, 31, {two_gib}, "3400",
       {"[Warning]SystemInfoViewer Get Win32_PhysicalMemory Fail : boom"},
       "PRO 2TB  memerycapacity=0 cpumaxclockspeed=3400 "},
      {"processor fails", true, 43, {two_gib}, "3400",
       {"[Warning]SystemInfoViewer Get Win32_Processor Fail : boom"},
       "memerycapacity=2048 cpumaxclockspeed=0 "},
      // 64 GiB is 65536 MiB: 0 in 16 bits, then +1 MiB; clock 70000 wraps.
      {"16-bit wrap", true, 0, {"68719476736", "1048576"}, "70000", {},
       "memerycapacity=1 cpumaxclockspeed=4464 "},
      {"texts read as numbers", true, 0, {"abc", " 3145728 MB", "-"}, " 2400MHz", {},
       "memerycapacity=3 cpumaxclockspeed=2400 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeInventory inv = Workstation();
    inv.init_ok = c.init_ok;
    inv.classes[31].clear();
    for (const std::string& text : c.capacities) inv.classes[31].push_back({{"Capacity", text}});
    inv.classes[43] = {{{"MaxClockSpeed", c.clock}}};
    inv.classes.erase(c.failing_class);
    ConsoleCapture console;
    const DownloadStatReport r = BuildDownloadStat({}, DownloadStatInputs{}, 0, inv);
    EXPECT_EQ(console.Lines(), c.warnings);
    EXPECT_EQ(inv.queries, c.init_ok ? 3 : 0);
    EXPECT_NE(r.line.find(c.line_part), std::string::npos) << r.line;
  }
}

TEST(DownloadStatTest, SystemInventoryOverFakeTrees) {
  struct Case { const char* tree; const char* line_part; size_t warnings; };
  const Case cases[] = {
      {"workstation", "dns=192.168.1.1 .* macaddr=0.1a.2b.c.d.ff. harddiskcaption=Samsung SSD "
                      "980 PRO 2TB  memerycapacity=4096 cpumaxclockspeed=3400 ", 0},
      {"vm", "dns=0.0.0.0 .* macaddr=0.0.0.0.0.0. harddiskcaption= memerycapacity=512 "
             "cpumaxclockspeed=2097 ", 0},
      {"minimal", "dns=127.0.0.53 .* harddiskcaption= memerycapacity=4096 cpumaxclockspeed=0 ", 2},
  };
  for (const Case& c : cases) {
    SystemInventory inv(DataRoot(c.tree));
    ConsoleCapture console;
    const DownloadStatReport r = BuildDownloadStat({}, DownloadStatInputs{}, 0, inv);
    EXPECT_THAT(r.line, testing::ContainsRegex(c.line_part)) << c.tree;
    EXPECT_EQ(console.Lines().size(), c.warnings) << c.tree;
  }
}

}  // namespace
}  // namespace brelvane
