// SPDX-License-Identifier: MIT
// Shared pieces of the transport tests: a simulated clock, a joiner that puts
// data pieces back together (checking every piece's head), a recording
// listener, and a stream of peer messages.
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

// Records what the transport delivers; WaitFor waits at most 20 s for `ready`
// (run under the lock).
struct Recorder : ITransportListener {
  void OnPeerMessage(const PeerAddress&, const uint8_t* message, size_t length) override {
    Locked([&] { joined_ok = joined.Add(message, length) && joined_ok; });
  }
  void OnPeerClosed(const PeerAddress& p, CloseReason r) override {
    Locked([&] { closes.emplace_back(p, r); });
  }
  void OnServerDatagram(const uint8_t* d, size_t n) override {
    Locked([&] { datagrams.emplace_back(d, d + n); });
  }
  void Locked(auto change) {
    std::lock_guard<std::mutex> lock(mu);
    change();
    cv.notify_all();
  }
  bool WaitFor(auto ready) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), ready);
  }
  bool WaitForClose(const PeerAddress& peer, CloseReason* reason) {
    return WaitFor([&] {
      for (const auto& [who, why] : closes)
        if (who == peer) return (*reason = why), true;
      return false;
    });
  }

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
