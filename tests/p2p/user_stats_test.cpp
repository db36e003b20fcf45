// SPDX-License-Identifier: MIT
// The scoring sweep that names idle, failing and slow peers.
#include "p2p/user_stats.h"

#include <gtest/gtest.h>

namespace brelvane {
namespace {

struct Stats {
  uint32_t now = 100000;
  UserStatsTable table{[this] { return now; }};
  // Users 1..n seen now with the given byte counts; then `later` seconds pass
  // with every one of them still active.
  void Rated(const std::vector<uint64_t>& bytes, uint32_t later) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      table.RecordAddress(static_cast<int32_t>(i + 1), PeerAddress::Loopback(1));
      table.AddBytes(static_cast<int32_t>(i + 1), bytes[i], false);
    }
    now += later;
    for (size_t i = 0; i < bytes.size(); ++i) table.Touch(static_cast<int32_t>(i + 1));
  }
  std::vector<int32_t> Dropped(int32_t max_download_num = 256) {
    std::vector<int32_t> ids;
    for (const auto& i : table.Sweep(max_download_num)) ids.push_back(i.user_id);
    return ids;
  }
};

TEST(UserStatsTest, IdleFailingAndDeliveredRulesDecideWhoIsDropped) {
  struct Case {
    const char* name;
    uint32_t silent_seconds, parts, failures_in_a_row;
    bool dropped;
  } cases[] = {
      {"idle 301 s despite ten parts", 301, 10, 0, true},
      {"idle 300 s stays", 300, 10, 0, false},
      {"ten failures, nothing delivered", 0, 0, 10, true},
      {"nine failures stay", 0, 0, 9, false},
      {"ten failures offset by one part", 0, 1, 10, false},
  };
  for (const Case& c : cases) {
    Stats f;
    f.table.RecordAddress(7, PeerAddress::Loopback(1000));
    for (uint32_t i = 0; i < c.parts; ++i) f.table.AddBytes(7, 100, true);
    for (uint32_t i = 0; i < c.failures_in_a_row; ++i) f.table.CountAnswer(7, false);
    f.now += c.silent_seconds;
    EXPECT_EQ(f.Dropped().size() == 1, c.dropped) << c.name;
    EXPECT_EQ(f.table.Size(), c.dropped ? 0u : 1u) << c.name;
  }
}

TEST(UserStatsTest, KeptScoresStartAgainAndDroppedOnesSayWhetherTheyDelivered) {
  Stats f;
  for (int i = 0; i < 9; ++i) f.table.CountAnswer(3, false);
  f.table.CountAnswer(3, true);  // a success ends the failure run
  f.table.CountAnswer(3, false);
  for (int i = 0; i < 10; ++i) f.table.AddBytes(3, 1, true);
  EXPECT_TRUE(f.Dropped().empty());
  InferiorRule::Entry e;
  ASSERT_TRUE(f.table.Get(3, &e));
  EXPECT_EQ(e.score, 0);  // +3 does not carry over to pay for later failures
  EXPECT_EQ(e.window_bytes, 0u);
  EXPECT_EQ(e.bytes, 10u);
  f.table.RecordAddress(4, PeerAddress::Loopback(2));
  f.now += 400;
  const auto inferior = f.table.Sweep(256);
  ASSERT_EQ(inferior.size(), 2u);
  EXPECT_TRUE(inferior[0].completed_any);   // user 3
  EXPECT_FALSE(inferior[1].completed_any);  // user 4
}

TEST(UserStatsTest, SlowRuleNeedsEightRatedPeersAndAFifthOfTheTrimmedMean) {
  // Seven rated peers: nothing, however slow one is.
  Stats seven;
  seven.Rated({10, 100000, 100000, 100000, 100000, 100000, 100000}, 100);
  EXPECT_TRUE(seven.Dropped(8).empty());
  // Rates over 100 s, sorted: 1, 2 | 19, 21, 100, 100, 100, 100 | 1000, 1000.
  // The middle six average 73.3, the threshold is 14.7: 1 and 2 go, 19 stays.
  Stats ten;
  ten.Rated({100, 200, 1900, 2100, 10000, 10000, 10000, 10000, 100000, 100000}, 100);
  // A peer seen only 10 s ago is not rated (though it has delivered nothing).
  ten.table.RecordAddress(99, PeerAddress::Loopback(99));
  ten.now += 10;
  for (int id = 1; id <= 10; ++id) ten.table.Touch(id);
  EXPECT_EQ(ten.Dropped(12), (std::vector<int32_t>{1, 2}));
  // A table far from its limit is not judged at all.
  Stats roomy;
  roomy.Rated({100, 200, 1900, 2100, 10000, 10000, 10000, 10000, 100000, 100000}, 100);
  EXPECT_TRUE(roomy.Dropped(256).empty());
}

}  // namespace
}  // namespace brelvane
