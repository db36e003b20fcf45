// SPDX-License-Identifier: MIT
#include "app/progress_line.h"

#include <gtest/gtest.h>

#include "app/updater_state.h"

namespace brelvane {
namespace {

TEST(ProgressLineTest, LineShowsProgressRatesPeersMirrorsAndTimeLeft) {
  // 27.3 MiB, 15 MiB of it left at 0.24 MiB/s: 62.5 s.
  ProgressValues v{kStateDownloading, 45.125, 28626124, 15728640, 240.0f, 12.5f, 245.76f, 3, 1};
  const std::string line =
      " 45.1%  12.3 MiB of 27.3 MiB  down 240.0 KiB/s  up 12.5 KiB/s  peers 3  mirrors 1  left 1m03s";
  EXPECT_EQ(FormatProgressLine(v, 0), line);
  EXPECT_EQ(FormatProgressLine(v, 40), line.substr(0, 39));  // never the last column
  v.state = kStateComplete;
  EXPECT_EQ(FormatProgressLine(v, 0), line.substr(0, line.size() - 10) + "complete");
  v = ProgressValues{};  // before the update is prepared: no total, no estimate
  EXPECT_EQ(FormatProgressLine(v, 0),
            "  0.0%  0 B of ?  down 0.0 KiB/s  up 0.0 KiB/s  peers 0  mirrors 0");
}

TEST(ProgressLineTest, UnitsAndTimeLeft) {
  const struct { int64_t bytes; double rate; const char* size; const char* left; } kCases[] = {
      {512, 1.0, "512 B", "1s"},
      {45 * 1024, 1.0, "45.0 KiB", "45s"},
      {185 * 1024, 1.0, "185.0 KiB", "3m05s"},
      {7620LL * 1024 * 1024, 1024.0, "7.4 GiB", "2h07m"},
      {1024 * 1024, 0.0, "1.0 MiB", "--"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FormatByteCount(c.bytes), c.size) << c.bytes;
    EXPECT_EQ(FormatTimeLeft(c.bytes, c.rate), c.left) << c.bytes;
  }
}

}  // namespace
}  // namespace brelvane
