// SPDX-License-Identifier: MIT
// What the fuzz targets share: silent logs, a scratch directory for parsers
// that read files, and small fakes of the links and sources the peer engine's
// protocol code sends through (they count what is sent and keep nothing).
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

class NullServerLink final : public IServerLink {
 public:
  int64_t SendToServer(const uint8_t*, size_t length) override {
    ++sent;
    return static_cast<int64_t>(length);
  }
  void SetServerDestination(const std::string&, uint16_t) override {}
  std::atomic<uint64_t> sent{0};
};

class NullPeerLink final : public IPeerLink {
 public:
  int64_t SendToPeer(const PeerAddress&, const uint8_t*, size_t length, bool,
                     const std::atomic<bool>*) override {
    ++sent;
    return static_cast<int64_t>(length);
  }
  void ClosePeer(const PeerAddress&) override { ++closed; }
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> closed{0};
};

class CountingHeaders final : public IHeaderSource {
 public:
  wire::MsgHeader NextHeader() override { return wire::MsgHeader{0, index++, 1, 0, 0}; }
  std::atomic<uint32_t> index{0};
};

class NullStats final : public IUserStats {
 public:
  void RecordAddress(int32_t, const PeerAddress&) override {}
  void Touch(int32_t) override {}
  void CountAnswer(int32_t, bool) override {}
  void AddBytes(int32_t, uint64_t, bool) override {}
};

}  // namespace brelvane::fuzz
