// SPDX-License-Identifier: MIT
// SpeedHistory: the last ten minutes of one-second rate samples, plus the
// lifetime mean of every sample ever pushed.  Used for the statistics report
// and the "get ave" answer.
//
// Thread safety: internally locked; Push (status thread) and Average (main
// thread, status thread) may run concurrently.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

namespace brelvane {

struct SpeedSample {
  float upload = 0.0f;    // KB/s
  float download = 0.0f;  // KB/s
};

class SpeedHistory {
 public:
  static constexpr size_t kCapacity = 600;

  // Appends a sample, dropping the oldest when 600 are held.
  void Push(SpeedSample sample);

  // Mean over the samples from `far` back (inclusive) to `near` back
  // (exclusive) from the newest.  far == 0: the lifetime means, and the
  // result is the lifetime count.  Otherwise, when near <= far <= Size(),
  // the result is far - near; else 0 and `out` is untouched.
  // REQUIRES: far >= near.
  uint32_t Average(uint32_t far, uint32_t near, SpeedSample& out) const;

  size_t Size() const;

 private:
  mutable std::mutex mu_;
  std::deque<SpeedSample> samples_;  // guarded by mu_
  uint32_t count_ = 0;               // guarded by mu_
  SpeedSample mean_;                 // guarded by mu_
};

}  // namespace brelvane
