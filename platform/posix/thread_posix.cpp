// SPDX-License-Identifier: MIT
#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace brelvane::platform {

void SetCurrentThreadName(const char* name) {
  char buf[16];
  std::strncpy(buf, name, sizeof(buf) - 1);
  buf[sizeof(buf) - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace brelvane::platform
