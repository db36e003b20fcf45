// SPDX-License-Identifier: MIT
// The statistics message byte by byte, its console line, the once-per-run
// rule and the inventory steps; the Linux inventory itself over the fake
// trees of data/.
#include "report/download_stat.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <optional>

#include "app/console_capture.h"
#include "platform/system_info.h"

namespace brelvane {
namespace {

using namespace platform;  // NOLINT: the inventory
using testing::ConsoleCapture;

// Answers what the test put in: a class missing from `classes` fails.
class FakeInventory : public StatInventory {
 public:
  bool init_ok = true;
  std::map<int, std::vector<platform::SystemInfoObject>> classes;
  std::optional<std::array<uint8_t, 6>> mac;
  uint32_t dns = 0;
  int queries = 0;

  bool Init() override { return init_ok; }
  bool Query(int class_index, std::vector<platform::SystemInfoObject>* out) override {
    *out = classes.contains(class_index) ? classes[class_index] : std::vector<platform::SystemInfoObject>{};
    return ++queries, classes.contains(class_index);
  }
  void Shutdown() override {}
  std::string LastError() const override { return "boom"; }
  bool AdapterAddress(std::array<uint8_t, 6>* out) override {
    return *out = mac.value_or(std::array<uint8_t, 6>{}), mac.has_value();
  }
  uint32_t DnsServer() override { return dns; }
};

// A fake machine: the workstation of the test data, as the fake inventory.
FakeInventory Workstation() {
  FakeInventory inv;
  inv.mac = std::array<uint8_t, 6>{0x00, 0x1a, 0x2b, 0x0c, 0x0d, 0xff}, inv.dns = 0xC0A80101;
  inv.classes[10] = {{{"Caption", "Samsung SSD 980 PRO 2TB NVMe-X"}}, {{"Caption", "Other"}}};
  inv.classes[31] = {{{"Capacity", "2147483648"}}, {{"Capacity", "2147483648"}}};
  inv.classes[43] = {{{"MaxClockSpeed", "3400"}}};
  return inv;
}

TEST(DownloadStatTest, BodyFieldsAtTheirOffsetsAndTheConsoleLine) {
  // The recorded end time: only a completion keeps it; the thread count: its low 8 bits (4).
  DownloadStatInputs in{.begin_state = 1, .end_state = kEndStateCancel, .start_time = 1000, .end_time = 1500,
                        .p2p_bytes = 6144000, .http_bytes = 0x100000000, .http_thread_num = 260,
                        .version = 9983, .http_sources = {}};
  for (uint32_t i = 0; i < 10; ++i) in.http_sources.push_back({0x0A000000u + i, (i * 7) % 10 + 1});
  for (size_t i = 0; i < kSpeedWindows; ++i) in.speeds[i] = i < 3 ? 12.5f * (i + 1) : -1.0f;
  FakeInventory inv = Workstation();
  const DownloadStatReport r = BuildDownloadStat({0, 7, 42, 0xDEADBEEF, 0}, in, 1600, inv);

  // Expected message, laid out field by field (little-endian); the body from 20.
  DownloadStatMessage want{};
  wire::EncodeHeader({110, 7, 42, 0xDEADBEEF, 164}, want.data());
  const auto put = [&want](size_t offset, size_t size, uint64_t v) {
    for (size_t i = 0; i < size; ++i) want[20 + offset + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, 1, 1), put(1, 1, 3), put(2, 1, 4), put(4, 4, 0xC0A80101), put(16, 8, 6144000);
  put(24, 8, 0x100000000), put(32, 8, 1000), put(40, 8, 1600), put(48, 4, 8), put(52, 4, 9983);
  const uint32_t by_hits[8] = {7, 4, 1, 8, 5, 2, 9, 6};  // hits 10, 9, 8, ... 3
  for (size_t i = 0; i < 8; ++i) put(56 + 4 * i, 4, 0x0A000000u + by_hits[i]);
  put(88, 6, 0xFF0D0C2B1A00), put(96, 2, 4096), put(98, 2, 3400);
  std::memcpy(want.data() + 120, "Samsung SSD 980 PRO 2TB ", 24);
  for (size_t i = 0; i < 10; ++i) put(124 + 4 * i, 4, std::bit_cast<uint32_t>(in.speeds[i]));
  EXPECT_EQ(r.plain, want);
  for (size_t i = wire::kHeaderSize; i < want.size(); ++i) want[i] ^= 0x6B;  // header stays readable
  EXPECT_EQ(ScrambleDownloadStat(r.plain), want);
  EXPECT_EQ(r.line,
            "ReportDownloadStat dns=192.168.1.1 p2p=0,6144000 http=0,4294967296 p2pspeed=10 httpspeed=6990 "
            "start=1000 end=1600 beginstate=Continue endstate=Cancel macaddr=0.1a.2b.c.d.ff. "
            "harddiskcaption=Samsung SSD 980 PRO 2TB  memerycapacity=4096 cpumaxclockspeed=3400 "
            "http0=7.0.0.10 http1=4.0.0.10 http2=1.0.0.10 http3=8.0.0.10 http4=5.0.0.10 http5=2.0.0.10 "
            "http6=9.0.0.10 http7=6.0.0.10 ");
}

TEST(DownloadStatTest, EndStatesOfARunAndOneReportPerRun) {
  // Each run reports once; a second call (quitting 9000 s later) is not sent.
  const struct { int8_t begin; int64_t start; int8_t end; int64_t recorded_end, now;
                 uint8_t end_byte; const char* line_part; } cases[] = {
      {1, 1000, 3, 0, 1300, 3,  // quit while downloading
       "p2pspeed=20 httpspeed=0 start=1000 end=1300 beginstate=Continue endstate=Cancel "},
      {0, 1000, 4, 1200, 1205, 4,  // completion: its own end time
       "p2pspeed=30 httpspeed=0 start=1000 end=1200 beginstate=Begin endstate=Finish "},
      {-1, 1000, -1, 0, 1100, 5,  // seed download failure
       "p2pspeed=60 httpspeed=0 start=1000 end=1100 beginstate=Unknown endstate=Fail "},
      {2, 5000, 6, 0, 5000, 6,  // start and end in one second
       "p2pspeed=6000 httpspeed=0 start=5000 end=5000 beginstate=Complete endstate=Restart "},
      {7, 5000, 9, 0, 4000, 9,  // the clock went back
       "p2pspeed=6000 httpspeed=0 start=5000 end=4000 beginstate=Unknown endstate=Unknown "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line_part);
    FakeInventory inv = Workstation();
    std::vector<DownloadStatMessage> sent;
    int64_t now = c.now;
    const auto send = [&](const DownloadStatMessage& m) { sent.push_back(m); };
    DownloadStatReporter reporter(inv, [] { return wire::MsgHeader{}; }, send, [&] { return now; });
    ConsoleCapture console;
    DownloadStatInputs in{c.begin, c.end, c.start, c.recorded_end, 6000 * 1024, 0, 0, 0, {}};
    EXPECT_TRUE(reporter.Report(in));
    now = 9000, in.end_state = kEndStateCancel;
    EXPECT_FALSE(reporter.Report(in));
    ASSERT_EQ(sent.size(), 1u);
    const DownloadStatMessage plain = ScrambleDownloadStat(sent[0]);
    EXPECT_EQ(plain[20] << 8 | plain[21], uint8_t(c.begin) << 8 | c.end_byte);
    EXPECT_THAT(console.Lines(), ::testing::ElementsAre(::testing::AllOf(
                                     ::testing::StartsWith("[Info]ReportDownloadStat "),
                                     ::testing::HasSubstr(c.line_part))));
    reporter.Rearm();
    EXPECT_TRUE(reporter.Report({}));
    EXPECT_EQ(sent.size(), 2u);
  }
}

TEST(DownloadStatTest, InventoryStepsFailAloneAndConvertTheirTexts) {
  struct Case { bool init_ok; int failing_class;  // 0: none
                std::vector<std::string> capacities; std::string clock;
                const char* failure; const char* line_part; };  // failure: "" for none
  const std::string two_gib = "2147483648";
  const Case cases[] = {
      {false, 0, {two_gib}, "3400", "Init", "harddiskcaption= memerycapacity=0 cpumaxclockspeed=0 "},
      {true, 10, {two_gib}, "3400", "Get Win32_DiskDrive",
       "harddiskcaption= memerycapacity=2048 cpumaxclockspeed=3400 "},
      {true, 31, {two_gib}, "3400", "Get Win32_PhysicalMemory",
       "PRO 2TB  memerycapacity=0 cpumaxclockspeed=3400 "},
      {true, 43, {two_gib}, "3400", "Get Win32_Processor", "memerycapacity=2048 cpumaxclockspeed=0 "},
      // 64 GiB is 65536 MiB: 0 in 16 bits, then +1 MiB; clock 70000 wraps.
      {true, 0, {"68719476736", "1048576"}, "70000", "", "memerycapacity=1 cpumaxclockspeed=4464 "},
      {true, 0, {"abc", " 3145728 MB", "-"}, " 2400MHz", "", "memerycapacity=3 cpumaxclockspeed=2400 "},
  };
  for (const Case& c : cases) {
    FakeInventory inv = Workstation();
    inv.init_ok = c.init_ok, inv.classes[31].clear();
    for (const std::string& text : c.capacities) inv.classes[31].push_back({{"Capacity", text}});
    inv.classes[43] = {{{"MaxClockSpeed", c.clock}}}, inv.classes.erase(c.failing_class);
    ConsoleCapture console;
    const DownloadStatReport r = BuildDownloadStat({}, DownloadStatInputs{}, 0, inv);
    EXPECT_EQ(console.Lines(), *c.failure ? std::vector<std::string>{std::string("[Warning]SystemInfo"
                                   "Viewer ") + c.failure + " Fail : boom"} : std::vector<std::string>{});
    EXPECT_EQ(inv.queries, c.init_ok ? 3 : 0) << c.failure;
    EXPECT_THAT(r.line, ::testing::HasSubstr(c.line_part));
  }
}

// The Linux inventory over the fake sysfs/procfs trees of data/.
std::string DataRoot(const std::string& tree) {
  return std::string(BRELVANE_SOURCE_DIR) + "/tests/report/data/" + tree;
}

TEST(SystemInfoViewerTest, AnswersTheReportClassesFromTheFirstReadableSource) {
  // values: "-" where an object lacks the property; error: the failure names it.
  struct Case { const char* tree; int class_index; const char* property;
                std::vector<std::string> values; const char* error; };
  const Case cases[] = {
      // Loop, dm- and sr devices skipped; the model is trimmed.
      {"workstation", 10, "Caption", {"Samsung SSD 980 PRO 2TB NVMe-X", "ST2000DM008-2FR1"}, ""},
      // DMI modules win over MemTotal; the empty slot is not a module.
      {"workstation", 31, "Capacity", {"2147483648", "2147483648"}, ""},
      {"workstation", 43, "MaxClockSpeed", {"3400"}, ""},
      {"vm", 10, "Caption", {"-"}, ""},                // virtio disk: no model
      {"vm", 31, "Capacity", {"536870912"}, ""},       // four 128 MiB memory blocks
      {"vm", 43, "MaxClockSpeed", {"2097"}, ""},       // cpu MHz 2096.535, rounded
      {"minimal", 31, "Capacity", {"4294967296"}, ""}, // MemTotal 3.73 GiB rounded up
      {"minimal", 10, "Caption", {}, "sys/block"}, {"minimal", 43, "MaxClockSpeed", {}, "proc/cpuinfo"},
      {"workstation", 2, "", {}, "Win32_Battery"}, {"workstation", 58, "", {}, "Win32_VoltageProbe"},
      {"workstation", 59, "", {}, "index 59"}, {"workstation", -1, "", {}, "index -1"},
      {"does-not-exist", 43, "", {}, "not initialised"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tree) + " class " + std::to_string(c.class_index));
    SystemInfoViewer viewer(DataRoot(c.tree));
    if (!viewer.Init()) { EXPECT_THAT(viewer.last_error(), ::testing::HasSubstr("Error code = 2")); }
    std::vector<SystemInfoObject> objects{{{"stale", "x"}}};
    EXPECT_EQ(viewer.Query(c.class_index, &objects), *c.error == '\0') << viewer.last_error();
    EXPECT_NE(viewer.last_error().find(c.error), std::string::npos) << viewer.last_error();
    std::vector<std::string> values;
    for (const auto& o : objects) values.push_back(o.contains(c.property) ? o.at(c.property) : "-");
    EXPECT_EQ(values, c.values);
  }
}

TEST(SystemInfoLookupTest, FirstEthernetAdapterAndDnsServer) {
  struct Case { const char* tree; bool found; std::array<uint8_t, 6> mac; uint32_t dns; };
  const Case cases[] = {
      // lo, docker0 (no device), wlan0 (wireless) skipped; enp3s0 has a
      // lower interface index than eno1.  The resolved stub points to the
      // upstream file, whose first IPv4 server is taken.
      {"workstation", true, {0x00, 0x1a, 0x2b, 0x0c, 0x0d, 0xff}, 0xC0A80101},
      {"vm", false, {}, 0},                 // veth only; IPv6 server only
      {"minimal", false, {}, 0x7F000035},   // stub without an upstream file
      {"does-not-exist", false, {}, 0},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 6> mac{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(FirstEthernetAddress(&mac, DataRoot(c.tree)), c.found) << c.tree;
    EXPECT_EQ(mac, c.mac) << c.tree;
    EXPECT_EQ(FirstDnsServer(DataRoot(c.tree)), c.dns) << c.tree;
  }
}

}  // namespace
}  // namespace brelvane
