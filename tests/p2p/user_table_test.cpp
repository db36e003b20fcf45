// SPDX-License-Identifier: MIT
// The peer tables: the user.log record, random picking, the advertised sets.
// (The block rule of state changes is exercised through the exchange tests.)
#include "p2p/user_table.h"

#include "exchange_env_support.h"

namespace brelvane {
namespace {

using S = UserState;
const PeerAddress kA = PeerAddress::Loopback(5001), kB = PeerAddress::Loopback(5002);

TEST(UserTableTest, OnlyChangesAfterTheFirstAreLoggedWithTheTimeInTheOldState) {
  exchange_test::LogCapture log;
  uint32_t tick = 1000;
  UserTable table(CreateLogObject(log.dir + "user.log", 0));
  table.set_tick_source([&] { return tick; });
  ASSERT_TRUE(table.Add(5, kA, S::kBeforeUpload));
  EXPECT_FALSE(table.Add(5, kB, S::kBeforeDownLoad));  // the first record stays
  EXPECT_EQ(table.Get(5)->address, kA);
  EXPECT_TRUE(table.SetState(5, S::kUploadInit));
  tick += 250;
  EXPECT_TRUE(table.SetState(5, S::kWaitForUpload));
  EXPECT_FALSE(table.SetState(6, S::kWaitForUpload));
  EXPECT_STREQ(UserStateName(table.Get(5)->state), "WaitForUpload");
  EXPECT_STREQ(UserStateName(10), "");
  EXPECT_EQ(log.Count("state change", "user.log"), 1);
  EXPECT_EQ(log.Count("User 5 state change, 2 -> 3, 250 ms.", "user.log"), 1);
}

TEST(UserTableTest, PickRandomScansOnceAroundFromTheDrawnRecord) {
  UserTable table(nullptr);
  uint32_t draw = 0;
  table.set_random_source([&] { return draw; });
  EXPECT_FALSE(table.PickRandom(S::kBeforeUpload));
  for (int i = 1; i <= 4; ++i) table.Add(10 * i, kA, i == 2 ? S::kDownloadReq : S::kBeforeUpload);
  const int32_t first_idle_upload[] = {10, 30, 30, 40};
  for (draw = 0; draw < 8; ++draw) {
    EXPECT_EQ(table.PickRandom(S::kDownloadReq)->first, 20) << draw;  // wraps to it
    EXPECT_EQ(table.PickRandom(S::kBeforeUpload)->first, first_idle_upload[draw % 4]) << draw;
    EXPECT_FALSE(table.PickRandom(S::kDownloading)) << draw;
  }
}

TEST(UserTableTest, AdvertisedPartsArePoppedInOrder) {
  UserTable table(nullptr);
  table.Add(1, kA, S::kBeforeDownLoad);
  EXPECT_TRUE(table.ReplaceAdvertised(1, {{1, 2}, {1, 0}, {2, 0}}));
  EXPECT_TRUE(table.DropAdvertised(1, {1, 0}));
  EXPECT_EQ(table.PopAdvertised(1), (PartKey{1, 2}));
  EXPECT_EQ(table.PopAdvertised(1), (PartKey{2, 0}));
  EXPECT_FALSE(table.PopAdvertised(1) || table.PopAdvertised(9) || table.ReplaceAdvertised(9, {}));
}

}  // namespace
}  // namespace brelvane
