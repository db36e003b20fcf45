// SPDX-License-Identifier: MIT
// The Linux inventory against the fake sysfs/procfs trees of data/.
#include "platform/system_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brelvane::platform {
namespace {

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
      {"minimal", 10, "Caption", {}, "sys/block"},
      {"minimal", 43, "MaxClockSpeed", {}, "proc/cpuinfo"},
      {"workstation", 2, "", {}, "Win32_Battery"},
      {"workstation", 59, "", {}, "index 59"},
      {"workstation", -1, "", {}, "index -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tree) + " class " + std::to_string(c.class_index));
    SystemInfoViewer viewer(DataRoot(c.tree));
    ASSERT_TRUE(viewer.Init());
    std::vector<SystemInfoObject> objects{{{"stale", "x"}}};
    const bool ok = viewer.Query(c.class_index, &objects);
    EXPECT_EQ(ok, *c.error == '\0') << viewer.last_error();
    EXPECT_NE(viewer.last_error().find(c.error), std::string::npos) << viewer.last_error();
    std::vector<std::string> values;
    for (const SystemInfoObject& o : objects) {
      const auto it = o.find(c.property);
      values.push_back(it == o.end() ? "-" : it->second);
    }
    EXPECT_EQ(values, c.values);
  }
}

TEST(SystemInfoViewerTest, ClassTableAndUnusableViewer) {
  EXPECT_STREQ(SystemInfoClassName(kWin32PhysicalMemory), "Win32_PhysicalMemory");
  EXPECT_STREQ(SystemInfoClassName(58), "Win32_VoltageProbe");
  EXPECT_EQ(SystemInfoClassName(kSystemInfoClassCount), nullptr);

  SystemInfoViewer missing(DataRoot("does-not-exist"));
  EXPECT_FALSE(missing.Init());
  EXPECT_NE(missing.last_error().find("Error code = 2"), std::string::npos);
  std::vector<SystemInfoObject> objects;
  EXPECT_FALSE(missing.Query(kWin32Processor, &objects));
  EXPECT_NE(missing.last_error().find("not initialised"), std::string::npos);
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
}  // namespace brelvane::platform
