// SPDX-License-Identifier: MIT
#include "app/fakes.h"

#include <thread>

namespace brelvane::testing {

std::vector<std::string> FakeEngine::Calls(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> calls;
  for (const std::string& call : calls_) {
    if (call.starts_with(prefix)) calls.push_back(call);
  }
  return calls;
}

bool FakeEngine::RequestSeed(const std::atomic<bool>& running) {
  Note("RequestSeed");
  in_request_seed = request_seed_waits_for_stop;
  while (request_seed_waits_for_stop && running) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return request_seed;
}

void FakeEngine::ReportDownloadStat(const float speeds[10]) {
  std::ostringstream text;
  text << "Report";
  for (int i = 0; i < 10; ++i) text << ' ' << speeds[i];
  Note(text.str());
}

ServiceFactory FakeServices::Factory() {
  return [this](ConfigSettings&) {
    Services s;
    s.transport = std::make_unique<FakeTransport>();
    s.engine = std::make_unique<FakeEngine>();
    transport = static_cast<FakeTransport*>(s.transport.get());
    engine = static_cast<FakeEngine*>(s.engine.get());
    return s;
  };
}

}  // namespace brelvane::testing
