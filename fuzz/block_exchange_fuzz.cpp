// SPDX-License-Identifier: MIT
// Peer messages into the block exchange, from three connections: A is a
// download user (id 2) in a state the input picks with a missing part
// attached, B an upload user (id 3), C a stranger.  Storage is real: file 1
// of four 4 KiB parts in the scratch directory, parts 0 and 1 complete.
// Input: one byte of A's state and part, then messages, each a connection
// byte, a two-byte little-endian length (cut to the 8 KiB receive buffer)
// and the bytes.  Whatever arrives, the complete parts stay complete.
#include <algorithm>
#include <vector>

#include "catalogue/md5.h"
#include "fuzz/fuzz_support.h"
#include "p2p/block_exchange.h"

namespace brelvane {
namespace {

constexpr uint32_t kPartSize = 4096;
constexpr uint32_t kParts = 4;

struct Exchange {
  Exchange() {
    fuzz::QuietLogs();
    std::string content(kPartSize * kParts, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    FileEntry entry{1, "f1", content.size(), Md5Digest(), {}};
    for (uint32_t p = 0; p < kParts; ++p) {
      entry.parts.push_back(
          {p, kPartSize, uint64_t{p} * kPartSize, Md5Buffer(&content[p * kPartSize], kPartSize)});
    }
    RangeSet32 missing;
    missing.Insert(2);
    missing.Insert(3);
    fs.SetPaths(FileEntry(), fuzz::ScratchDir(), "T");
    const std::string path = fuzz::WriteScratch("f1", content);
    fuzz::Require(fs.RegisterFile(path, entry, false, missing) && fs.StartRunner(16), "storage starts");
  }

  FileSystem fs;
  UserTable uploads{nullptr}, downloads{nullptr};
  UploadJobList jobs;
  fuzz::NullLinks link;
  fuzz::CountingHeaders headers;
  fuzz::NullStats stats;
  ConfigSettings settings;
  AutoResetEvent acquire_wake;
  BlockExchange exchange{
      BlockExchangeLinks{uploads, downloads, jobs, fs, link, headers, stats, settings, acquire_wake, {}}};
};

int OneInput(const uint8_t* data, size_t size) {
  static Exchange* const x = new Exchange();  // lives until exit: the runner thread uses it
  if (size < 1) return 0;
  const PeerAddress peers[] = {PeerAddress::Loopback(2), PeerAddress::Loopback(3), PeerAddress::Loopback(4)};
  static constexpr UserState kStates[] = {UserState::kBeforeDownLoad, UserState::kDownloadReq,
                                          UserState::kDownloadInit, UserState::kDownloading};
  x->downloads.Add(2, peers[0], UserState::kBeforeDownLoad);
  x->downloads.SetState(2, kStates[data[0] & 3], x->fs.AcquireBlock(1, 2 + ((data[0] >> 2) & 1)));
  x->uploads.Add(3, peers[1], UserState::kBeforeUpload);

  for (size_t at = 1; at + 3 <= size;) {
    const size_t n = std::min<size_t>({wire::GetU16(data + at + 1), size - at - 3, 8192});
    x->exchange.OnPeerMessage(peers[data[at] % 3], data + at + 3, n);
    at += 3 + n;
  }
  for (const PeerAddress& peer : peers) x->exchange.OnPeerClosed(peer, CloseReason::kRemoteClosed);
  x->exchange.CommitPending();  // what a quiet connection would let go
  x->uploads.Clear();
  x->downloads.Clear();
  x->jobs.Clear();
  fuzz::Require(x->fs.Drain(), "storage drains");
  fuzz::Require(x->fs.IsPartVerified(1, 0) && x->fs.IsPartVerified(1, 1), "complete parts stay complete");
  return 0;
}

}  // namespace
}  // namespace brelvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brelvane::OneInput(data, size);
}
