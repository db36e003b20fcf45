// SPDX-License-Identifier: MIT
// The peer engine's tables: users (the user.log record, random picking, the advertised sets; the
// block rule of state changes is exercised through the exchange tests), candidates and connect
// requests, and the scoring sweep that names idle, failing and slow peers.
#include "p2p/p2p_fakes.h"
#include "p2p/user_stats.h"
#include "p2p/user_table.h"

namespace brelvane {
namespace {

using S = UserState;
using wire::PeerRecord;
const PeerAddress kA = PeerAddress::Loopback(5001), kB = PeerAddress::Loopback(5002);


TEST(UserTableTest, OnlyChangesAfterTheFirstAreLoggedWithTheTimeInTheOldState) {
  p2p_fakes::LogCapture log;
  uint32_t tick = 1000;
  UserTable table(CreateLogObject(log.File("user.log"), 0));
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
  EXPECT_FALSE(table.PopAdvertised(5) || table.PopAdvertised(9) || table.ReplaceAdvertised(9, {}));
  EXPECT_EQ(log.Count("state change", "user.log"), 1);
  EXPECT_EQ(log.Count("User 5 state change, 2 -> 3, 250 ms.", "user.log"), 1);
}


// Not caught by the swarm tests (a pick that does not wrap still finishes there, unfairly).
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

PeerRecord Peer(int32_t id) { return {id, {0x7F000001, 4000, 0}, {0x7F000001, uint16_t(10000 + id), 0}}; }

TEST(CandidateListTest, TakesFromTheFrontRequeuesBehindTheFreshOnesAndQueuesSixtyFourRequests) {
  CandidateList list;
  std::vector<PeerRecord> peers;
  for (int32_t id = 1; id <= 40; ++id) peers.push_back(Peer(id));
  EXPECT_EQ(list.AppendNew(peers, [](const PeerRecord& r) { return r.user_id == 40; }), 39u);
  EXPECT_EQ(list.AppendNew(peers, {}), 1u);  // only 40 was missing
  EXPECT_EQ(list.PeekFront(5, [](size_t taken) { return taken == 3; }).size(), 3u);
  list.RemoveFront(3);
  EXPECT_FALSE(list.Contains(2));
  EXPECT_EQ(list.KnownAddress(2), Peer(2).tcp);
  EXPECT_EQ(list.KnownAddress(4), std::nullopt);
  const std::vector<int32_t> requeue = {1, 2, 3, 4, 99};  // 4 listed, 99 never taken
  EXPECT_EQ(list.RequeueKnown(requeue, [](int32_t id) { return id == 3; }, true), 2u);
  ASSERT_EQ(list.size(), 39u);
  const std::vector<int32_t> ids = p2p_fakes::Ids(list);
  EXPECT_EQ(std::vector<int32_t>(ids.begin() + 29, ids.begin() + 33), std::vector<int32_t>({33, 2, 1, 34}));
  EXPECT_EQ(list.RequeueKnown(requeue, {}, false), 3u);  // re-login: listed or not
  list.Clear();
  for (int32_t id : {7, 8}) list.InsertBehindFresh(Peer(id));
  EXPECT_EQ(p2p_fakes::Ids(list), std::vector<int32_t>({7, 8}));  // fewer than 30: at the end
  EXPECT_EQ(list.KnownAddress(2), std::nullopt);

  ConnectRequestQueue queue;  // holds 64, pops the oldest first
  for (int32_t i = 0; i < 65; ++i) {
    const wire::ConnectRequest body{Peer(1), PeerRecord{i, {}, {0x0A000000u + i, 12000, 4000}}};
    const p2p_fakes::Bytes m = wire::BuildConnectRequest({}, wire::kConnectRequestSC, body);
    EXPECT_EQ(queue.Push(m.data()), i < 64);
  }
  const std::vector<ConnectBack> popped = queue.Pop(100, [](size_t taken) { return taken == 10; });
  ASSERT_EQ(popped.size(), 10u);
  EXPECT_EQ(popped[3].requester_id(), 3);
  EXPECT_EQ(queue.size(), 54u);
  // The address to connect to: IPv4 at offset 24 (the first record's udp), port at 56.
  EXPECT_EQ(popped[3].address(), (PeerAddress{Peer(1).udp.ip, 12000}));
}

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
  const struct { const char* name; uint32_t silent_seconds, parts, failures; bool dropped; } cases[] = {
      {"idle 301 s despite ten parts", 301, 10, 0, true},
      {"idle 300 s stays", 300, 10, 0, false},
      {"ten failures, nothing delivered", 0, 0, 10, true},
      {"nine failures stay", 0, 0, 9, false},
      {"ten failures offset by one part", 0, 1, 10, false},
  };
  for (const auto& c : cases) {
    Stats f;
    f.table.RecordAddress(7, PeerAddress::Loopback(1000));
    for (uint32_t i = 0; i < c.parts; ++i) f.table.AddBytes(7, 100, true);
    for (uint32_t i = 0; i < c.failures; ++i) f.table.CountAnswer(7, false);
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
  EXPECT_EQ(std::tuple(e.score, e.window_bytes, e.bytes), std::tuple(0, 0u, 10u));  // +3 does not carry over
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
