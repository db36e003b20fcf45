// SPDX-License-Identifier: MIT
#include "p2p/net/links.h"

#include <chrono>
#include <thread>

#include "p2p/net/net_clock.h"
#include "platform/clock.h"

namespace brelvane {

const char* CloseReasonText(CloseReason reason) {
  switch (reason) {
    case CloseReason::kRemoteClosed:
      return "远端关闭";
    case CloseReason::kBadMessage:
      return "消息格式错误";
    case CloseReason::kReceiveFailed:
      return "Recv调用错误";
    case CloseReason::kIdle:
      return "超时";
  }
  return "";
}

namespace {

class RealClock : public NetClock {
 public:
  uint64_t NowMs() override { return platform::TickMs(); }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  uint32_t NowSeconds() override { return platform::NowSeconds(); }
};

}  // namespace

NetClock& NetClock::Real() {
  static RealClock clock;
  return clock;
}

}  // namespace brelvane
