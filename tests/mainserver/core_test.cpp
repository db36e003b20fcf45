// SPDX-License-Identifier: MIT
// The main server's decisions, against the core with a fake clock.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "mainserver/mainserver_test_util.h"

namespace brelvane::mainserver {
namespace {

using testing_util::Client;
using testing_util::CoreTest;
using testing_util::JsonField;
using testing_util::Sent;

TEST_F(CoreTest, SwarmsNeverMixAndRecordsNameTheObservedAddress) {
  std::map<int32_t, std::pair<uint8_t, Client>> by_id;  // id -> swarm, client
  std::vector<Client> clients;
  for (uint32_t n = 0; n < 120; ++n) {
    clients.push_back(MakeClient(n, static_cast<uint16_t>(7000 + n)));
    ASSERT_EQ(Login(&clients[n], n % 3 == 0 ? 1 : 2).reply_code, kReplyAccepted);
    ASSERT_TRUE(by_id.emplace(clients[n].id, std::pair(n % 3 == 0 ? 1 : 2, clients[n])).second);
  }
  for (const Client& c : clients) {
    const wire::PeerList list = GetPeers(c);
    ASSERT_EQ(list.count, 16);
    for (const wire::PeerRecord& r : list.records) {
      ASSERT_NE(r.user_id, c.id);
      const auto& [swarm, peer] = by_id.at(r.user_id);
      EXPECT_EQ(swarm, by_id.at(c.id).first);
      EXPECT_EQ(r.udp, (wire::NetAddr{peer.addr.ip, peer.addr.port, 0}));
      EXPECT_EQ(r.tcp, (wire::NetAddr{peer.addr.ip, peer.tcp_port, 0}));
    }
  }
  // A login repeated from the same source (its acknowledgement was lost)
  // keeps id and token; the same source in another swarm is another member.
  Client again = clients[1];
  EXPECT_EQ(Login(&again, 2).user_id, clients[1].id);
  EXPECT_EQ(again.token, clients[1].token);
  EXPECT_NE(Login(&again, 9).user_id, clients[1].id);
  const wire::Login login{7001, 4001, 0, 4001, testing_util::SwarmHash(2)};  // already holds it
  Send(clients[1], wire::BuildLogin({0, 5, clients[1].id, clients[1].token, 0}, login));
  EXPECT_TRUE(TakeSent().empty());
  for (const Client& c : clients) {
    if (by_id.at(c.id).first == 1) Send(c, Message(c, wire::kLogout));
  }
  EXPECT_EQ(core_->swarm_count(), 2u);  // swarm 1 left with its last member
  EXPECT_EQ(core_->member_count(), 81u);
  EXPECT_TRUE(core_->registry().CheckInvariants());
}

TEST_F(CoreTest, OnlyTheRightIdTokenAndSourceAreActedOn) {
  Client a = MakeClient(1);
  ASSERT_EQ(Login(&a, 1).reply_code, kReplyAccepted);
  const struct {
    const char* name;
    void (*forge)(Client*);
    int32_t answer;  // type sent back, 0 for nothing
  } cases[] = {
      {"genuine", [](Client*) {}, wire::kPeerList},
      {"forged token", [](Client* c) { c->token ^= 1; }, 0},
      {"other source port", [](Client* c) { c->addr.port += 1; }, 0},
      {"other source ip", [](Client* c) { c->addr.ip += 1; }, 0},
      {"id never issued", [](Client* c) { c->id += 1000; }, wire::kRelogin},
      {"not logged in yet", [](Client* c) { c->id = -1, c->token = 0; }, 0},
  };
  for (const auto& k : cases) {
    now_ms_ += 1000;  // re-logins are paced per source and second
    Client forged = a;
    k.forge(&forged);
    Send(forged, Message(forged, wire::kGetPeer));
    const std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), k.answer == 0 ? 0u : 1u) << k.name;
    EXPECT_TRUE(sent.empty() || (sent[0].to == forged.addr && sent[0].type() == k.answer)) << k.name;
    Send(forged, Message(forged, wire::kLogout));  // only the genuine one leaves
    EXPECT_EQ(core_->member_count(), k.answer == wire::kPeerList ? 0u : 1u) << k.name;
    if (k.answer == wire::kPeerList) {
      EXPECT_EQ(Login(&a, 1).reply_code, kReplyAccepted);
    }
  }
}

