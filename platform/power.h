// SPDX-License-Identifier: MIT
// Keeps the machine from suspending while an update runs.  On Linux this
// is a "sleep" inhibitor lock taken from logind over the system bus; where
// there is no system bus (containers, minimal systems) it does nothing.
//
// Thread safety: one object per owner; not shared.
#pragma once

namespace brelvane::platform {

class SuspendInhibitor {
 public:
  // Takes the lock; `who` and `why` are shown by the session manager.
  SuspendInhibitor(const char* who, const char* why);
  ~SuspendInhibitor();  // releases the lock
  SuspendInhibitor(const SuspendInhibitor&) = delete;
  SuspendInhibitor& operator=(const SuspendInhibitor&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace brelvane::platform
