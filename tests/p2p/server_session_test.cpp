// SPDX-License-Identifier: MIT
// The login procedure against scripted main servers on loopback, the intake
// of server datagrams, and the messages the client sends.
#include "p2p/server_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <set>
#include <sstream>

#include "base/console_log.h"
#include "platform/datagram.h"

namespace brelvane {
namespace {

using platform::DatagramSocket;
using platform::InetAddress;
using Bytes = std::vector<uint8_t>;
using Script = std::function<Bytes(int32_t type)>;  // a server's answer; empty: silence

constexpr uint32_t kOwnIp = 0x7F000005;
constexpr uint16_t kOwnTcp = 12000, kOwnUdp = 4000;

Bytes Ack(int32_t code, int32_t id) {
  return wire::BuildLoginAck({}, {code, id, 0x5EED0000u + id});
}
// Answers every login with `code` and the id `*next` (then counts it up).
Script Answering(int32_t code, int32_t* next) {
  return [=](int32_t type) { return type == wire::kLogin ? Ack(code, (*next)++) : Bytes(); };
}

// The server link of these tests: records every send with its destination
// port and forwards it over loopback UDP to a scripted server.  The login
// clock calls Pump() instead of sleeping: the servers answer what reached
// them and the answers go to the session, so a login runs in a fixed order.
class LoopbackLink final : public IServerLink {
 public:
  LoopbackLink() { EXPECT_TRUE(DatagramSocket::Open(InetAddress::Loopback(0), &client_).ok()); }
  uint16_t AddServer(Script script) {
    DatagramSocket socket;
    InetAddress at;
    EXPECT_TRUE(DatagramSocket::Open(InetAddress::Loopback(0), &socket).ok());
    EXPECT_TRUE(socket.LocalAddress(&at).ok());
    servers_.emplace(at.port, std::pair(std::move(socket), std::move(script)));
    return at.port;
  }
  int64_t SendToServer(const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.emplace_back(to_.port, Bytes(data, data + length));
    if (to_.port != 0 && client_.SendTo(to_, data, length).ok()) pending_.push_back(to_.port);
    cv_.notify_all();
    return static_cast<int64_t>(length);
  }
  void SetServerDestination(const std::string& ip, uint16_t port) override {
    std::lock_guard<std::mutex> lock(mu_);
    to_.port = port;
    EXPECT_TRUE(platform::ParseIpv4(ip, &to_.ip));
  }
  void Pump(ServerSession& session) {
    std::vector<uint16_t> pending;
    {
      std::lock_guard<std::mutex> lock(mu_);
      pending.swap(pending_);
    }
    uint8_t buffer[512];
    size_t n = 0;
    InetAddress from;
    for (uint16_t port : pending) {
      auto& [socket, script] = servers_.at(port);
      ASSERT_TRUE(socket.ReceiveFrom(buffer, sizeof(buffer), 2000, &n, &from).ok());
      const Bytes reply = script(wire::DecodeHeader(buffer).type);
      if (reply.empty()) continue;
      ASSERT_TRUE(socket.SendTo(from, reply.data(), reply.size()).ok());
      ASSERT_TRUE(client_.ReceiveFrom(buffer, sizeof(buffer), 2000, &n, &from).ok());
      session.OnServerDatagram(buffer, n);
    }
  }
  // Every send so far (destination port, bytes), once there are `at_least`.
  std::vector<std::pair<uint16_t, Bytes>> Sent(size_t at_least = 0) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return sent_.size() >= at_least; });
    return sent_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.clear();
    pending_.clear();  // an answer still due from a finished case never arrives
  }

 private:
  DatagramSocket client_;
  std::map<uint16_t, std::pair<DatagramSocket, Script>> servers_;
  std::mutex mu_;
  std::condition_variable cv_;
  InetAddress to_;
  std::vector<std::pair<uint16_t, Bytes>> sent_;
  std::vector<uint16_t> pending_;
};

class ServerSessionTest : public testing::Test {
 protected:
  struct PumpClock final : LoginClock {
    explicit PumpClock(ServerSessionTest& test) : test(test) {}
    uint64_t NowMs() override { return now; }
    void Sleep(uint32_t ms, const std::atomic<bool>&) override {
      now += ms;
      test.link_.Pump(test.session_);
    }
    void Wake() override {}
    ServerSessionTest& test;
    std::atomic<uint64_t> now{0};
  };

