// SPDX-License-Identifier: MIT
// Peer messages into the block exchange, from three connections: A is a
// download user (id 2) in a state the input picks with a missing part
// attached, B an upload user (id 3), C a stranger.  Storage is real: file 1
// of four 4 KiB parts in the scratch directory, parts 0 and 1 complete.
// Input: one byte of A's state and part, then messages, each a connection
// byte, a two-byte little-endian length (cut to the 8 KiB receive buffer)
// and the bytes.  Whatever arrives, the complete parts stay complete.
#include <algorithm>
#include <fstream>
#include <vector>

#include "catalogue/md5.h"
#include "fuzz/fuzz_support.h"
#include "p2p/block_exchange.h"

namespace wire = brelvane::wire;
using brelvane::UserState;
using brelvane::fuzz::Require;

namespace {

constexpr uint32_t kPartSize = 4096;
constexpr uint32_t kParts = 4;

struct Exchange {
  Exchange() {
    brelvane::fuzz::QuietLogs();
    const std::string dir = brelvane::fuzz::ScratchDir();
    std::vector<uint8_t> content(kPartSize * kParts);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + i / 251);
    (void)brelvane::fuzz::WriteScratch(
        "f1", std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
    brelvane::FileEntry entry{1, "f1", content.size(), brelvane::Md5Digest(), {}};
    brelvane::RangeSet32 missing;
    for (uint32_t p = 0; p < kParts; ++p) {
      entry.parts.push_back({p, kPartSize, uint64_t{p} * kPartSize,
                             brelvane::Md5Buffer(content.data() + p * kPartSize, kPartSize)});
      if (p >= 2) missing.Insert(p);
    }
    fs.SetPaths(brelvane::FileEntry(), dir, "T");
    Require(fs.RegisterFile(dir + "f1", entry, false, missing) && fs.StartRunner(16),
            "storage starts");
  }

  brelvane::FileSystem fs;
  brelvane::UserTable uploads{nullptr}, downloads{nullptr};
  brelvane::UploadJobList jobs;
  brelvane::fuzz::NullPeerLink link;
  brelvane::fuzz::CountingHeaders headers;
  brelvane::fuzz::NullStats stats;
  brelvane::ConfigSettings settings;
  brelvane::AutoResetEvent acquire_wake;
  brelvane::BlockExchange exchange{brelvane::BlockExchangeLinks{
      uploads, downloads, jobs, fs, link, headers, stats, settings, acquire_wake, {}}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Exchange* const x = new Exchange();  // lives until exit: the runner thread uses it
  if (size < 1) return 0;
  const brelvane::PeerAddress peers[] = {brelvane::PeerAddress::Loopback(2),
                                         brelvane::PeerAddress::Loopback(3),
                                         brelvane::PeerAddress::Loopback(4)};
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
  for (const brelvane::PeerAddress& peer : peers) {
    x->exchange.OnPeerClosed(peer, brelvane::CloseReason::kRemoteClosed);
  }
  x->uploads.Clear();
  x->downloads.Clear();
  x->jobs.Clear();
  Require(x->fs.Drain(), "storage drains");
  Require(x->fs.IsPartVerified(1, 0) && x->fs.IsPartVerified(1, 1), "complete parts stay complete");
  return 0;
}
