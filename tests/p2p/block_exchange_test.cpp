// SPDX-License-Identifier: MIT
// The peer dispatcher and the upload workers against real storage and a
// recording link.
#include "p2p/block_exchange.h"

#include "p2p/p2p_fakes.h"

namespace brelvane {
namespace {

using p2p_fakes::Bytes;
using p2p_fakes::From;
using p2p_fakes::LogCapture;
using p2p_fakes::Peer;
using S = UserState;
const PeerAddress kA = PeerAddress::Loopback(5001), kB = PeerAddress::Loopback(5002);

// A data piece as the transport delivers it: head (with `msg_length`), then `n` bytes.
Bytes DataPiece(int32_t from, const wire::PartDescriptor& d, uint32_t msg_length, size_t n) {
  Bytes piece(wire::kDataHeadSize + n, 0xAB);
  const auto head = wire::BuildDataHead(From(from), d);
  std::copy(head.begin(), head.end(), piece.begin());
  wire::PutU32(piece.data() + 16, msg_length);
  return piece;
}

// User 7 at kA in the download table, asking for `part` (state 6).
void Requesting(Peer& peer, uint32_t part) {
  peer.downloads.Add(7, kA, S::kBeforeDownLoad);
  ASSERT_TRUE(peer.downloads.SetState(7, S::kDownloadReq, peer.fs.AcquireBlock(1, part)));
}

TEST(BlockExchangeTest, RequestsAreAcceptedOnlyFromIdleUsersForPartsHeldHere) {
  struct Case { const char* name; S state; PeerAddress from; wire::PartDescriptor part; int jobs;
                uint32_t status; S after; };
  const wire::PartDescriptor held{1, 0, 0, 100};
  const Case cases[] = {
      {"idle, held", S::kBeforeUpload, kA, held, 0, 0, S::kUploadInit},
      {"missing here", S::kBeforeUpload, kA, {1, 2, 200, 100}, 0, 2, S::kBeforeUpload},
      {"unknown file", S::kBeforeUpload, kA, {9, 0, 0, 100}, 0, 2, S::kBeforeUpload},
      {"past the last part", S::kBeforeUpload, kA, {1, 7, 700, 100}, 0, 2, S::kBeforeUpload},
      {"job list full", S::kBeforeUpload, kA, held, 10, 1, S::kBeforeUpload},
      {"accepted already", S::kUploadInit, kA, held, 0, 1, S::kUploadInit},
      {"other connection", S::kBeforeUpload, kB, held, 0, 1, S::kBeforeUpload},
      {"unknown user", S::kUnknowUser, kA, held, 0, 1, S::kUnknowUser}};
  for (const Case& c : cases) {
    Peer peer(100, 4, {0, 1});
    if (c.state != S::kUnknowUser) peer.uploads.Add(7, kA, c.state);
    for (int i = 0; i < c.jobs; ++i) ASSERT_TRUE(peer.jobs.Push(UploadJob{8, held}));
    peer.Feed(c.from, wire::BuildPartMessage(From(7), wire::kRequest, c.part));
    const auto sent = peer.link.SentTo(c.from);
    ASSERT_EQ(sent.size(), 1u) << c.name;
    EXPECT_EQ(wire::DecodeRespondStatus(sent[0].bytes.data()), c.status) << c.name;
    EXPECT_EQ(wire::DecodeRespondPart(sent[0].bytes.data()), c.part) << c.name;
    EXPECT_EQ(peer.uploads.Contains(7) ? peer.uploads.Get(7)->state : S::kUnknowUser, c.after);
  }
}

// Reports read at most 32 entries and keep only usable parts; start and
// reset-state find the user by the connection, reset-state in the upload table first.
TEST(BlockExchangeTest, ReportsStartAndResetState) {
  LogCapture log;
  Peer peer(100, 4, {0, 1});
  peer.uploads.Add(7, kA, S::kUploadInit);
  Requesting(peer, 2);
  wire::Report report;
  report.count = 40;
  for (size_t i = 0; i < wire::kReportEntries; ++i) report.entries[i] = peer.Part(i % 2 ? 3 : 0);
  report.entries[0] = peer.Part(1);
  report.entries[2] = {1, 0, 12345, 1};  // a held part with a made-up range
  report.entries[5] = {9, 2, 0, 100};    // a file this release lacks
  peer.Feed(kA, wire::BuildReport(From(7), wire::kReqFileReport, report));
  EXPECT_EQ(log.Count("OnReqFileReport filePartNum too big."), 1);
  EXPECT_EQ(peer.downloads.Get(7)->advertised, (AdvertisedSet{{1, 3}}));
  peer.Feed(kA, wire::BuildReport(From(7), wire::kAskFileReport, report));
  const auto sent = peer.link.SentTo(kA);
  ASSERT_EQ(sent.size(), 1u);
  const wire::Report answer = wire::DecodeReport(sent[0].bytes.data());
  ASSERT_EQ(answer.count, 2);  // held parts asked for, with their true ranges
  EXPECT_EQ(std::pair(answer.entries[0], answer.entries[1]), std::pair(peer.Part(1), peer.Part(0)));
  EXPECT_EQ(log.Count("too big"), 1);

  peer.downloads.SetState(7, S::kDownloadInit);
  for (int32_t id : {7, 7, 9}) peer.Feed(kA, wire::BuildPartMessage(From(id), wire::kStart, {}));
  EXPECT_EQ(peer.uploads.Get(7)->state, S::kWaitForUpload);
  EXPECT_EQ(peer.jobs.Size(), 2u);  // the unknown user 9 queues nothing
  peer.Feed(kA, wire::BuildHeaderOnly(From(7), wire::kResetState));
  EXPECT_EQ(peer.uploads.Get(7)->state, S::kBeforeUpload);
  EXPECT_EQ(peer.downloads.Get(7)->state, S::kDownloadInit);
  peer.exchange.OnPeerClosed(kA, CloseReason::kRemoteClosed);
  EXPECT_FALSE(peer.uploads.Contains(7));
  peer.Feed(kA, wire::BuildHeaderOnly(From(7), wire::kResetState));
  EXPECT_EQ(peer.downloads.Get(7)->state, S::kBeforeDownLoad);
  EXPECT_TRUE(peer.fs.IsPartFree(1, 2));
  EXPECT_EQ(log.Count("OnResetState user:7 UID:1.2"), 1);
  peer.exchange.OnPeerClosed(kA, CloseReason::kIdle);
  EXPECT_FALSE(peer.downloads.Contains(7));
}

TEST(BlockExchangeTest, DataOutsideTheAttachedPartIsDroppedAndItsSenderCutOff) {
  struct Case { const char* name; int32_t from; S state; wire::PartDescriptor head; uint32_t msg;
                bool cut; };
  const Case cases[] = {{"another file", 7, S::kDownloadInit, {2, 1, 100, 100}, 116, true},
                        {"before the part", 7, S::kDownloading, {1, 1, 90, 100}, 126, true},
                        {"past its end", 7, S::kDownloading, {1, 1, 150, 100}, 116, true},
                        {"made-up length", 7, S::kDownloadInit, {1, 1, 100, 5000}, 5016, true},
                        {"user not fetching", 7, S::kBeforeDownLoad, {2, 1, 100, 100}, 116, false},
                        {"unknown user", 8, S::kDownloadInit, {2, 1, 100, 100}, 116, false}};
  LogCapture log;
  for (const Case& c : cases) {
    Peer peer(100, 4, {});
    Requesting(peer, 1);
    peer.downloads.SetState(7, c.state);
    peer.Feed(kA, DataPiece(c.from, c.head, c.msg, 60));
    EXPECT_EQ(peer.link.Closed().size(), c.cut ? 1u : 0u) << c.name;
    EXPECT_EQ(peer.downloads.Contains(7), !c.cut) << c.name;
    EXPECT_EQ(peer.fs.IsPartFree(1, 1), c.cut || c.state == S::kBeforeDownLoad) << c.name;
  }
  EXPECT_EQ(log.Count("Data outside the requested part"), 4);
  EXPECT_EQ(log.Count("Recv:"), 0);
}

TEST(BlockExchangeTest, AnEmptyPartCompletesOnItsHeadAlone) {
  Peer peer(0, 1, {});
  peer.downloads.Add(7, kA, S::kBeforeDownLoad);
  peer.downloads.SetState(7, S::kDownloadReq, BlockHandle(std::make_shared<BlockLease>(
                              nullptr, 1, 0, 0), peer.fs.GetFile(1), 0));
  peer.downloads.SetState(7, S::kDownloadInit);
  EXPECT_CALL(peer.stats, AddBytes(7, 0, true));
  peer.Feed(kA, DataPiece(7, {1, 0, 0, 0}, 16, 0));
  EXPECT_EQ(peer.downloads.Get(7)->state, S::kBeforeDownLoad);
  EXPECT_TRUE(peer.acquire_wake.IsSet());
}

// Whole parts wait until eight have come (hashed together) or the receive side
// goes idle.  Waiting, and queued in storage, a part stays claimed by its
// sender, so nobody fetches it again; then it is done, or free again when its
// bytes were wrong.
TEST(BlockExchangeTest, WholePartsGoToStorageEightAtATimeOrWhenIdleAndStayClaimed) {
  Peer peer(100, 9, {});
  peer.downloads.Add(7, kA, S::kBeforeDownLoad);
  const auto receive = [&peer](uint32_t p, bool good) {
    ASSERT_TRUE(peer.downloads.SetState(7, S::kDownloadReq, peer.fs.AcquireBlock(1, p)));
    peer.downloads.SetState(7, S::kDownloadInit);
    Bytes piece = DataPiece(7, peer.Part(p), 116, 100);
    if (good) std::copy_n(peer.content.begin() + 100 * p, 100, piece.begin() + wire::kDataHeadSize);
    peer.Feed(kA, piece);
    EXPECT_EQ(peer.downloads.Get(7)->state, S::kBeforeDownLoad);
  };
  const auto expect_parts = [&peer](uint32_t first, uint32_t last, bool verified, bool free) {
    for (uint32_t p = first; p <= last; ++p)
      EXPECT_EQ(std::pair(peer.fs.IsPartVerified(1, p), peer.fs.IsPartFree(1, p)),
                std::pair(verified && p != 3, free && p == 3)) << p;
  };
  for (uint32_t p = 0; p < 7; ++p) receive(p, p != 3);  // part 3 arrives wrong
  ASSERT_TRUE(peer.fs.Drain());
  EXPECT_TRUE(peer.exchange.HoldsPending());
  expect_parts(0, 6, false, false);
  testing::Gate gate;
  ASSERT_TRUE(gate.Hold(peer.fs.runner()));
  receive(7, true);  // the eighth: the batch goes to storage
  EXPECT_FALSE(peer.exchange.HoldsPending());
  expect_parts(0, 7, false, false);
  gate.Open();
  ASSERT_TRUE(peer.fs.Drain());
  expect_parts(0, 7, true, true);
  receive(8, true);
  ASSERT_TRUE(peer.fs.Drain());
  expect_parts(8, 8, false, false);
  peer.exchange.CommitPending();  // nothing more to read
  ASSERT_TRUE(peer.fs.Drain());
  expect_parts(8, 8, true, false);
}

// Every job names part 1 at a made-up start and length: the worker sends the local part.
TEST(UploadPoolTest, SendsTheLocalPartAndGivesUpOnBadJobsOrRepeatedTimeOuts) {
  // The sends as H (a head naming the local part), b (a body piece), 2 (status 2).
  struct Case { const char* name; S state; uint32_t part; bool time_out; const char* sends; };
  const Case cases[] = {{"sent", S::kWaitForUpload, 1, false, "Hbbb"},
                        {"part not held", S::kWaitForUpload, 2, false, "2"},
                        {"user not waiting", S::kUploadInit, 1, false, ""},
                        {"sends time out", S::kWaitForUpload, 1, true, "Hbbbb"}};
  constexpr uint32_t kPart = 200 * 1024;
  for (const Case& c : cases) {
    LogCapture log;
    Peer peer(kPart, 3, {0, 1});
    peer.link.script = [&](size_t n, bool throttled) -> int64_t {
      EXPECT_LE(n, UploadPool::kChunkBytes);
      if (throttled && c.time_out) return kSendTimedOut;
      return std::min<int64_t>(static_cast<int64_t>(n), throttled ? 100000 : n);
    };
    UploadPool pool(peer.jobs, peer.uploads, peer.fs, peer.link, peer.headers);
    pool.Resize(3);
    pool.Resize(1);
    EXPECT_EQ(pool.WorkerCount(), 1);
    peer.uploads.Add(7, kA, c.state);
    ASSERT_TRUE(peer.jobs.Push(UploadJob{7, {1, c.part, 5, 10}}));
    ASSERT_TRUE(peer.FinishUploads());
    std::string sends;
    Bytes body;
    for (const auto& s : peer.link.SentTo(kA)) {
      const uint8_t* m = s.bytes.data();
      if (s.throttled) body.insert(body.end(), s.bytes.begin(), s.bytes.end());
      sends += s.throttled ? 'b'
               : wire::DecodeHeader(m).type == wire::kRespond ? char('0' + wire::DecodeRespondStatus(m))
               : wire::DecodePartMessage(m) == peer.Part(1) &&
                       wire::DecodeHeader(m).length == kPart + 16 ? 'H' : '?';
    }
    EXPECT_EQ(sends, c.sends) << c.name;
    EXPECT_EQ(peer.uploads.Get(7)->state, c.state == S::kWaitForUpload ? S::kBeforeUpload : c.state)
        << c.name;
    const bool sent = !c.time_out && sends[0] == 'H';
    const auto part = peer.content.begin() + kPart;
    EXPECT_TRUE(body == (sent ? Bytes(part, part + kPart) : Bytes())) << c.name;
    EXPECT_EQ(log.Count("Send to 7, Start: 204800, Length: 100000, UID: 1.1, rb: 131072, bl: "
                        "204800"), sent) << c.name;
  }
}

}  // namespace
}  // namespace brelvane