  ServerSessionTest() {
    ConsoleLog::Get().SetOutput(&console_);
    ConsoleLog::Get().set_charset(ConsoleCharset::Utf8);
    session_.SetIdentity({kOwnIp, kOwnTcp, kOwnUdp, {}});
  }
  ~ServerSessionTest() override {
    session_.Stop();
    ConsoleLog::Get().set_charset(ConsoleCharset::Gbk);
    ConsoleLog::Get().SetOutput(nullptr);
  }
  void Feed(const Bytes& m) { session_.OnServerDatagram(m.data(), m.size()); }
  void UseServers(const std::vector<Script>& scripts) {
    settings_.MainServerIps.assign(scripts.size(), "127.0.0.1");
    settings_.MainServerPorts.clear();
    for (const Script& s : scripts) settings_.MainServerPorts.push_back(link_.AddServer(s));
  }
  // The sends so far: a login as the server it went to ('a' the first),
  // progress as 'P', a peer request as 'G'.
  std::string Trace() {
    std::string trace;
    const std::vector<uint16_t>& ports = settings_.MainServerPorts;
    for (const auto& [port, m] : link_.Sent()) {
      const int32_t type = wire::DecodeHeader(m.data()).type;
      const auto server = std::find(ports.begin(), ports.end(), port) - ports.begin();
      trace += type == wire::kLogin      ? static_cast<char>('a' + server)
               : type == wire::kProgress ? 'P'
               : type == wire::kGetPeer  ? 'G' : '?';
    }
    return trace;
  }

  ConfigSettings settings_;
  LoopbackLink link_;
  CandidateList candidates_;
  ConnectRequestQueue requests_;
  AutoResetEvent wake_;
  std::set<int32_t> downloading_;
  int relogins_ = 0;
  ProgressSample progress_;
  std::ostringstream console_;
  PumpClock* clock_ = new PumpClock(*this);  // owned by the session
  ServerSession session_{
      settings_, link_, candidates_, requests_, wake_,
      ServerSessionHooks{[this](int32_t id) { return downloading_.count(id) > 0; },
                         [this] { ++relogins_; }, [this] { return progress_; }},
      std::unique_ptr<LoginClock>(clock_)};
};

TEST_F(ServerSessionTest, LoginTriesEachServerTenTimesAndStopsAtTheFirstAcceptance) {
  int32_t next_id = 42, rejected_id = 5;
  const Script silent = [](int32_t) { return Bytes(); };
  // The second acknowledgement (43) finds the flag set and changes nothing.
  const struct {
    std::vector<Script> servers;
    const char* trace;
    uint64_t slept_ms;
    int32_t user_id;
  } cases[] = {{{silent, Answering(0, &next_id)}, "aaaaaaaaaabbPG", 11000, 42},
               {{Answering(1, &rejected_id)}, "aaaaaaaaaa", 10000, -1}};
  for (const auto& c : cases) {
    session_.Reset();
    session_.SetProgressReporting(true);
    link_.Clear();
    console_.str("");
    UseServers(c.servers);
    const uint64_t began = clock_->now;
    const bool success = session_.Login();
    EXPECT_EQ(success, c.user_id != -1);
    EXPECT_EQ(Trace(), c.trace);
    EXPECT_EQ(clock_->now - began, c.slept_ms);
    EXPECT_EQ(session_.user_id(), c.user_id);
    const std::string port = std::to_string(settings_.MainServerPorts.back());
    EXPECT_EQ(console_.str(), success ? "[Info]登陆服务器 127.0.0.1:" + port + " 成功\n"
                                      : "[Warning]登陆服务器失败\n");
    EXPECT_EQ(std::to_string(settings_.MainServerPort.load()) == port, success);
  }
}

TEST_F(ServerSessionTest, ForcedReloginClearsTheLoginAndLogsInAgainOnTheLoginThread) {
  int32_t next_id = 7;
  UseServers({Answering(0, &next_id)});
  ASSERT_TRUE(session_.Login());  // two logins: the answer to the second (8) is still due
  Feed(wire::BuildHeaderOnly({}, wire::kRelogin));
  EXPECT_EQ(relogins_, 1);
  const Bytes first = link_.Sent(3).at(2).second;  // the login thread holds the login lock now,
  ASSERT_TRUE(session_.Login());                    // so this waits for it and finds the flag set
  EXPECT_NE(console_.str().find("[Warning]与服务器连接超时，正在重新登陆服务器\n"), std::string::npos);
  EXPECT_EQ(wire::DecodeHeader(first.data()).user_id, -1);
  EXPECT_EQ(session_.user_id(), 8);
  EXPECT_EQ(Trace(), "aaaa");
}

