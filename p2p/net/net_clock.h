// SPDX-License-Identifier: MIT
// NetClock: the time sources of the transport, so that tests run the idle
// sweep, the keep-alive, the batch connector's time limits and both
// bandwidth limiters on simulated time.
//
//   NowMs / SleepMs   the tick clock (milliseconds, monotonic): connect time
//                     limits and the limiters' windows
//   NowSeconds        calendar seconds: connection activity, the idle sweep
//                     and the keep-alive's "15 s since the last send"
//
// Thread safety: implementations are called from every transport thread.
#pragma once

#include <cstdint>

#include "p2p/net/bandwidth_limiter.h"

namespace brelvane {

class NetClock : public BandwidthLimiter::Clock {
 public:
  virtual uint32_t NowSeconds() = 0;
  // The platform's clocks and real sleeps.
  static NetClock& Real();
};

}  // namespace brelvane
