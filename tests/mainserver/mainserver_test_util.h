// SPDX-License-Identifier: MIT
// Shared helpers of the main-server tests: a core with a settable clock and a
// recording outlet, simulated clients, a statistics message built field by
// field.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "p2p/wire/wire_format.h"
#include "tools/mainserver/download_stat.h"
#include "tools/mainserver/main_server.h"

namespace brelvane::mainserver::testing_util {

struct Sent {
  platform::InetAddress to;
  std::vector<uint8_t> bytes;
  int32_t type() const { return wire::GetI32(bytes.data()); }
};

struct Client {
  platform::InetAddress addr;
  uint16_t tcp_port = 0;
  int32_t id = -1;
  uint32_t token = 0;
};

// The 184-byte message carrying `f` (sources in host order, the caption cut
// to 24 bytes), body scrambled, header from `c`.
std::vector<uint8_t> BuildStatMessage(const Client& c, const DownloadStat& f);
wire::Md5Bytes SwarmHash(uint8_t tag);

// A core whose clock (settable) and outlet (recording) are the fixture, and
// client actions.
class CoreTest : public ::testing::Test, public ServerClock, public ServerOutlet {
 protected:
  void SetUp() override { Make(ServerLimits{}); }
  void Make(const ServerLimits& limits) {
    core_ = std::make_unique<MainServerCore>(limits, this, this, 7);
  }
  uint64_t MonotonicMs() const override { return now_ms_; }
  int64_t WallSeconds() const override { return wall_; }
  void SendDatagram(const platform::InetAddress& to, const uint8_t* data, size_t length) override {
    sent_.push_back(Sent{to, std::vector<uint8_t>(data, data + length)});
  }
  void WriteStatLine(std::string_view line) override { lines_.emplace_back(line); }
  // A client at 10.0.<n / 250>.<n % 250 + 1>, port 4000 + n % 7.
  static Client MakeClient(uint32_t n, uint16_t tcp_port = 7000);
  // Logs in; when accepted, stores the id and token in `c`.  ReplyCode -99
  // when no acknowledgement came back to the client.
  wire::LoginAck Login(Client* c, uint8_t swarm_tag);
  // MakeClient(n) logged in to `swarm_tag`; a failure fails the test.
  Client Joined(uint32_t n, uint8_t swarm_tag, uint16_t tcp_port = 7000);
  // A header-only message (or a progress report of 0) with `c`'s id and token.
  static std::vector<uint8_t> Message(const Client& c, int32_t type);
  void Send(const Client& c, const std::vector<uint8_t>& bytes) {
    core_->HandleDatagram(bytes.data(), bytes.size(), c.addr);
  }
  // Sends `bytes` from `c`; the answer when exactly one of `type` came back
  // to `c` and nothing else, else empty.
  std::vector<uint8_t> Ask(const Client& c, const std::vector<uint8_t>& bytes, int32_t type);
  // Sends CSMessageGetPeer; the answer, or count -1 when none came.
  wire::PeerList GetPeers(const Client& c);
  std::vector<Sent> TakeSent() { return std::exchange(sent_, {}); }

  uint64_t now_ms_ = 5'000'000;
  int64_t wall_ = 1'700'000'000;
  std::vector<Sent> sent_;
  std::vector<std::string> lines_;
  std::unique_ptr<MainServerCore> core_;
};

}  // namespace brelvane::mainserver::testing_util
