// SPDX-License-Identifier: MIT
#include "app/fakes.h"

#include <thread>

namespace brelvane::testing {

bool FakeEngine::RequestSeed(const std::atomic<bool>& running) {
  Note("RequestSeed");
  if (request_seed_waits_for_stop) {
    in_request_seed = true;
    while (running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return request_seed;
}

std::vector<std::string> ConsoleCapture::Lines() {
  std::vector<std::string> lines;
  std::istringstream in(Text());
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

ServiceFactory FakeServices::Factory() {
  return [this](ConfigSettings&) {
    Services s;
    auto t = std::make_unique<FakeTransport>();
    auto e = std::make_unique<FakeEngine>();
    transport = t.get();
    engine = e.get();
    s.transport = std::move(t);
    s.engine = std::move(e);
    return s;
  };
}

}  // namespace brelvane::testing
