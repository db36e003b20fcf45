// SPDX-License-Identifier: MIT
// The simulated clock of the transport and limiter tests.
#pragma once

#include <atomic>
#include <functional>

#include "p2p/net/net_clock.h"

namespace brelvane::net_test {

// Moves only when told: SleepMs advances the ticks (counted, then `on_sleep`
// runs), and so does every NowMs() call, by `ms_per_read`.
struct FakeClock : NetClock {
  uint64_t NowMs() override { return ms.fetch_add(ms_per_read); }
  void SleepMs(uint32_t n) override {
    ms.fetch_add(n);
    ++sleeps;
    if (on_sleep) on_sleep();
  }
  uint32_t NowSeconds() override { return seconds.load(); }
  std::atomic<uint64_t> ms{5'000'000}, ms_per_read{0};
  std::atomic<uint32_t> seconds{1'000'000};
  std::atomic<int> sleeps{0};
  std::function<void()> on_sleep;  // set before the clock is shared
};

}  // namespace brelvane::net_test
