// SPDX-License-Identifier: MIT
// The main server's decisions, against the core with a fake clock; the
// real program's command line.
#include <cmath>
#include <map>
#include <random>
#include <set>

#include <gmock/gmock.h>

#include "mainserver/mainserver_test_util.h"
#include "platform/child_process.h"
#include "tools/mainserver/server_options.h"

namespace brelvane::mainserver {
namespace {

using testing_util::Client;
using testing_util::CoreTest;
using testing_util::Sent;

TEST_F(CoreTest, SwarmsNeverMixAndPeerListsPreferCompleteAndRecentMembers) {
  // Swarm 1 is every third client; its first ten report, 0..4 then fall silent for 40 s.
  const uint8_t reported[] = {100, 100, 95, 80, 50, 100, 100, 95, 80, 50};
  const size_t expected[] = {5, 6, 0, 1, 7, 2, 8, 3, 9, 4};  // by completion, then recency
  std::map<int32_t, uint32_t> by_id;                         // id -> client number
  std::vector<Client> clients;
  for (uint32_t n = 0; n < 120; ++n) {
    clients.push_back(Joined(n, n % 3 == 0 ? 1 : 2, static_cast<uint16_t>(7000 + n)));
    ASSERT_TRUE(by_id.emplace(clients[n].id, n).second);
    Send(clients[n], wire::BuildProgress({0, 1, clients[n].id, clients[n].token, 0},
                                         n % 3 == 0 && n < 30 ? reported[n / 3] : 0));
    if (n == 12) now_ms_ += 40000;
  }
  std::set<int32_t> seen;
  for (uint32_t n = 120; n-- > 0;) {  // the ten reporting members ask last
    const wire::PeerList list = GetPeers(clients[n]);
    ASSERT_EQ(list.count, 16);
    for (size_t i = 0; i < 16; ++i) {
      const wire::PeerRecord& r = list.records[i];
      ASSERT_NE(r.user_id, clients[n].id);
      const uint32_t got = by_id.at(r.user_id);
      const platform::InetAddress& at = clients[got].addr;
      EXPECT_EQ(got % 3 == 0, n % 3 == 0);
      EXPECT_EQ(std::pair(r.udp, r.tcp), std::pair(wire::NetAddr{at.ip, at.port, 0},
                                                   wire::NetAddr{at.ip, uint16_t(7000 + got), 0}));
      if (n % 3 != 0 || n < 30) continue;
      EXPECT_EQ(i < 10 ? reported[expected[i]] : 0, got < 30 && got % 3 == 0 ? reported[got / 3] : 0);
      EXPECT_EQ(i < 10 && got >= 15, i < 10 && expected[i] >= 5) << "place " << i;
      if (i >= 10) seen.insert(r.user_id);
    }
  }
  EXPECT_GT(seen.size(), 20u);  // the other places are drawn from 30 equals
  // Connect-back: relayed only to another member of the same swarm, the
  // requester as observed (the client connects to offset 24), then its own
  // record as sent (id at 40, TCP port at 56).
  const Client& a = clients[0];
  const wire::PeerRecord own{a.id, {0xC0A80005, a.addr.port, 0}, {0xC0A80005, 7000, a.addr.port}};
  for (const int32_t target : {clients[3].id, clients[1].id, a.id + 5000, a.id}) {
    const std::vector<uint8_t> request = wire::BuildConnectRequest(
        {0, 1, a.id, a.token, 0}, wire::kConnectRequestCS, {{target, {}, {}}, own});
    Send(a, request);
    const std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), target == clients[3].id ? 1u : 0u) << "target " << target;
    if (sent.empty()) continue;
    const uint8_t* m = sent[0].bytes.data();
    ASSERT_TRUE(sent[0].to == clients[3].addr && sent[0].bytes.size() == 60 &&
                wire::ValidateForClient(m) && sent[0].type() == wire::kConnectRequestSC);
    EXPECT_EQ(wire::DecodePeerRecord(m + 20),
              (wire::PeerRecord{a.id, {a.addr.ip, a.addr.port, 0}, {a.addr.ip, 7000, 0}}));
    EXPECT_EQ(wire::GetU32(m + 24), a.addr.ip);
    EXPECT_TRUE(std::equal(m + 40, m + 60, request.begin() + 40));
  }
  // A login repeated from the same source (its acknowledgement was lost)
  // keeps id and token; the same source in another swarm is another member.
  Client again = clients[1];
  EXPECT_EQ(Login(&again, 2).user_id, clients[1].id);
  EXPECT_EQ(again.token, clients[1].token);
  EXPECT_NE(Login(&again, 9).user_id, clients[1].id);
  const wire::Login login{7001, 4001, 0, 4001, testing_util::SwarmHash(2)};  // already holds it
  EXPECT_TRUE(Ask(clients[1], wire::BuildLogin({0, 5, clients[1].id, clients[1].token, 0}, login),
                  wire::kLoginAck).empty());
  for (uint32_t n = 0; n < 120; n += 3) Send(clients[n], Message(clients[n], wire::kLogout));
  EXPECT_EQ(core_->swarm_count() * 1000 + core_->member_count(), 2081u);  // swarm 1 is gone
  EXPECT_TRUE(core_->registry().CheckInvariants());
}

