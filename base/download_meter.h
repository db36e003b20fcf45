// SPDX-License-Identifier: MIT
// IDownloadMeter: how HTTP transfers see the download bandwidth limiter that
// they share with peer-to-peer receiving.  The limiter itself lives with the
// peer-to-peer transport (p2p/net/bandwidth_limiter.h); the
// HTTP download manager knows it only through this interface.
//
// Thread safety: implementations must accept calls from any number of
// threads at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace brelvane {

// Who received the bytes being charged; the limiter keeps one total per
// source, and one shared window for both.
enum class TrafficSource : uint8_t { kHttp, kP2P };

class IDownloadMeter {
 public:
  virtual ~IDownloadMeter() = default;

  // Counts `bytes` just received from `source` against the download limit.
  // May block to keep the configured rate; returns early, without waiting
  // further, once `*stop` (when given) turns true.
  virtual void Charge(uint64_t bytes, TrafficSource source, const std::atomic<bool>* stop) = 0;
};

}  // namespace brelvane
