// SPDX-License-Identifier: MIT
#include "app/speed_history.h"

#include <gtest/gtest.h>

namespace brelvane {
namespace {

TEST(SpeedHistoryTest, KeepsTheLastSixHundredButMeansCoverAll) {
  SpeedHistory h;
  SpeedSample s{3.0f, 3.0f};
  EXPECT_EQ(h.Average(0, 0, s), 0u);  // empty: a lifetime mean of zero
  EXPECT_EQ(s.download, 0.0f);
  for (int i = 1; i <= 700; ++i) h.Push({static_cast<float>(i), static_cast<float>(2 * i)});
  EXPECT_EQ(h.Size(), 600u);
  EXPECT_EQ(h.Average(0, 0, s), 700u);
  EXPECT_NEAR(s.upload, 350.5f, 1e-3);
  EXPECT_NEAR(s.download, 701.0f, 1e-3);
  EXPECT_EQ(h.Average(600, 599, s), 1u);  // the oldest held sample is 101
  EXPECT_FLOAT_EQ(s.upload, 101.0f);
}

TEST(SpeedHistoryTest, WindowsCountBackFromTheNewestAndBeyondTheSamplesLeaveTheResult) {
  SpeedHistory h;
  for (int i = 1; i <= 40; ++i) h.Push({0.0f, static_cast<float>(i)});
  SpeedSample s;
  EXPECT_EQ(h.Average(20, 0, s), 20u);  // samples 21..40
  EXPECT_FLOAT_EQ(s.download, 30.5f);
  EXPECT_EQ(h.Average(40, 20, s), 20u);  // samples 1..20
  EXPECT_FLOAT_EQ(s.download, 10.5f);
  s = {-7.0f, -7.0f};
  EXPECT_EQ(h.Average(41, 0, s), 0u);
  EXPECT_EQ(h.Average(5, 6, s), 0u);  // near beyond far
  EXPECT_EQ(s.download, -7.0f);
}

}  // namespace
}  // namespace brelvane