TEST_F(CoreTest, OnlyTheRightMemberIsActedOnAndSilentOnesGetOneReloginPerSecond) {
  Client a = Joined(1, 1);
  (void)Joined(2, 1);
  const std::pair<void (*)(Client*), int32_t> cases[] = {  // forgery, type sent back (0: none)
      {[](Client*) {}, wire::kPeerList},
      {[](Client* c) { c->token ^= 1; }, 0},
      {[](Client* c) { c->addr.port += 1; }, 0},
      {[](Client* c) { c->addr.ip += 1; }, 0},
      {[](Client* c) { c->id += 1000; }, wire::kRelogin},  // never issued
      {[](Client* c) { c->id = -1, c->token = 0; }, 0},     // not logged in yet
  };
  for (const auto& [forge, answer] : cases) {
    now_ms_ += 1000;  // re-logins are paced per source and second
    Client forged = a;
    forge(&forged);
    Send(forged, Message(forged, wire::kGetPeer));
    const std::vector<Sent> sent = TakeSent();  // one answer to the sender, or none
    EXPECT_EQ(sent.size() == 1 && sent[0].to == forged.addr ? sent[0].type() : 7 * sent.size(), answer);
    Send(forged, Message(forged, wire::kLogout));  // only the genuine one leaves
    EXPECT_EQ(core_->member_count(), answer == wire::kPeerList ? 1u : 2u) << answer;
    if (answer == wire::kPeerList) a = Joined(1, 1);
  }
  for (int i = 0; i < 8; ++i) now_ms_ += 15000, Send(a, Message(a, wire::kKeepAlive));  // kept
  now_ms_ += 60000;  // exactly 60 s of silence is still allowed
  Send(a, Message(a, wire::kProgress));
  EXPECT_TRUE(TakeSent().empty());
  EXPECT_EQ(core_->DropSilent(), 1u);  // b
  EXPECT_EQ(GetPeers(a).count, 0);
  now_ms_ += 61000;
  for (const auto& [advance_ms, relogin] : {std::pair(0, true), {10, false}, {500, false},
                                              {489, false}, {1, true}, {999, false}, {1000, true}}) {
    now_ms_ += advance_ms;
    const std::vector<uint8_t> r = Ask(a, Message(a, wire::kKeepAlive), wire::kRelogin);
    ASSERT_EQ(r.size(), relogin ? wire::kHeaderSize : 0u) << "after " << advance_ms << " ms";
    // User id -1, token and length 0.
    EXPECT_TRUE(r.empty() || (wire::GetI32(&r[8]) == -1 && wire::GetU64(&r[12]) == 0));
  }
  EXPECT_EQ(core_->member_count() + core_->swarm_count(), 0u);
  EXPECT_NE(Joined(1, 1).id, a.id);  // ids are never reused
}