TEST_F(ServerSessionTest, IntakeKeepsOnlyNewReachablePeersAndSixtyFourConnectRequests) {
  Bytes server107(wire::kServer107Size);
  wire::EncodeHeader({wire::kServer107, 0, 0, 0, 344}, server107.data());
  const Bytes ack = Ack(0, 5);
  for (const Bytes& ignored :
       {Bytes(ack.begin(), ack.begin() + 19), Bytes(ack.begin(), ack.end() - 1), server107,
        wire::BuildHeaderOnly({}, 106), wire::BuildHeaderOnly({}, wire::kServer500),
        wire::BuildHeaderOnly({}, wire::kServer504), wire::BuildLogin({}, {})}) {
    Feed(ignored);
  }
  EXPECT_FALSE(session_.logged_in());
  EXPECT_TRUE(link_.Sent().empty());
  Feed(ack);
  Feed(Ack(0, 6));  // logged in already: ignored
  EXPECT_EQ(std::pair(session_.user_id(), session_.token()), std::pair(5, 0x5EED0005u));

  downloading_ = {6};
  wire::PeerList list;
  for (int32_t i = 0; i < 16; ++i) list.records[i] = {100 + i, {}, {0x0A000001u + i, 12000, 0}};
  list.records[0].user_id = 5;  // the own id
  list.records[1].user_id = 6;  // a download user
  list.records[2].tcp.ip = 0;
  list.records[3].tcp.ip = 0xFFFFFFFF;
  list.records[4].tcp.ip = 0xE0000001;
  list.records[5].tcp.port = 0;
  list.records[6].tcp = {kOwnIp, kOwnTcp, 0};
  list.records[7].user_id = 115;  // listed twice: the later one is skipped
  const struct { int32_t count; size_t listed; bool woken; } steps[] = {
      {-10, 0, false}, {10, 3, true}, {20, 8, true}, {16, 8, false}};
  for (const auto& step : steps) {
    list.count = step.count;
    Feed(wire::BuildPeerList({}, list));
    EXPECT_EQ(candidates_.size(), step.listed) << step.count;
    EXPECT_EQ(wake_.Wait(0), step.woken) << step.count;
  }
  EXPECT_FALSE(candidates_.Contains(5));

  for (int i = 0; i < 65; ++i) Feed(wire::BuildConnectRequest({}, wire::kConnectRequestSC, {}));
  EXPECT_EQ(requests_.size(), 64u);
}

TEST_F(ServerSessionTest, ProgressGoesOutInStepsOfFiveAndCompletionOnce) {
  session_.ReportProgress();  // reporting still off
  session_.SetProgressReporting(true);
  const struct { bool complete; double fraction; int sent; } steps[] = {
      {false, 0.0, 0}, {false, 0.03, -1}, {false, 0.07, 7}, {false, 0.119, -1}, {false, 0.12, 12},
      {true, 0.98, 100}, {true, 1.0, -1}};
  size_t count = 0;
  for (const auto& step : steps) {
    progress_ = {step.complete, step.fraction};
    session_.ReportProgress();
    const auto sent = link_.Sent();
    EXPECT_EQ(sent.size(), count + (step.sent >= 0)) << step.fraction;
    EXPECT_EQ(sent.size() > count ? sent.back().second[20] : -1, step.sent) << step.fraction;
    count = sent.size();
  }
}

TEST_F(ServerSessionTest, ConnectRequestLogoutAndReset) {
  session_.SendLogout();  // not logged in: nothing
  Feed(Ack(0, 5));
  const wire::PeerRecord failed{77, {1, 2, 3}, {4, 5, 6}};
  session_.SendConnectRequest(failed);
  session_.SendLogout();
  session_.SendLogout();
  const auto sent = link_.Sent();
  ASSERT_EQ(sent.size(), 2u);
  const wire::ConnectRequest body = wire::DecodeConnectRequest(sent[0].second.data());
  EXPECT_EQ(body.target, failed);
  EXPECT_EQ(body.requester,
            (wire::PeerRecord{5, {kOwnIp, kOwnUdp, 0}, {kOwnIp, kOwnTcp, kOwnUdp}}));
  const wire::MsgHeader logout = wire::DecodeHeader(sent[1].second.data());
  EXPECT_EQ(std::tuple(logout.type, logout.index, logout.user_id, logout.token),
            std::tuple(wire::kLogout, 1u, 5, 0x5EED0005u));
  EXPECT_FALSE(session_.logged_in());
  session_.Reset();
  const wire::MsgHeader fresh = session_.NextHeader();
  EXPECT_EQ(std::tuple(fresh.index, fresh.user_id, fresh.token), std::tuple(0u, -1, 0u));
}

}  // namespace
}  // namespace brelvane