TEST_F(CoreTest, SilentMembersExpireAndGetOneReloginPerSecond) {
  Client a = MakeClient(1);
  Client b = MakeClient(2);
  ASSERT_EQ(Login(&a, 1).reply_code, kReplyAccepted);
  ASSERT_EQ(Login(&b, 1).reply_code, kReplyAccepted);
  for (int i = 0; i < 8; ++i) {  // keep-alives every 15 s keep `a`
    now_ms_ += 15000;
    Send(a, Message(a, wire::kKeepAlive));
  }
  now_ms_ += 60000;  // exactly 60 s of silence is still allowed
  Send(a, Message(a, wire::kProgress));
  EXPECT_TRUE(TakeSent().empty());
  EXPECT_EQ(core_->DropSilent(), 1u);  // b, 180 s silent
  EXPECT_EQ(GetPeers(a).count, 0);

  now_ms_ += 61000;
  const struct {
    uint64_t advance_ms;
    size_t relogins;
  } steps[] = {{0, 1}, {10, 0}, {500, 0}, {489, 0}, {1, 1}, {999, 0}, {1000, 1}};
  for (const auto& s : steps) {
    now_ms_ += s.advance_ms;
    Send(a, Message(a, wire::kKeepAlive));
    const std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), s.relogins) << "after " << s.advance_ms << " ms";
    for (const Sent& x : sent) {
      const wire::MsgHeader h = wire::DecodeHeader(x.bytes.data());
      EXPECT_EQ(std::tuple(h.type, h.user_id, h.token, h.length, x.bytes.size(), x.to),
                std::tuple(wire::kRelogin, -1, 0u, 0u, wire::kHeaderSize, a.addr));
    }
  }
  EXPECT_EQ(core_->member_count() + core_->swarm_count(), 0u);
  Client fresh = a;
  ASSERT_EQ(Login(&fresh, 1).reply_code, kReplyAccepted);
  EXPECT_NE(fresh.id, a.id);  // ids are never reused
}

TEST_F(CoreTest, ConnectRequestIsRelayedWithTheObservedAddress) {
  Client a = MakeClient(1, 7001);
  Client b = MakeClient(2, 7002);
  Client other = MakeClient(3, 7003);
  ASSERT_EQ(Login(&a, 1).reply_code, kReplyAccepted);
  ASSERT_EQ(Login(&b, 1).reply_code, kReplyAccepted);
  ASSERT_EQ(Login(&other, 2).reply_code, kReplyAccepted);
  // The requester describes itself by the address it believes it has.
  const wire::PeerRecord own{a.id, {0xC0A80005, a.addr.port, 0}, {0xC0A80005, 7001, a.addr.port}};
  const struct {
    int32_t target;
    bool relayed;
  } cases[] = {{b.id, true}, {other.id, false}, {b.id + 5000, false}, {a.id, false}};
  for (const auto& k : cases) {
    const wire::PeerRecord target{k.target, {b.addr.ip, b.addr.port, 0}, {b.addr.ip, 7002, 0}};
    const std::vector<uint8_t> request = wire::BuildConnectRequest(
        {0, 1, a.id, a.token, 0}, wire::kConnectRequestCS, {target, own});
    Send(a, request);
    const std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), k.relayed ? 1u : 0u) << "target " << k.target;
    if (!k.relayed) continue;
    const uint8_t* m = sent[0].bytes.data();
    EXPECT_EQ(sent[0].to, b.addr);
    ASSERT_TRUE(sent[0].bytes.size() == 60 && wire::ValidateForClient(m) &&
                sent[0].type() == wire::kConnectRequestSC);
    // First record: the requester as observed; the client connects to offset 24.
    EXPECT_EQ(wire::DecodePeerRecord(m + 20),
              (wire::PeerRecord{a.id, {a.addr.ip, a.addr.port, 0}, {a.addr.ip, 7001, 0}}));
    EXPECT_EQ(wire::GetU32(m + 24), a.addr.ip);
    // Second record as sent: the requester id at 40, its TCP port at 56.
    EXPECT_TRUE(std::equal(m + 40, m + 60, request.begin() + 40));
    EXPECT_EQ(wire::GetI32(m + 40), a.id);
    EXPECT_EQ(wire::GetU16(m + 56), 7001);
  }
}

