// SPDX-License-Identifier: MIT
// ByteBudget bounds the bytes of received data waiting in the storage
// worker's queue.  The queue counts tasks, and a task may carry a part of up
// to 4 MiB, so a full queue could hold hundreds of MiB while the worker waits
// for the disk; the budget makes posters wait instead (within their own time
// limit), so memory follows what is in flight, not the queue's capacity.
// A single request larger than the whole budget passes when nothing else is
// held, so no block size can wait for ever.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace brelvane {

class ByteBudget {
 public:
  explicit ByteBudget(uint64_t limit) : limit_(limit) {}

  // Takes `bytes`, waiting up to `timeout_ms` for room; false when the time
  // ran out (nothing taken).
  [[nodiscard]] bool Acquire(uint64_t bytes, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    const bool room = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      return held_ == 0 || held_ + bytes <= limit_;
    });
    if (room) held_ += bytes;
    return room;
  }

  void Release(uint64_t bytes) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      held_ -= bytes;
    }
    cv_.notify_all();
  }

  uint64_t held() const {
    std::lock_guard<std::mutex> lock(mu_);
    return held_;
  }

 private:
  const uint64_t limit_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t held_ = 0;  // guarded by mu_
};

}  // namespace brelvane
