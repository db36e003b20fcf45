// SPDX-License-Identifier: MIT
#include "p2p/net/bandwidth_limiter.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace brelvane {

BandwidthLimiter::BandwidthLimiter(uint32_t limit_bytes_per_second, Clock* clock)
    : clock_(clock), limit_(limit_bytes_per_second) {}

uint64_t BandwidthLimiter::NowMs() const {
  return clock_ != nullptr ? clock_->NowMs() : platform::TickMs();
}

void BandwidthLimiter::AdvanceLocked(uint64_t now) {
  if (!started_) {
    started_ = true;
    window_start_ = now;
    return;
  }
  if (now < window_start_ + kWindowMs) return;
  const uint64_t slots = (now - window_start_) / kWindowMs;
  window_start_ += slots * kWindowMs;
  // One allowance (the per-second limit in scaled units) per slot; what is
  // left unused is not banked.
  const uint64_t paid = slots * limit_;
  window_scaled_ = window_scaled_ > paid ? window_scaled_ - paid : 0;
}

void BandwidthLimiter::Charge(uint64_t bytes, TrafficSource source,
                              const std::atomic<bool>* stop) {
  std::unique_lock<std::mutex> lock(mu_);
  (source == TrafficSource::kHttp ? http_total_ : p2p_total_) += bytes;
  AdvanceLocked(NowMs());
  if (limit_ != 0) window_scaled_ += bytes * kWindowsPerSecond;
  for (;;) {
    if (limit_ == 0) {
      window_scaled_ = 0;  // nothing to carry into a later limit
      break;
    }
    if (window_scaled_ <= limit_ || stopped_) break;
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) break;
    const uint64_t now = NowMs();
    const uint64_t wake = window_start_ + kWindowMs;
    const uint32_t wait_ms = static_cast<uint32_t>(wake > now ? wake - now : 0);
    if (clock_ != nullptr) {
      lock.unlock();
      clock_->SleepMs(wait_ms);
      lock.lock();
    } else if (wait_ms > 0) {
      stop_cv_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return stopped_; });
    }
    AdvanceLocked(NowMs());
  }
  total_ += bytes;
}

void BandwidthLimiter::Count(uint64_t bytes, TrafficSource source) {
  std::lock_guard<std::mutex> lock(mu_);
  (source == TrafficSource::kHttp ? http_total_ : p2p_total_) += bytes;
  AdvanceLocked(NowMs());
  if (limit_ != 0) window_scaled_ += bytes * kWindowsPerSecond;
  total_ += bytes;
}

void BandwidthLimiter::set_limit(uint32_t bytes_per_second) {
  std::lock_guard<std::mutex> lock(mu_);
  limit_ = bytes_per_second;
}

uint32_t BandwidthLimiter::limit() const {
  std::lock_guard<std::mutex> lock(mu_);
  return limit_;
}

void BandwidthLimiter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }
  stop_cv_.notify_all();
}

void BandwidthLimiter::Restart() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = false;
  started_ = false;
  window_scaled_ = 0;
}

void BandwidthLimiter::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = false;
  started_ = false;
  window_scaled_ = 0;
  total_ = http_total_ = p2p_total_ = 0;
}

uint64_t BandwidthLimiter::TotalBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_;
}

uint64_t BandwidthLimiter::HttpBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return http_total_;
}

uint64_t BandwidthLimiter::P2PBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return p2p_total_;
}

}  // namespace brelvane