TEST_F(CoreTest, PeerListsPreferCompleteAndRecentMembersWithRandomTies) {
  std::vector<Client> clients(40);
  for (uint32_t n = 0; n < 40; ++n) {
    clients[n] = MakeClient(n);
    ASSERT_EQ(Login(&clients[n], 1).reply_code, kReplyAccepted);
  }
  // Members 0..9 report; 0..4 then fall silent for 40 s.
  const uint8_t reported[] = {100, 100, 95, 80, 50, 100, 100, 95, 80, 50};
  std::map<int32_t, size_t> index;
  for (size_t i = 0; i < 40; ++i) {
    std::vector<uint8_t> m = Message(clients[i], wire::kProgress);
    m[20] = i < 10 ? reported[i] : 0;
    Send(clients[i], m);
    index[clients[i].id] = i;
    if (i == 4) now_ms_ += 40000;
  }
  std::set<int32_t> seen;
  for (size_t r = 10; r < 40; ++r) {
    const wire::PeerList list = GetPeers(clients[r]);
    ASSERT_EQ(list.count, 16);
    // By completion (steps of 10), recent before stale within a step.
    const size_t expected[] = {5, 6, 0, 1, 7, 2, 8, 3, 9, 4};
    for (size_t i = 0; i < 10; ++i) {
      const size_t got = index[list.records[i].user_id];
      EXPECT_EQ(got < 10 ? reported[got] : 0, reported[expected[i]]) << "place " << i;
      EXPECT_EQ(got >= 5, expected[i] >= 5) << "place " << i;
    }
    for (size_t i = 10; i < 16; ++i) seen.insert(list.records[i].user_id);
  }
  EXPECT_GT(seen.size(), 20u);  // the other places are drawn from 30 equals
}

TEST_F(CoreTest, CapsAndRateLimitHoldUnderAFlood) {
  Make(ServerLimits{2, 3, 10, 15});  // swarms, members per swarm, datagrams per second
  const struct {
    uint32_t client;
    uint8_t swarm;
    int32_t reply;
  } logins[] = {{1, 1, kReplyAccepted}, {2, 1, kReplyAccepted}, {3, 1, kReplyAccepted},
                {4, 1, kReplySwarmFull}, {5, 2, kReplyAccepted}, {6, 3, kReplyServerFull},
                {7, 2, kReplyAccepted},  {7, 2, kReplyAccepted}};
  Client flooder = MakeClient(1);
  Client quiet = MakeClient(7);
  for (const auto& k : logins) {
    Client c = MakeClient(k.client);
    EXPECT_EQ(Login(&c, k.swarm).reply_code, k.reply) << "client " << k.client;
    if (k.client == 1) flooder = c;
    if (k.client == 7) quiet = c;
  }
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
    Login(&c, static_cast<uint8_t>(3 + n % 250));
  }
  EXPECT_EQ(core_->swarm_count() * 100 + core_->member_count(), 205u);
  EXPECT_EQ(GetPeers(quiet).count, 1);
  EXPECT_TRUE(core_->registry().CheckInvariants());
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

DownloadStat Typical() {  // as an updater fills it after a run
  DownloadStat f{.begin_state = 1, .end_state = 4, .http_threads = 4, .dns = 0xC0A80101,
                 .p2p_bytes = 0x1234567890ull, .http_bytes = 987654321,
                 .start_time = 1700000000, .end_time = 1700000321, .http_source_count = 2,
                 .version = 17, .http_sources = {0x0A010203, 0xC0A800FE},
                 .mac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe}, .memory_mib = 4096, .cpu_mhz = 3200,
                 .disk_caption = "WDC WD10EZEX-08WN4A0", .speeds = {}};
  for (size_t i = 0; i < 10; ++i) f.speeds[i] = i < 7 ? 512.25f / (i + 1) : -1.0f;
  return f;
}

