// SPDX-License-Identifier: MIT
// Shared pieces of the transport tests: a simulated clock, a joiner that puts
// data pieces back together (checking every piece's head), a listener that
// records what the transport delivers, and a stream of peer messages.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <vector>

#include "p2p/net/links.h"
#include "p2p/net/net_clock.h"

namespace brelvane::net_test {

using Bytes = std::vector<uint8_t>;

// Moves only when told: SleepMs advances the ticks, and so does every NowMs()
// call, by `ms_per_read`.
struct FakeClock : NetClock {
  uint64_t NowMs() override { return ms.fetch_add(ms_per_read); }
  void SleepMs(uint32_t n) override { ms.fetch_add(n); }
  uint32_t NowSeconds() override { return seconds.load(); }
  std::atomic<uint64_t> ms{5'000'000}, ms_per_read{0};
  std::atomic<uint32_t> seconds{1'000'000};
};

// False on a piece whose head does not continue the open data message (start
// advanced and MsgLength shrunk by exactly the data delivered before it).
struct Joiner {
  bool Add(const uint8_t* piece, size_t n);
  std::vector<Bytes> messages;
  Bytes open;  // the first piece of an unfinished data message and its data since
  size_t delivered = 0;
};

struct Recorder : ITransportListener {
  void OnPeerMessage(const PeerAddress&, const uint8_t* message, size_t length) override;
  void OnPeerClosed(const PeerAddress& peer, CloseReason reason) override;
  void OnServerDatagram(const uint8_t* data, size_t length) override;
  template <typename Ready>
  bool WaitFor(Ready ready) {  // at most 20 s; `ready` runs under the lock
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), ready);
  }
  bool WaitForClose(const PeerAddress& peer, CloseReason* reason);

  std::mutex mu;
  std::condition_variable cv;
  Joiner joined;
  bool joined_ok = true;
  std::vector<std::pair<PeerAddress, CloseReason>> closes;
  std::vector<Bytes> datagrams;
};

// Hello, request, respond, report, reset, a data message of `data_bytes`, start.
std::vector<Bytes> SampleMessages(size_t data_bytes, std::mt19937& random);
Bytes Concat(const std::vector<Bytes>& messages);

}  // namespace brelvane::net_test
