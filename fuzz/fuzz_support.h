// SPDX-License-Identifier: MIT
// What the fuzz targets share: silent logs, a scratch directory for parsers
// that read files, and small fakes of the links and sources the peer engine's
// protocol code sends through (they keep nothing).
//
// Thread safety: the fakes accept calls from any thread; the scratch
// directory is made once per process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "p2p/engine_links.h"
#include "p2p/net/links.h"

namespace brelvane::fuzz {

// Console records go nowhere, the file log stays closed.  Idempotent.
void QuietLogs();

// A directory of this process's own under the temporary directory, made on
// first use and removed at exit.  Ends with "/".
const std::string& ScratchDir();

// Replaces the scratch file `name` with `bytes`; its full path.  Aborts when
// the write fails (the target would test nothing).
std::string WriteScratch(const std::string& name, std::string_view bytes);

// Checks an invariant of the code under test; a failure aborts, which
// libFuzzer reports as a crash with the input that caused it.
void Require(bool condition, const char* what);

// Both links: every send is reported whole, nothing is kept.
struct NullLinks final : IServerLink, IPeerLink {
  int64_t SendToServer(const uint8_t*, size_t n) override { return static_cast<int64_t>(n); }
  void SetServerDestination(const std::string&, uint16_t) override {}
  int64_t SendToPeer(const PeerAddress&, const uint8_t*, size_t n, bool,
                     const std::atomic<bool>*) override { return static_cast<int64_t>(n); }
  void ClosePeer(const PeerAddress&) override {}
};

struct CountingHeaders final : IHeaderSource {
  wire::MsgHeader NextHeader() override { return wire::MsgHeader{0, index++, 1, 0, 0}; }
  std::atomic<uint32_t> index{0};
};

struct NullStats final : IUserStats {
  void RecordAddress(int32_t, const PeerAddress&) override {}
  void Touch(int32_t) override {}
  void CountAnswer(int32_t, bool) override {}
  void AddBytes(int32_t, uint64_t, bool) override {}
};

}  // namespace brelvane::fuzz
