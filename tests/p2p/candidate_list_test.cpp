// SPDX-License-Identifier: MIT
// Candidate batches, KnownPeerMap, requeues behind the fresh entries, the
// connect-request queue.
#include "p2p/candidate_list.h"

#include <gtest/gtest.h>

namespace brelvane {
namespace {

using wire::PeerRecord;
using Bytes = std::vector<uint8_t>;

PeerRecord Peer(int32_t id) {
  return PeerRecord{id, {0x7F000001, 4000, 0}, {0x7F000001, static_cast<uint16_t>(10000 + id), 0}};
}

std::vector<int32_t> Ids(const CandidateList& list, size_t from = 0, size_t n = 64) {
  std::vector<int32_t> ids;
  for (const PeerRecord& r : list.PeekFront(list.size(), {})) ids.push_back(r.user_id);
  return {ids.begin() + from, ids.begin() + std::min(ids.size(), from + n)};
}

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
  EXPECT_EQ(Ids(list, 29, 4), std::vector<int32_t>({33, 2, 1, 34}));
  EXPECT_EQ(list.RequeueKnown(requeue, {}, false), 3u);  // re-login: listed or not
  list.Clear();
  for (int32_t id : {7, 8}) list.InsertBehindFresh(Peer(id));
  EXPECT_EQ(Ids(list), std::vector<int32_t>({7, 8}));  // fewer than 30: at the end
  EXPECT_EQ(list.KnownAddress(2), std::nullopt);

  ConnectRequestQueue queue;  // holds 64, pops the oldest first
  for (int32_t i = 0; i < 65; ++i) {
    const wire::ConnectRequest body{Peer(1), PeerRecord{i, {}, {0x0A000000u + i, 12000, 4000}}};
    const Bytes m = wire::BuildConnectRequest({}, wire::kConnectRequestSC, body);
    EXPECT_EQ(queue.Push(m.data()), i < 64);
  }
  const std::vector<ConnectBack> popped = queue.Pop(100, [](size_t taken) { return taken == 10; });
  ASSERT_EQ(popped.size(), 10u);
  EXPECT_EQ(popped[3].requester_id(), 3);
  EXPECT_EQ(queue.size(), 54u);
  // The address to connect to: IPv4 at offset 24 (the first record's udp), port at 56.
  EXPECT_EQ(popped[3].address(), (PeerAddress{Peer(1).udp.ip, 12000}));
}

}  // namespace
}  // namespace brelvane