TEST_F(CoreTest, CapsAndRateLimitHoldUnderAFlood) {
  Make(ServerLimits{2, 3, 10, 15});  // swarms, members per swarm, datagrams per second
  const std::tuple<uint32_t, uint8_t, int32_t> logins[] = {  // client, swarm, reply
      {1, 1, kReplyAccepted}, {2, 1, kReplyAccepted}, {3, 1, kReplyAccepted},
      {4, 1, kReplySwarmFull}, {5, 2, kReplyAccepted}, {6, 3, kReplyServerFull},
      {7, 2, kReplyAccepted}, {7, 2, kReplyAccepted}};
  for (const auto& [n, swarm, reply] : logins) {
    Client c = MakeClient(n);
    EXPECT_EQ(Login(&c, swarm).reply_code, reply) << "client " << n;
  }
  Client flooder = MakeClient(1), quiet = MakeClient(7);
  (void)Login(&flooder, 1), (void)Login(&quiet, 2);  // repeated: same ids
  // Each second 1000 peer requests, and 1000 junk datagrams from elsewhere:
  // ten answers for the flooder, and another source is still answered.
  for (int second = 0; second < 3; ++second) {
    now_ms_ += 1000;
    size_t answered = 0;
    for (int i = 0; i < 1000; ++i) {
      answered += GetPeers(flooder).count >= 0 ? 1 : 0;
      const uint8_t junk[20] = {static_cast<uint8_t>(i)};
      core_->HandleDatagram(junk, sizeof(junk), MakeClient(999).addr);
    }
    EXPECT_EQ(answered, 10u);
    EXPECT_EQ(GetPeers(quiet).count, 1);
  }
  for (uint32_t n = 100; n < 5100; ++n) {  // logins from thousands of sources
    Client c = MakeClient(n);
    (void)Login(&c, static_cast<uint8_t>(3 + n % 250));
  }
  EXPECT_EQ(core_->swarm_count() * 100 + core_->member_count(), 205u);
  EXPECT_EQ(GetPeers(quiet).count, 1);
  EXPECT_TRUE(core_->registry().CheckInvariants());
}

TEST_F(CoreTest, StatisticsLinesDecodeToTheValuesSent) {
  const Client c = Joined(3, 5);
  const auto line_of = [&](void (*change)(DownloadStat*)) {
    DownloadStat f{.begin_state = 2, .end_state = 6, .http_threads = 4, .dns = 0xC0A80101,
                   .p2p_bytes = 0x1234567890ull, .http_bytes = 987654321,
                   .start_time = 1700000000, .end_time = 1700000321, .http_source_count = 12,
                   .version = 17, .http_sources = {0x0A010203, 0xC0A800FE, 0, 0, 0, 0, 0, 0x01020304},
                   .mac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe}, .memory_mib = 4096,
                   .cpu_mhz = 3200, .disk_caption = "ABCDEFGHIJKLMNOPQRSTUVWXYZ",  // cut to 24
                   .speeds = {16777215.0f, NAN, -2.5f, 0.125f, -1, -1, -1, -1, -1, -1}};
    change(&f);
    lines_.clear();
    Send(c, testing_util::BuildStatMessage(c, f));
    return lines_.size() == 1 ? lines_[0] : std::to_string(lines_.size()) + " lines";
  };
  EXPECT_EQ(line_of([](DownloadStat*) {}),
            "{\"time\":1700000000,\"source\":\"10.0.0.4:4003\",\"user_id\":" + std::to_string(c.id) +
                ",\"swarm\":\"9b9c9d9e9fa0a1a2a3a4a5a6a7a8a9aa\",\"begin_state\":2,\"begin_state_"
                "name\":\"Complete\",\"end_state\":6,\"end_state_name\":\"Restart\",\"http_threads\":"
                "4,\"dns\":\"192.168.1.1\",\"p2p_bytes\":78187493520,\"http_bytes\":987654321,"
                "\"start_time\":1700000000,\"end_time\":1700000321,\"version\":17,\"http_sources\":"
                "[\"10.1.2.3\",\"192.168.0.254\",\"0.0.0.0\",\"0.0.0.0\",\"0.0.0.0\",\"0.0.0.0\","
                "\"0.0.0.0\",\"1.2.3.4\"],\"mac\":\"00:1a:2b:3c:4d:fe\",\"memory_mib\":4096,"
                "\"cpu_mhz\":3200,\"disk_caption\":\"ABCDEFGHIJKLMNOPQRSTUVWX\",\"speeds\":[16777215,"
                "null,-2.5,0.125,-1,-1,-1,-1,-1,-1]}");
  const std::pair<void (*)(DownloadStat*), const char*> cases[] = {
      {[](auto* f) { f->begin_state = 1, f->end_state = 4; },
       "\"begin_state_name\":\"Continue\",\"end_state\":4,\"end_state_name\":\"Finish\","},
      {[](auto* f) { f->begin_state = -1, f->end_state = 9; },
       "\"begin_state\":-1,\"begin_state_name\":\"Unknown\",\"end_state\":9,\"end_state_name\":"
       "\"Unknown\","},
      {[](auto* f) { f->http_source_count = 0; }, "\"http_sources\":[],"},
      {[](auto* f) { f->disk_caption = std::string("a\"b\\c\x01\xe4\xb8\xad\xff", 10); },
       "\"disk_caption\":\"a\\\"b\\\\c\\u0001\xe4\xb8\xad\\u00ff\","},
  };
  for (const auto& [change, part] : cases) EXPECT_THAT(line_of(change), ::testing::HasSubstr(part));
}

