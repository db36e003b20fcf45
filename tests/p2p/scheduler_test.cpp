// SPDX-License-Identifier: MIT
// The scheduler's passes driven one at a time, where the swarm tests cannot steer them: download
// users dropped once complete (unless new work was found) or when inferior, the switch to HTTP
// priority, and the parts asked of idle users (advertised parts first).
#include "p2p/scheduler.h"

#include <map>

#include "p2p/p2p_fakes.h"

namespace brelvane {
namespace {


// Connects the addresses whose port is even; the odd ones fail.
struct ScriptedConnector : IPeerConnector {
  size_t ConnectBatch(const std::vector<PeerAddress>& addresses, const std::atomic<bool>*, int,
                      int, Outcome* out) override {
    for (size_t i = 0; i < addresses.size(); ++i) {
      if (addresses[i].port % 2) out->failed.push_back(i);
      else out->established.emplace_back(i, addresses[i]);
    }
    return out->established.size();
  }
};

wire::PeerRecord Peer(int32_t id, uint16_t port) {
  return wire::PeerRecord{id, {0x0A000000u + static_cast<uint32_t>(id), port, 0},
                          {0x0A000000u + static_cast<uint32_t>(id), port, 0}};
}

struct SchedulerFixture : ::testing::Test {
  SchedulerFixture() { flags.complete = false; }  // true in the engine until a seed check
  ConfigSettings settings;
  testing::TempDir dir;
  FileSystem fs;
  p2p_fakes::RecordingLink server, peers;
  ScriptedConnector connector;
  CandidateList candidates;
  ConnectRequestQueue requests;
  AutoResetEvent acquire_wake, connector_wake;
  UserTable upload_users{nullptr}, download_users{nullptr};
  uint32_t now = 50000;
  UserStatsTable stats{[this] { return now; }};
  EngineFlags flags;
  bool complete = false;
  ServerSession session{settings, server, candidates, requests, connector_wake, {}};
  PeerScheduler scheduler{SchedulerParts{settings, fs, session, candidates, requests,
                                         upload_users, download_users, stats, connector, peers,
                                         acquire_wake, connector_wake, flags,
                                         [this] { return complete; }, [this] { return now; }}};

  // A release of one file of `parts` parts of 1 KiB, nothing on disk.
  void Register(uint32_t parts) {
    fs.SetPaths(testing::MakeEntry(kSeedFileId, ".Seed", {1, 2, 3}, 1024), dir.path(), "");
    const FileEntry e = testing::MakeEntry(1, "a.bin", testing::PatternBytes(parts * 1024, 1), 1024);
    ASSERT_TRUE(fs.RegisterFile(dir.File("a.bin"), e, true, RangeSet32()));
    fs.RecomputeCounters();
  }
};

TEST_F(SchedulerFixture, OnceCompleteTheConnectorDropsDownloadUsersUnlessNewWorkWasFound) {
  for (bool found_work : {false, true}) {
    download_users.Clear();
    const size_t closed_before = peers.Closed().size();
    download_users.Add(1, PeerAddress{1, 10}, UserState::kBeforeDownLoad);
    download_users.Add(2, PeerAddress{1, 12}, UserState::kBeforeDownLoad);
    flags.complete = true;
    flags.found_work = found_work;
    complete = true;
    scheduler.ConnectorBegin();
    scheduler.ConnectorPass(false);
    EXPECT_EQ(download_users.Size(), found_work ? 2u : 0u);
    EXPECT_EQ(peers.Closed().size() - closed_before, found_work ? 0u : 2u);
  }
}

TEST_F(SchedulerFixture, InferiorUsersAreDroppedAndOnlyDeliverersRequeuedBehindThirty) {
  std::vector<wire::PeerRecord> fresh;
  for (int32_t id = 1000; id < 1035; ++id) fresh.push_back(Peer(id, 3000));
  // Users 7 and 8 came from an earlier peer list and were connected.
  const wire::PeerRecord earlier[] = {Peer(7, 4000), Peer(8, 4002)};
  candidates.AppendNew(earlier, {});
  scheduler.ConnectCandidates(5);
  candidates.AppendNew(fresh, {});
  stats.AddBytes(7, 65536, true);  // 7 delivered a part, 8 never did
  now += 301;                       // both fell silent
  scheduler.CleanUpInferiors();
  EXPECT_EQ(download_users.Size(), 0u);
  EXPECT_EQ(peers.Closed().size(), 2u);
  const std::vector<int32_t> ids = p2p_fakes::Ids(candidates);
  ASSERT_EQ(ids.size(), 36u);
  EXPECT_EQ(ids[30], 7);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 8), 0);
}

// Not caught by the swarm tests (asking for any part first still finishes there, slower).
TEST_F(SchedulerFixture, IdleUsersAreAskedForAdvertisedPartsFirstThenAnyNeededPart) {
  Register(4);
  download_users.set_random_source([] { return 0u; });  // user 1 is asked first
  download_users.Add(1, PeerAddress{1, 10}, UserState::kBeforeDownLoad);
  download_users.Add(2, PeerAddress{1, 12}, UserState::kBeforeDownLoad);
  download_users.ReplaceAdvertised(1, {{1, 2}});
  EXPECT_FALSE(scheduler.AcquirePass());  // no idle user left: the thread would wait
  std::map<uint16_t, wire::PartDescriptor> asked;
  for (const auto& request : peers.SentTo()) {
    ASSERT_EQ(wire::DecodeHeader(request.bytes.data()).type, wire::kRequest);
    asked[request.to.port] = wire::DecodePartMessage(request.bytes.data());
  }
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[10], (wire::PartDescriptor{1, 2, 2048, 1024}));
  EXPECT_EQ(asked[12].file_id, 1u);
  EXPECT_NE(asked[12].part_id, 2u);
  for (int32_t id : {1, 2}) {
    const std::optional<UserRecord> r = download_users.Get(id);
    EXPECT_EQ(r->state, UserState::kDownloadReq);
    EXPECT_TRUE(r->block.IsValid());
  }
  // The attached parts are taken: dropping a user gives its part back.
  EXPECT_FALSE(fs.IsPartFree(1, 2));
  download_users.Remove(1);
  EXPECT_TRUE(fs.IsPartFree(1, 2));
}

TEST_F(SchedulerFixture, HttpPriorityReleasesPeerPartsAndStopsNewPeerWork) {
  Register(2);
  download_users.Add(1, PeerAddress{1, 10}, UserState::kBeforeDownLoad);
  EXPECT_FALSE(scheduler.AcquirePass());
  ASSERT_EQ(fs.IsPartFree(1, 0) + fs.IsPartFree(1, 1), 1);
  scheduler.SwitchToHttpPriority();
  scheduler.SwitchToHttpPriority();  // once only
  EXPECT_TRUE(fs.IsPartFree(1, 0) && fs.IsPartFree(1, 1));
  EXPECT_EQ(download_users.Size(), 0u);
  download_users.Add(2, PeerAddress{1, 12}, UserState::kBeforeDownLoad);
  peers.Clear();
  scheduler.AcquirePass();
  EXPECT_TRUE(peers.SentTo().empty());
}

}  // namespace
}  // namespace brelvane
