// SPDX-License-Identifier: MIT
#include "platform/clock.h"

#include <chrono>

namespace brelvane::platform {

uint64_t TickMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t NowSeconds() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace brelvane::platform
