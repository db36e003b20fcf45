// SPDX-License-Identifier: MIT
#include "http/http_mirror_table.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace brelvane {
namespace {

// Ids count down from -1 and are never reused; a pick takes the lowest score
// (the first on a tie) and raises it; a penalty adds to one entry's score.
TEST(HttpMirrorTableTest, PicksTheLowestScoreFirstOnATieAndPenaltiesSteerAway) {
  HttpMirrorTable table;
  MirrorEntry picked;
  EXPECT_FALSE(table.PickMirror(&picked));
  EXPECT_EQ(table.Add("http://a"), -1);
  EXPECT_EQ(table.Add("http://x"), -2);
  EXPECT_TRUE(table.Remove(-2));
  EXPECT_FALSE(table.Remove(-2));
  table.AddAll({"http://b", "http://c"});
  std::string order;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(table.PickMirror(&picked));
    order += picked.url.back();
  }
  EXPECT_EQ(order, "abcabc");
  EXPECT_EQ(std::tie(picked.id, picked.score), std::make_tuple(-4, 2));  // the score after the pick
  table.Penalize(-1, 2);
  table.Penalize(-99, -1000);  // no such entry: nothing happens
  for (const char* want : {"b", "c", "b", "c", "a"}) {
    ASSERT_TRUE(table.PickMirror(&picked));
    EXPECT_EQ(picked.url, std::string("http://") + want);
  }
  EXPECT_EQ(picked.score, 5);
}

TEST(HttpMirrorTableTest, CountsFromManyThreadsAddUpAndTopAddressesAreTheMostCountedFirst) {
  HttpMirrorTable table;
  table.Add("http://a");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&table, t] {
      MirrorEntry entry;
      for (int i = 0; i < 1000; ++i) {
        table.CountAddress(i == 0 && t == 0 ? 0x0A000003 : 0x0A000001 + (i % 4 == 0));
        if (i % 100 == 0) {
          (void)table.PickMirror(&entry);
          table.Penalize(-1, t);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // 40 picks, 10 penalties each of 0, 1, 2 and 3.
  EXPECT_EQ(table.Entries()[0].score, 40 + 10 * (0 + 1 + 2 + 3));
  EXPECT_EQ(table.TopAddresses(2), (std::vector<uint32_t>{0x0A000001, 0x0A000002}));
  EXPECT_EQ(table.AddressCounts().size(), 3u);
  EXPECT_EQ(table.TopAddresses(10).back(), 0x0A000003u);
  EXPECT_TRUE(table.TopAddresses(0).empty());
}

}  // namespace
}  // namespace brelvane
