// SPDX-License-Identifier: MIT
#include "app/speed_history.h"

namespace brelvane {

void SpeedHistory::Push(SpeedSample sample) {
  std::lock_guard<std::mutex> lock(mu_);
  if (samples_.size() >= kCapacity) samples_.pop_front();
  samples_.push_back(sample);
  const double n = count_;
  mean_.upload = static_cast<float>((mean_.upload * n + sample.upload) / (n + 1));
  mean_.download = static_cast<float>((mean_.download * n + sample.download) / (n + 1));
  ++count_;
}

uint32_t SpeedHistory::Average(uint32_t far, uint32_t near, SpeedSample& out) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (far == 0) {
    out = mean_;
    return count_;
  }
  const size_t size = samples_.size();
  if (!(near <= far && far <= size) || far == near) return 0;
  double up = 0.0;
  double down = 0.0;
  for (size_t i = size - far; i < size - near; ++i) {
    up += samples_[i].upload;
    down += samples_[i].download;
  }
  const uint32_t n = far - near;
  out.upload = static_cast<float>(up / n);
  out.download = static_cast<float>(down / n);
  return n;
}

size_t SpeedHistory::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return samples_.size();
}

}  // namespace brelvane
