// SPDX-License-Identifier: MIT
// The main server's decisions, against the core with a fake clock and a
// recording outlet; the real program's command line.
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "p2p/wire/wire_format.h"
#include "platform/child_process.h"
#include "tools/mainserver/download_stat.h"
#include "tools/mainserver/main_server.h"
#include "tools/mainserver/server_options.h"

namespace brelvane::mainserver {
namespace {

struct Sent { platform::InetAddress to; std::vector<uint8_t> bytes;
              int32_t type() const { return wire::GetI32(bytes.data()); } };
struct Client { platform::InetAddress addr; uint16_t tcp_port = 0; int32_t id = -1; uint32_t token = 0; };

wire::Md5Bytes SwarmHash(uint8_t tag) {
  wire::Md5Bytes h{};
  for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint8_t>(tag * 31 + i);
  return h;
}

// The 184-byte message carrying `f`, laid out field by field (sources in
// host order, the caption cut to 24 bytes), body scrambled, header from `c`.
std::vector<uint8_t> BuildStatMessage(const Client& c, const DownloadStat& f) {
  std::vector<uint8_t> m(wire::kDownloadStatSize, 0);
  wire::EncodeHeader({wire::kDownloadStat, 9, c.id, c.token, wire::kDownloadStatBody}, m.data());
  uint8_t* b = m.data() + wire::kHeaderSize;
  b[0] = static_cast<uint8_t>(f.begin_state), b[1] = static_cast<uint8_t>(f.end_state);
  b[2] = f.http_threads, wire::PutU32(b + 4, f.dns), wire::PutU64(b + 16, f.p2p_bytes);
  wire::PutU64(b + 24, f.http_bytes), wire::PutU64(b + 32, static_cast<uint64_t>(f.start_time));
  wire::PutU64(b + 40, static_cast<uint64_t>(f.end_time)), wire::PutU32(b + 48, f.http_source_count);
  wire::PutU32(b + 52, f.version);
  for (size_t i = 0; i < 8; ++i) wire::PutU32(b + 56 + 4 * i, f.http_sources[i]);
  std::memcpy(b + 88, f.mac.data(), 6), wire::PutU16(b + 96, f.memory_mib), wire::PutU16(b + 98, f.cpu_mhz);
  std::memcpy(b + 100, f.disk_caption.data(), std::min<size_t>(f.disk_caption.size(), 24));
  std::memcpy(b + 124, f.speeds.data(), 40);
  for (size_t i = 0; i < wire::kDownloadStatBody; ++i) b[i] ^= wire::kReportXorKey;
  return m;
}

// A core whose clock (settable) and outlet (recording) are the fixture, and
// client actions.
class CoreTest : public ::testing::Test, public ServerClock, public ServerOutlet {
 protected:
  uint64_t MonotonicMs() const override { return now_ms_; }
  int64_t WallSeconds() const override { return 1'700'000'000; }
  void SendDatagram(const platform::InetAddress& to, const uint8_t* data, size_t length) override {
    sent_.push_back(Sent{to, std::vector<uint8_t>(data, data + length)});
  }
  void WriteStatLine(std::string_view line) override { lines_.emplace_back(line); }

  // A client at 10.0.<n / 250>.<n % 250 + 1>, port 4000 + n % 7.
  static Client MakeClient(uint32_t n, uint16_t tcp_port = 7000) {
    return Client{{0x0A000000u | ((n / 250) << 8) | (n % 250 + 1), uint16_t(4000 + n % 7)}, tcp_port};
  }
  // Logs in; when accepted, stores the id and token in `c`.  ReplyCode -99
  // when no acknowledgement came back to the client.  The address inside is
  // what the client believes; the server must ignore it.
  wire::LoginAck Login(Client* c, uint8_t swarm_tag) {
    const wire::Login body{c->tcp_port, c->addr.port, 0xC0A80005, c->addr.port, SwarmHash(swarm_tag)};
    const std::vector<uint8_t> a = Ask(*c, wire::BuildLogin({}, body), wire::kLoginAck);
    const wire::LoginAck ack = a.empty() ? wire::LoginAck{-99, -1, 0} : wire::DecodeLoginAck(a.data());
    if (ack.reply_code == kReplyAccepted) c->id = ack.user_id, c->token = ack.token;
    return ack;
  }
  Client Joined(uint32_t n, uint8_t swarm_tag, uint16_t tcp_port = 7000) {
    Client c = MakeClient(n, tcp_port);
    EXPECT_EQ(Login(&c, swarm_tag).reply_code, kReplyAccepted) << "client " << n;
    return c;
  }
  // A header-only message (or a progress report of 0) with `c`'s id and token.
  static std::vector<uint8_t> Message(const Client& c, int32_t type) {
    const wire::MsgHeader h{0, 1, c.id, c.token, 0};
    return type == wire::kProgress ? wire::BuildProgress(h, 0) : wire::BuildHeaderOnly(h, type);
  }
  void Send(const Client& c, const std::vector<uint8_t>& bytes) {
    core_->HandleDatagram(bytes.data(), bytes.size(), c.addr);
  }
  // Sends `bytes` from `c`; the answer when exactly one of `type` came back
  // to `c` and nothing else, else empty.
  std::vector<uint8_t> Ask(const Client& c, const std::vector<uint8_t>& bytes, int32_t type) {
    const std::vector<Sent> sent = (TakeSent(), Send(c, bytes), TakeSent());
    const bool one = sent.size() == 1 && sent[0].type() == type && sent[0].to == c.addr;
    return one ? sent[0].bytes : std::vector<uint8_t>{};
  }
  // Sends CSMessageGetPeer; the answer, or count -1 when none came.
  wire::PeerList GetPeers(const Client& c) {
    const std::vector<uint8_t> a = Ask(c, Message(c, wire::kGetPeer), wire::kPeerList);
    return a.empty() ? wire::PeerList{.count = -1} : wire::DecodePeerList(a.data());
  }
  std::vector<Sent> TakeSent() { return std::exchange(sent_, {}); }

  uint64_t now_ms_ = 5'000'000;
  std::vector<Sent> sent_;
  std::vector<std::string> lines_;
  std::unique_ptr<MainServerCore> core_ = std::make_unique<MainServerCore>(ServerLimits{}, this, this, 7);
};

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
    const std::vector<uint8_t> request =
        wire::BuildConnectRequest({0, 1, a.id, a.token, 0}, wire::kConnectRequestCS, {{target, {}, {}}, own});
    const std::vector<Sent> sent = (Send(a, request), TakeSent());
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
  const wire::Login login{7001, 4001, 0, 4001, SwarmHash(2)};  // already holds it
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
      {[](Client*) {}, wire::kPeerList}, {[](Client* c) { c->token ^= 1; }, 0},
      {[](Client* c) { c->addr.port += 1; }, 0}, {[](Client* c) { c->addr.ip += 1; }, 0},
      {[](Client* c) { c->id += 1000; }, wire::kRelogin},  // never issued
      {[](Client* c) { c->id = -1, c->token = 0; }, 0},     // not logged in yet
  };
  for (const auto& [forge, answer] : cases) {
    Client forged = a;
    now_ms_ += 1000, forge(&forged);  // re-logins are paced per source and second
    Send(forged, Message(forged, wire::kGetPeer));
    const std::vector<Sent> sent = TakeSent();  // one answer to the sender, or none
    EXPECT_EQ(sent.size() == 1 && sent[0].to == forged.addr ? sent[0].type() : 7 * sent.size(), answer);
    Send(forged, Message(forged, wire::kLogout));  // only the genuine one leaves
    EXPECT_EQ(core_->member_count(), answer == wire::kPeerList ? 1u : 2u) << answer;
    if (answer == wire::kPeerList) a = Joined(1, 1);
  }
  for (int i = 0; i < 8; ++i) now_ms_ += 15000, Send(a, Message(a, wire::kKeepAlive));  // kept
  now_ms_ += 60000, Send(a, Message(a, wire::kProgress));  // exactly 60 s of silence is still allowed
  EXPECT_TRUE(TakeSent().empty());
  EXPECT_EQ(core_->DropSilent(), 1u);  // b
  EXPECT_EQ(GetPeers(a).count, 0);
  now_ms_ += 61000;
  for (const auto& [advance_ms, relogin] : {std::pair(0, true), {10, false}, {500, false},
                                              {489, false}, {1, true}, {999, false}, {1000, true}}) {
    now_ms_ += advance_ms;
    const std::vector<uint8_t> r = Ask(a, Message(a, wire::kKeepAlive), wire::kRelogin);
    ASSERT_EQ(r.size(), relogin ? wire::kHeaderSize : 0u) << "after " << advance_ms << " ms";
    EXPECT_TRUE(r.empty() || (wire::GetI32(&r[8]) == -1 && wire::GetU64(&r[12]) == 0));  // id -1, token 0
  }
  EXPECT_EQ(core_->member_count() + core_->swarm_count(), 0u);
  EXPECT_NE(Joined(1, 1).id, a.id);  // ids are never reused
}

TEST_F(CoreTest, CapsAndRateLimitHoldUnderAFlood) {
  core_ = std::make_unique<MainServerCore>(ServerLimits{2, 3, 10, 15}, this, this, 7);  // caps, rate
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
                   .p2p_bytes = 0x1234567890ull, .http_bytes = 987654321, .start_time = 1700000000,
                   .end_time = 1700000321, .http_source_count = 12, .version = 17,
                   .http_sources = {0x0A010203, 0xC0A800FE, 0, 0, 0, 0, 0, 0x01020304},
                   .mac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe}, .memory_mib = 4096, .cpu_mhz = 3200,
                   .disk_caption = "ABCDEFGHIJKLMNOPQRSTUVWXYZ",  // cut to 24
                   .speeds = {16777215.0f, NAN, -2.5f, 0.125f, -1, -1, -1, -1, -1, -1}};
    change(&f), lines_.clear(), Send(c, BuildStatMessage(c, f));
    return lines_.size() == 1 ? lines_[0] : std::to_string(lines_.size()) + " lines";
  };
  EXPECT_EQ(line_of([](DownloadStat*) {}),
            R"({"time":1700000000,"source":"10.0.0.4:4003","user_id":)" + std::to_string(c.id) +
                R"(,"swarm":"9b9c9d9e9fa0a1a2a3a4a5a6a7a8a9aa","begin_state":2,"begin_state_name":)"
                R"("Complete","end_state":6,"end_state_name":"Restart","http_threads":4,"dns":"192.168.1.1",)"
                R"("p2p_bytes":78187493520,"http_bytes":987654321,"start_time":1700000000,"end_time":)"
                R"(1700000321,"version":17,"http_sources":["10.1.2.3","192.168.0.254","0.0.0.0","0.0.0.0",)"
                R"("0.0.0.0","0.0.0.0","0.0.0.0","1.2.3.4"],"mac":"00:1a:2b:3c:4d:fe","memory_mib":4096,)"
                R"("cpu_mhz":3200,"disk_caption":"ABCDEFGHIJKLMNOPQRSTUVWX","speeds":[16777215,null,-2.5,)"
                R"(0.125,-1,-1,-1,-1,-1,-1]})");
  const std::pair<void (*)(DownloadStat*), const char*> cases[] = {
      {[](auto* f) { f->begin_state = 1, f->end_state = 4; },
       "\"begin_state_name\":\"Continue\",\"end_state\":4,\"end_state_name\":\"Finish\","},
      {[](auto* f) { f->begin_state = -1, f->end_state = 9; },
       R"("begin_state":-1,"begin_state_name":"Unknown","end_state":9,"end_state_name":"Unknown",)"},
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
      registry.AddMember(m), live.push_back(step);
    } else {
      std::swap(live[rng() % live.size()], live.back());
      ASSERT_NE(registry.FindMember(live.back()), kNoSlot);
      registry.RemoveMember(registry.FindMember(live.back())), live.pop_back();
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

// Serving, the statistics file and the exit status on SIGTERM: integration.mainserver_test;
// --help and --version: integration.terminal_test.
TEST(MainServerProgramTest, ExitCodes) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{}, kExitUsage}, {{"--listen", "127.0.0.1:65536"}, kExitUsage},
      {{"--listen", "127.0.0.1:0", "--rate-limit", "-1"}, kExitUsage},
      {{"--listen=127.0.0.1:0", "--bogus"}, kExitUsage},
      {{"--listen", "127.0.0.1:0", "--stats-file", "/nonexistent-dir/stats.jsonl"}, kExitFailure}};
  for (const auto& [args, want] : cases) EXPECT_EQ(Program(args), want) << args.size();
}

}  // namespace
}  // namespace brelvane::mainserver
