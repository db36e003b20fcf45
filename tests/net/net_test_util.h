// SPDX-License-Identifier: MIT
// Shared pieces of the transport tests: a simulated clock, a listener that
// records what the transport delivers, a joiner that puts data pieces back
// together (checking every piece's head), and a stream of peer messages.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

#include "p2p/net/links.h"
#include "p2p/net/net_clock.h"

namespace brelvane::net_test {

using Bytes = std::vector<uint8_t>;

// Calendar seconds and ticks that only move when told; SleepMs advances the
// ticks, and every NowMs() call advances them by `ms_per_read`.
class FakeClock : public NetClock {
 public:
  uint64_t NowMs() override { return ms_.fetch_add(ms_per_read); }
  void SleepMs(uint32_t ms) override {
    sleeps.fetch_add(1);
    ms_.fetch_add(ms);
  }
  uint32_t NowSeconds() override { return seconds.load(); }
  uint64_t ms() const { return ms_.load(); }

  std::atomic<uint32_t> seconds{1'000'000};
  std::atomic<int> sleeps{0};
  std::atomic<uint64_t> ms_per_read{0};

 private:
  std::atomic<uint64_t> ms_{5'000'000};
};

// Joins the pieces of data messages back into whole messages.  False (and
// nothing kept) when a piece's head does not continue the open message:
// start advanced and MsgLength shrunk by exactly the data delivered.
class Joiner {
 public:
  bool Add(const uint8_t* piece, size_t n);
  std::vector<Bytes> messages;

 private:
  Bytes open_;  // the first piece's head and every data byte so far
  size_t delivered_ = 0;
};

class Recorder : public ITransportListener {
 public:
  void OnPeerMessage(const PeerAddress& peer, const uint8_t* message, size_t length) override;
  void OnPeerClosed(const PeerAddress& peer, CloseReason reason) override;
  void OnServerDatagram(const uint8_t* data, size_t length) override;

  // Waits (at most 20 s) until `ready()` holds, called under the lock.
  template <typename Ready>
  bool WaitFor(Ready ready) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), ready);
  }
  bool WaitForClose(const PeerAddress& peer, CloseReason* reason);

  std::mutex mu;
  std::condition_variable cv;
  Joiner joined;                       // every peer message, in order
  bool joined_ok = true;
  std::vector<std::pair<PeerAddress, CloseReason>> closes;
  std::vector<Bytes> datagrams;
};

// Hello, request, respond, report, reset and data messages (the data of
// `data_bytes`), each whole, in a fixed order.
std::vector<Bytes> SampleMessages(size_t data_bytes, std::mt19937& random);
Bytes Concat(const std::vector<Bytes>& messages);

}  // namespace brelvane::net_test
