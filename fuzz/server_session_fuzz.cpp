// SPDX-License-Identifier: MIT
// Datagrams from the main server into the session: each is a two-byte
// little-endian length and that many bytes (a forged or cut login answer,
// peer list, re-login or connect request).  No peer-list record the session
// accepts may name an address no peer can have, the own user or the own
// listener, and what it queues stays within its bounds.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "p2p/server_session.h"

namespace wire = brelvane::wire;
using brelvane::fuzz::Require;

namespace {

constexpr uint32_t kOwnIp = 0x0A000005;
constexpr uint16_t kOwnTcp = 12000;

// Login sleeps take no time; the login finds no server and gives up at once.
struct InstantClock final : brelvane::LoginClock {
  uint64_t NowMs() override { return now; }
  void Sleep(uint32_t ms, const std::function<bool()>&) override { now += ms; }
  void Wake() override {}
  uint64_t now = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brelvane::fuzz::QuietLogs();
  brelvane::ConfigSettings settings;
  brelvane::fuzz::NullLinks link;
  brelvane::CandidateList candidates;
  brelvane::ConnectRequestQueue requests;
  brelvane::AutoResetEvent wake;
  const brelvane::ServerSessionHooks hooks{[](int32_t id) { return id == 7; }, {},
                                           [] { return brelvane::ProgressSample{false, 0.5}; }};
  brelvane::ServerSession session(settings, link, candidates, requests, wake, hooks,
                                  std::make_unique<InstantClock>());
  session.SetIdentity({kOwnIp, kOwnTcp, 4000, {}});
  session.SetProgressReporting(true);

  for (size_t at = 0; at + 2 <= size;) {
    const size_t n = std::min<size_t>(wire::GetU16(data + at), size - at - 2);
    session.OnServerDatagram(data + at + 2, n);
    at += 2 + n;
    session.ReportProgress();
  }
  session.Stop();

  for (const wire::PeerRecord& r : candidates.PeekFront(brelvane::CandidateList::kMaxEntries, {})) {
    const uint32_t ip = r.tcp.ip;
    Require(ip != 0 && ip != 0xFFFFFFFFu && (ip >> 28) != 0xE && r.tcp.port != 0,
            "candidates have a usable address");
    Require(!(ip == kOwnIp && r.tcp.port == kOwnTcp) && r.user_id != 7,
            "candidates are neither this listener nor a download user");
  }
  Require(requests.size() <= brelvane::ConnectRequestQueue::kCapacity, "connect requests bounded");
  return 0;
}
