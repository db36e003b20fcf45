// SPDX-License-Identifier: MIT
// BandwidthLimiter: the download limiter that HTTP transfers and peer
// receives share, so that one configured rate (bytes per second) bounds both
// together.  Receivers charge what they just received; a charge that takes
// the current window over its share of the limit sleeps until enough time has
// passed, so the receiver reads its next bytes no faster than the limit.
// The limiter also keeps the totals the console prints: bytes let through,
// and bytes charged by HTTP and by peers.
//
// Windows.  Time is cut into windows of kWindowMs on a fixed grid, each
// allowed a tenth of the per-second limit.  An excess carries over into the
// following windows (a large charge waits as many windows as it needs); an
// unused allowance does not (after a quiet spell at most one window's share
// passes at once).  Short windows keep bursts small: whatever the pattern of
// charges, the bytes let through in any 10 seconds stay within about 1 % (one
// window's share) of ten times the limit.
//
// A limit of 0 means "no limit": charges are counted and never wait.  A
// charge never waits once its stop flag or the limiter's own stop is set.
//
// Thread safety: every operation may be called from any thread.  The lock is
// held only for arithmetic, never while sleeping.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/download_meter.h"

namespace brelvane {

class BandwidthLimiter : public IDownloadMeter {
 public:
  // The configured download limit's default, bytes per second.
  static constexpr uint32_t kDefaultLimit = 0x40000;
  static constexpr uint32_t kWindowMs = 100;
  static constexpr uint32_t kWindowsPerSecond = 1000 / kWindowMs;

  // A time source and sleeper, so that tests run on simulated time.
  class Clock {
   public:
    virtual ~Clock() = default;
    virtual uint64_t NowMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
  };

  // `clock` (may be null: the steady clock and real waits) must outlive the
  // limiter.
  explicit BandwidthLimiter(uint32_t limit_bytes_per_second = kDefaultLimit,
                            Clock* clock = nullptr);
  BandwidthLimiter(const BandwidthLimiter&) = delete;
  BandwidthLimiter& operator=(const BandwidthLimiter&) = delete;

  // Adds `bytes` to the source's total and to the window, then waits while
  // the window is over its allowance, unless the limit is 0, the limiter is
  // stopped, or `*stop` (may be null) is true.  A wait ends within one window
  // of the stop flag turning true, and at once on Stop().
  void Charge(uint64_t bytes, TrafficSource source, const std::atomic<bool>* stop) override;

  // Adds `bytes` to the source's total, to the bytes let through and to the
  // window, without waiting: traffic that is not held back itself but must
  // still take its share of the limit from the traffic that is.
  void Count(uint64_t bytes, TrafficSource source);

  // Bytes per second; 0 for no limit.  Takes effect for waits in progress.
  void set_limit(uint32_t bytes_per_second);
  uint32_t limit() const;

  // Ends every wait at once; charges no longer wait until Restart().
  void Stop();
  // Clears the stop and starts a fresh window (no carried excess).
  void Restart();
  // Restart() and zero every total.
  void Reset();

  // Bytes let through (charges that returned).
  uint64_t TotalBytes() const;
  // Bytes charged by each source.
  uint64_t HttpBytes() const;
  uint64_t P2PBytes() const;

 private:
  uint64_t NowMs() const;
  // Moves the window to the grid slot of `now`, paying one allowance per
  // slot passed.  REQUIRES: mu_ held.
  void AdvanceLocked(uint64_t now);

  Clock* const clock_;
  mutable std::mutex mu_;
  std::condition_variable stop_cv_;
  uint32_t limit_;              // guarded by mu_
  bool stopped_ = false;        // guarded by mu_
  bool started_ = false;        // guarded by mu_; the grid is anchored at the first charge
  uint64_t window_start_ = 0;   // guarded by mu_, ms
  // Bytes charged in the current window (carried excess included), times
  // kWindowsPerSecond, so that the per-window allowance is exactly the
  // per-second limit in these units.
  uint64_t window_scaled_ = 0;  // guarded by mu_
  uint64_t total_ = 0;          // guarded by mu_
  uint64_t http_total_ = 0;     // guarded by mu_
  uint64_t p2p_total_ = 0;      // guarded by mu_
};

}  // namespace brelvane
