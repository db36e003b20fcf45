// SPDX-License-Identifier: MIT
#include "base/auto_reset_event.h"

#include <chrono>

namespace brelvane {

void AutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void AutoResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  signalled_ = false;
}

bool AutoResetEvent::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; })) {
    return false;
  }
  signalled_ = false;
  return true;
}

bool AutoResetEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(mu_);
  return signalled_;
}

}  // namespace brelvane
