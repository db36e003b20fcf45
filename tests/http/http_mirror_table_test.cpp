// SPDX-License-Identifier: MIT
#include "http/http_mirror_table.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace brelvane {
namespace {

TEST(HttpMirrorTableTest, EntriesTakeDescendingNegativeIds) {
  HttpMirrorTable table;
  EXPECT_EQ(table.Add("http://a"), -1);
  EXPECT_EQ(table.Add("http://b"), -2);
  table.AddAll({"http://c"});
  const auto entries = table.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].id, -3);
  EXPECT_EQ(entries[2].url, "http://c");
  EXPECT_EQ(entries[2].score, 0);
  EXPECT_TRUE(table.Remove(-2));
  EXPECT_FALSE(table.Remove(-2));
  EXPECT_EQ(table.Add("http://d"), -4);  // ids are never reused
}

TEST(HttpMirrorTableTest, PickTakesTheLowestScoreAndTheFirstOnATie) {
  HttpMirrorTable table;
  MirrorEntry picked;
  EXPECT_FALSE(table.PickMirror(&picked));
  table.Add("http://a");
  table.Add("http://b");
  table.Add("http://c");
  std::vector<std::string> order;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(table.PickMirror(&picked));
    order.push_back(picked.url);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"http://a", "http://b", "http://c", "http://a",
                                             "http://b", "http://c"}));
  EXPECT_EQ(picked.score, 2);  // the copy shows the score after the pick
}

TEST(HttpMirrorTableTest, PenaltiesSteerPicksAwayFromAFailingMirror) {
  HttpMirrorTable table;
  const int32_t a = table.Add("http://a");
  table.Add("http://b");
  table.Penalize(a, 10);
  table.Penalize(-99, 1000);  // no such entry: nothing happens
  MirrorEntry picked;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(table.PickMirror(&picked));
    EXPECT_EQ(picked.url, "http://b");
  }
  ASSERT_TRUE(table.PickMirror(&picked));  // b reached 10: a wins the tie
  EXPECT_EQ(picked.url, "http://a");
  EXPECT_EQ(picked.score, 11);
}

TEST(HttpMirrorTableTest, TopAddressesAreTheMostCountedFirst) {
  HttpMirrorTable table;
  for (int i = 0; i < 3; ++i) table.CountAddress(0x0A000001);
  for (int i = 0; i < 5; ++i) table.CountAddress(0x0A000002);
  table.CountAddress(0x0A000003);
  table.CountAddress(0x0A000004);
  EXPECT_EQ(table.TopAddresses(2), (std::vector<uint32_t>{0x0A000002, 0x0A000001}));
  EXPECT_EQ(table.TopAddresses(10),
            (std::vector<uint32_t>{0x0A000002, 0x0A000001, 0x0A000003, 0x0A000004}));
  EXPECT_TRUE(table.TopAddresses(0).empty());
}

TEST(HttpMirrorTableTest, CountsFromManyThreadsAddUp) {
  HttpMirrorTable table;
  table.Add("http://a");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&table, t] {
      MirrorEntry entry;
      for (int i = 0; i < 1000; ++i) {
        table.CountAddress(0x7F000001 + (i % 2));
        if (i % 100 == 0) {
          (void)table.PickMirror(&entry);
          table.Penalize(-1, t);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(table.TopAddresses(2).size(), 2u);
  // 40 picks, 10 penalties each of 0, 1, 2 and 3.
  EXPECT_EQ(table.Entries()[0].score, 40 + 10 * (0 + 1 + 2 + 3));
}

}  // namespace
}  // namespace brelvane
