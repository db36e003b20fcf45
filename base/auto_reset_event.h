// SPDX-License-Identifier: MIT
// AutoResetEvent: a wake-up signal between threads.  Set() leaves the event
// signalled until one waiter consumes it; a Wait() that finds it signalled
// returns at once and resets it, so one Set() wakes exactly one Wait() (or
// the next one to come).  Several Set() calls before a Wait() count as one.
// Every wait has a time limit, so a lost or late signal costs at most that.
//
// The engine keeps four of these (acquire wake, HTTP work, upload work,
// connector wake); the HTTP download manager waits on the HTTP work event
// between its allocation attempts and signals it when a request fails.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace brelvane {

class AutoResetEvent {
 public:
  explicit AutoResetEvent(bool signalled = false) : signalled_(signalled) {}
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  // Signals the event and wakes one waiter.
  void Set();
  // Clears the signal without waking anyone.
  void Reset();
  // Waits up to `timeout_ms` for the signal.  True (and the event is reset)
  // when it was signalled; false when the time ran out.
  [[nodiscard]] bool Wait(uint32_t timeout_ms);
  // True when signalled; does not consume the signal.
  bool IsSet() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_;  // guarded by mu_
};

}  // namespace brelvane