TEST_F(CoreTest, StatisticsLinesDecodeToTheValuesSent) {
  const struct {
    const char* name;
    void (*change)(DownloadStat*);
    std::string caption_json;
  } cases[] = {
      {"typical run", [](DownloadStat*) {}, Quoted("WDC WD10EZEX-08WN4A0")},
      {"unknown states, no sources, 26-byte caption",
       [](DownloadStat* f) {
         f->begin_state = -1, f->end_state = 9, f->http_source_count = 0;
         f->disk_caption = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
       },
       Quoted("ABCDEFGHIJKLMNOPQRSTUVWX")},
      {"source count past eight, escapes, non-UTF-8 bytes, NaN",
       [](DownloadStat* f) {
         f->http_source_count = 12, f->begin_state = 2, f->end_state = 6;
         f->http_sources[7] = 0x01020304;
         f->disk_caption = std::string("a\"b\\c\x01\xe4\xb8\xad\xff", 10);
         f->speeds[3] = std::numeric_limits<float>::quiet_NaN();
       },
       Quoted("a\\\"b\\\\c\\u0001\xe4\xb8\xad\\u00ff")},
  };
  testing_util::Client c = MakeClient(3);
  ASSERT_EQ(Login(&c, 5).reply_code, kReplyAccepted);
  std::string swarm;
  for (uint8_t b : testing_util::SwarmHash(5)) {
    swarm += "0123456789abcdef"[b >> 4];
    swarm += "0123456789abcdef"[b & 15];
  }
  for (const auto& k : cases) {
    DownloadStat f = Typical();
    k.change(&f);
    lines_.clear();
    Send(c, testing_util::BuildStatMessage(c, f));
    ASSERT_EQ(lines_.size(), 1u) << k.name;
    const std::string& line = lines_[0];
    std::string sources = "[";
    for (size_t i = 0; i < std::min<size_t>(f.http_source_count, 8); ++i) {
      sources += (i ? "," : "") + Quoted(wire::IpText(f.http_sources[i]));
    }
    const std::pair<const char*, std::string> expected[] = {
        {"time", std::to_string(wall_)}, {"source", Quoted("10.0.0.4:4003")},
        {"user_id", std::to_string(c.id)}, {"swarm", Quoted(swarm)},
        {"begin_state", std::to_string(f.begin_state)},
        {"begin_state_name",
         Quoted(f.begin_state == 2 ? "Complete" : f.begin_state == 1 ? "Continue" : "Unknown")},
        {"end_state", std::to_string(f.end_state)},
        {"end_state_name",
         Quoted(f.end_state == 4 ? "Finish" : f.end_state == 6 ? "Restart" : "Unknown")},
        {"http_threads", "4"}, {"dns", Quoted("192.168.1.1")},
        {"p2p_bytes", std::to_string(f.p2p_bytes)}, {"http_bytes", std::to_string(f.http_bytes)},
        {"start_time", std::to_string(f.start_time)}, {"end_time", std::to_string(f.end_time)},
        {"version", "17"}, {"http_sources", sources + "]"}, {"mac", Quoted("00:1a:2b:3c:4d:fe")},
        {"memory_mib", "4096"}, {"cpu_mhz", "3200"}, {"disk_caption", k.caption_json}};
    for (const auto& [key, value] : expected) EXPECT_EQ(JsonField(line, key), value) << k.name;
    const std::string speeds = JsonField(line, "speeds");
    const char* p = speeds.c_str() + 1;
    for (size_t i = 0; i < 10; ++i) {  // exact: nine digits bring a float back
      char* end = const_cast<char*>(p) + 4;
      if (std::isnan(f.speeds[i])) {
        EXPECT_EQ(std::string(p, 4), "null");
      } else {
        EXPECT_EQ(std::strtof(p, &end), f.speeds[i]) << k.name << " speed " << i;
      }
      EXPECT_EQ(*end, i < 9 ? ',' : ']');
      p = end + 1;
    }
  }
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

}  // namespace
}  // namespace brelvane::mainserver
