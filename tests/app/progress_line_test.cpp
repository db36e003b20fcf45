// SPDX-License-Identifier: MIT
// The status helpers: the progress line and the speed history behind the
// rates and averages.
#include "app/progress_line.h"

#include <gtest/gtest.h>

#include "app/speed_history.h"
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
  // Before the update is prepared: no total, no estimate.
  EXPECT_EQ(FormatProgressLine({}, 0), "  0.0%  0 B of ?  down 0.0 KiB/s  up 0.0 KiB/s  peers 0  mirrors 0");
}

TEST(ProgressLineTest, UnitsAndTimeLeft) {
  const struct { int64_t bytes; double rate; const char* size; const char* left; } kCases[] = {
      {512, 1.0, "512 B", "1s"}, {45 * 1024, 1.0, "45.0 KiB", "45s"}, {185 * 1024, 1.0, "185.0 KiB", "3m05s"},
      {7620LL * 1024 * 1024, 1024.0, "7.4 GiB", "2h07m"}, {1024 * 1024, 0.0, "1.0 MiB", "--"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FormatByteCount(c.bytes), c.size) << c.bytes;
    EXPECT_EQ(FormatTimeLeft(c.bytes, c.rate), c.left) << c.bytes;
  }
}

TEST(SpeedHistoryTest, KeepsTheLastSixHundredAndWindowsCountBackFromTheNewest) {
  SpeedHistory h;
  SpeedSample s{3.0f, 3.0f};
  EXPECT_EQ(h.Average(0, 0, s), 0u);  // empty: a lifetime mean of zero
  EXPECT_EQ(s.download, 0.0f);
  for (int i = 1; i <= 700; ++i) h.Push({static_cast<float>(i), static_cast<float>(2 * i)});
  EXPECT_EQ(h.Size(), 600u);
  EXPECT_EQ(h.Average(0, 0, s), 700u);  // the lifetime mean covers all
  EXPECT_NEAR(s.download, 701.0f, 1e-3);
  EXPECT_EQ(h.Average(600, 599, s), 1u);  // the oldest held sample is 101
  EXPECT_FLOAT_EQ(s.upload, 101.0f);
  EXPECT_EQ(h.Average(20, 0, s), 20u);  // samples 681..700
  EXPECT_FLOAT_EQ(s.upload, 690.5f);
  s = {-7.0f, -7.0f};  // beyond the samples, or near beyond far: the result is left
  EXPECT_EQ(h.Average(601, 0, s) + h.Average(5, 6, s) + h.Average(5, 5, s), 0u);
  EXPECT_EQ(s.download, -7.0f);
}

}  // namespace
}  // namespace brelvane