TEST(RegistryTest, RandomAddsAndRemovesKeepEveryIndexExact) {
  Registry registry(99);
  std::mt19937 rng(3);
  std::vector<int32_t> live;
  for (int32_t step = 0; step < 6000; ++step) {
    if (live.empty() || rng() % 100 < 55) {  // few swarms and addresses: long probe chains
      const wire::Md5Bytes hash{static_cast<uint8_t>(rng() % 16)};
      Member m{step, 0, static_cast<uint32_t>(rng() % 256), 4000, 0, 0, registry.FindSwarm(hash)};
      if (m.swarm == kNoSlot) m.swarm = registry.AddSwarm(hash);
      if (registry.FindMemberAt(m.swarm, m.ip, m.port) != kNoSlot) continue;
      registry.AddMember(m);
      live.push_back(step);
    } else {
      std::swap(live[rng() % live.size()], live.back());
      ASSERT_NE(registry.FindMember(live.back()), kNoSlot);
      registry.RemoveMember(registry.FindMember(live.back()));
      live.pop_back();
    }
    ASSERT_TRUE(step % 50 != 0 || registry.CheckInvariants()) << "step " << step;
  }
  EXPECT_EQ(registry.member_count(), live.size());
}

int Program(std::vector<std::string> args) {
  args.insert(args.begin(), std::string(BRELVANE_BINARY_DIR) + "/tools/mainserver/brelvane-mainserver");
  platform::ProcessId pid = 0;
  int code = -1;
  return platform::SpawnProcess(args, {}, &pid) != 0 || platform::WaitProcess(pid, &code) != 0 ? -2 : code;
}

// Serving, the statistics file and the exit status on SIGTERM: integration.mainserver_test.
TEST(MainServerProgramTest, ExitCodes) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--help"}, kExitOk},          {{"--version"}, kExitOk},
      {{}, kExitUsage},               {{"--listen", "127.0.0.1:65536"}, kExitUsage},
      {{"--listen", "127.0.0.1:0", "--rate-limit", "-1"}, kExitUsage},
      {{"--listen=127.0.0.1:0", "--bogus"}, kExitUsage},
      {{"--listen", "127.0.0.1:0", "--stats-file", "/nonexistent-dir/stats.jsonl"}, kExitFailure}};
  for (const auto& [args, want] : cases) EXPECT_EQ(Program(args), want) << args.size();
}

}  // namespace
}  // namespace brelvane::mainserver
