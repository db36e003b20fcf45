// SPDX-License-Identifier: MIT
// The scoring sweep that names idle, failing and slow peers.
#include "p2p/user_stats.h"

#include <gtest/gtest.h>

namespace brelvane {
namespace {

struct StatsFixture {
  uint32_t now = 100000;
  UserStatsTable table{[this] { return now; }};
  std::vector<int32_t> Inferior(int32_t max_download_num = 256) {
    std::vector<int32_t> ids;
    for (const auto& i : table.Sweep(max_download_num)) ids.push_back(i.user_id);
    return ids;
  }
};

TEST(UserStatsTest, IdleFailingAndDeliveredRulesDecideWhoIsDropped) {
  struct Case {
    const char* name;
    uint32_t silent_seconds;
    uint32_t parts;
    uint32_t failures_in_a_row;
    bool dropped;
  };
  const Case cases[] = {
      {"idle 301 s despite ten parts", 301, 10, 0, true},
      {"idle 300 s stays", 300, 10, 0, false},
      {"ten failures, nothing delivered", 0, 0, 10, true},
      {"nine failures stay", 0, 0, 9, false},
      {"ten failures offset by one part", 0, 1, 10, false},
      {"fresh peer", 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    StatsFixture f;
    f.table.RecordAddress(7, PeerAddress::Loopback(1000));
    for (uint32_t i = 0; i < c.parts; ++i) f.table.AddBytes(7, 100, true);
    for (uint32_t i = 0; i < c.failures_in_a_row; ++i) f.table.CountAnswer(7, false);
    f.now += c.silent_seconds;
    const std::vector<int32_t> dropped = f.Inferior();
    EXPECT_EQ(dropped.size() == 1, c.dropped) << c.name;
    EXPECT_EQ(f.table.Size(), c.dropped ? 0u : 1u) << c.name;
  }
}

TEST(UserStatsTest, SuccessResetsTheFailureRunAndScoresStartAgainEachSweep) {
  StatsFixture f;
  for (int i = 0; i < 9; ++i) f.table.CountAnswer(3, false);
  f.table.CountAnswer(3, true);
  f.table.CountAnswer(3, false);
  EXPECT_TRUE(f.Inferior().empty());
  // A kept entry starts the next sweep from zero: +3 for ten parts does not
  // carry over to pay for a later failure run.
  for (int i = 0; i < 10; ++i) f.table.AddBytes(3, 1, true);
  EXPECT_TRUE(f.Inferior().empty());
  InferiorRule::Entry e;
  ASSERT_TRUE(f.table.Get(3, &e));
  EXPECT_EQ(e.score, 0);
  EXPECT_EQ(e.window_bytes, 0u);
  EXPECT_EQ(e.bytes, 10u);
}

TEST(UserStatsTest, SlowRuleNeedsEightRatedPeersAndTrimsTheExtremes) {
  // max 16: the rule judges tables of 8 entries or more.
  for (int rated : {7, 8}) {
    StatsFixture f;
    // One very slow peer among fast ones, all seen 100 s ago.
    for (int id = 1; id <= rated; ++id) {
      f.table.RecordAddress(id, PeerAddress::Loopback(static_cast<uint16_t>(id)));
      f.table.AddBytes(id, id == 1 ? 10 : 100000, false);
    }
    // An entry seen only 10 s ago is not rated (and is slow, but spared).
    f.now += 90;
    f.table.RecordAddress(99, PeerAddress::Loopback(99));
    f.now += 10;
    for (int id = 1; id <= rated; ++id) f.table.Touch(id);
    const std::vector<int32_t> dropped = f.Inferior(16);
    if (rated == 7) {
      EXPECT_TRUE(dropped.empty());
    } else {
      EXPECT_EQ(dropped, std::vector<int32_t>{1});
    }
  }
}

TEST(UserStatsTest, SlowRuleThresholdIsAFifthOfTheMiddleMean) {
  StatsFixture f;
  // Rates over 100 s, sorted: 1, 2 | 19, 21, 100, 100, 100, 100 | 1000, 1000.
  // The middle six average 73.3, so the threshold is 14.7: only 1 and 2 fall
  // below it, while 19 (below the mean of all ten) stays.
  const uint64_t bytes[] = {100, 200, 1900, 2100, 10000, 10000, 10000, 10000, 100000, 100000};
  for (int i = 0; i < 10; ++i) {
    f.table.RecordAddress(i + 1, PeerAddress::Loopback(static_cast<uint16_t>(i + 1)));
    f.table.AddBytes(i + 1, bytes[i], false);
  }
  f.now += 100;
  for (int i = 0; i < 10; ++i) f.table.Touch(i + 1);
  EXPECT_EQ(f.Inferior(10), (std::vector<int32_t>{1, 2}));
}

TEST(UserStatsTest, InferiorRecordsWhetherThePeerEverDelivered) {
  StatsFixture f;
  f.table.RecordAddress(1, PeerAddress::Loopback(1));
  f.table.RecordAddress(2, PeerAddress::Loopback(2));
  f.table.AddBytes(2, 10, true);
  f.now += 400;
  const auto inferior = f.table.Sweep(256);
  ASSERT_EQ(inferior.size(), 2u);
  EXPECT_FALSE(inferior[0].completed_any);
  EXPECT_TRUE(inferior[1].completed_any);
}

}  // namespace
}  // namespace brelvane
