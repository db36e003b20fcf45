// SPDX-License-Identifier: MIT
// The login procedure against scripted main servers, the intake of server
// datagrams, and the messages the client sends.
#include "p2p/server_session.h"

#include <set>
#include <sstream>

#include "base/console_log.h"
#include "platform/clock.h"
#include "p2p_fakes.h"

namespace brelvane {
namespace {

using Bytes = std::vector<uint8_t>;
using Script = std::function<Bytes(int32_t type)>;  // a server's answers; none: silence
constexpr uint32_t kOwnIp = 0x7F000005;
constexpr uint16_t kOwnTcp = 12000, kOwnUdp = 4000;

Bytes Ack(int32_t code, int32_t id) { return wire::BuildLoginAck({}, {code, id, 0x5EED0000u + id}); }
// Answers every login with `code` and the ids `id`, `id` + 1, ...
Script Answering(int32_t code, int32_t id) {
  return [=](int32_t type) mutable { return type == wire::kLogin ? Ack(code, id++) : Bytes(); };
}

class ServerSessionTest : public ::testing::Test {
 protected:
  // Sleeping lets the scripted servers answer, so a login runs in a fixed
  // order without real time passing.
  struct PumpClock final : LoginClock {
    explicit PumpClock(ServerSessionTest& test) : test(test) {}
    uint64_t NowMs() override { return now; }
    void Sleep(uint32_t ms, const std::function<bool()>&) override {
      now += ms;
      for (const Bytes& answer : test.link_.TakeAnswers()) test.Feed(answer);
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
    for (const Script& s : scripts) {
      settings_.MainServerPorts.push_back(static_cast<uint16_t>(7000 + link_.servers.size()));
      link_.servers[settings_.MainServerPorts.back()] = s;
    }
  }
  // The sends so far: a login as the server it went to ('a' the first),
  // progress as 'P', a peer request as 'G'.
  std::string Trace() {
    std::string trace;
    for (const auto& s : link_.SentTo()) {
      const int32_t type = wire::DecodeHeader(s.bytes.data()).type;
      trace += type == wire::kLogin ? char('a' + s.to.port - settings_.MainServerPorts.front())
               : type == wire::kProgress ? 'P' : type == wire::kGetPeer ? 'G' : '?';
    }
    return trace;
  }

  ConfigSettings settings_;
  p2p_fakes::RecordingLink link_;
  CandidateList candidates_;
  ConnectRequestQueue requests_;
  AutoResetEvent wake_;
  std::set<int32_t> downloading_;
  ProgressSample progress_;
  std::ostringstream console_;
  PumpClock* clock_ = new PumpClock(*this);  // owned by the session
  ServerSession session_{
      settings_, link_, candidates_, requests_, wake_,
      ServerSessionHooks{[this](int32_t id) { return downloading_.count(id) > 0; },
                         {}, [this] { return progress_; }},
      std::unique_ptr<LoginClock>(clock_)};
};

TEST_F(ServerSessionTest, LoginTriesEachServerTenTimesAndStopsAtTheFirstAcceptance) {
  // The second acknowledgement (43) finds the flag set and changes nothing.
  const struct { std::vector<Script> servers; const char* trace; uint64_t slept_ms; int32_t id; }
      cases[] = {{{Script(), Answering(0, 42)}, "aaaaaaaaaabbPG", 11000, 42},
                 {{Answering(1, 5)}, "aaaaaaaaaa", 10000, -1}};
  for (const auto& c : cases) {
    session_.Reset();
    session_.SetProgressReporting(true);
    link_.Clear();
    console_.str("");
    UseServers(c.servers);
    const uint64_t began = clock_->now;
    const bool success = session_.Login();
    EXPECT_EQ(success, c.id != -1);
    EXPECT_EQ(Trace(), c.trace);
    EXPECT_EQ(clock_->now - began, c.slept_ms);
    EXPECT_EQ(session_.user_id(), c.id);
    const std::string port = std::to_string(settings_.MainServerPorts.back());
    EXPECT_EQ(console_.str(), success ? "[Info]登陆服务器 127.0.0.1:" + port + " 成功\n"
                                      : "[Warning]登陆服务器失败\n");
    EXPECT_EQ(std::to_string(settings_.MainServerPort.load()) == port, success);
  }
}

TEST_F(ServerSessionTest, AnAcknowledgementEndsTheLoginSleepAtOnce) {
  // The real clock: an answer at once must not cost the first poll's second.
  UseServers({Answering(0, 42)});
  ServerSession session(settings_, link_, candidates_, requests_, wake_, {});
  std::atomic<bool> done{false};
  std::thread server([&] {
    for (; !done.load(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
      for (const Bytes& a : link_.TakeAnswers()) session.OnServerDatagram(a.data(), a.size());
  });
  const uint64_t began = platform::TickMs();
  EXPECT_TRUE(session.Login());
  EXPECT_LT(platform::TickMs() - began, 1000u);
  done.store(true);
  server.join();
}

TEST_F(ServerSessionTest, IntakeKeepsOnlyNewReachablePeersAndSixtyFourConnectRequests) {
  Bytes server107(wire::kServer107Size);
  wire::EncodeHeader({wire::kServer107, 0, 0, 0, 344}, server107.data());
  const Bytes ack = Ack(0, 5);
  for (const Bytes& ignored :
       {Bytes(ack.begin(), ack.begin() + 19), Bytes(ack.begin(), ack.end() - 1), server107,
        wire::BuildHeaderOnly({}, 106), wire::BuildHeaderOnly({}, wire::kServer500),
        wire::BuildHeaderOnly({}, wire::kServer504), wire::BuildLogin({}, {})})
    Feed(ignored);
  session_.SendLogout();  // not logged in: nothing
  EXPECT_TRUE(link_.SentTo().empty());
  Feed(ack);
  Feed(Ack(0, 6));  // logged in already: ignored
  EXPECT_EQ(std::pair(session_.user_id(), session_.token()), std::pair(5, 0x5EED0005u));

  downloading_ = {6};
  wire::PeerList list;
  for (int32_t i = 0; i < 16; ++i) list.records[i] = {100 + i, {}, {0x0A000001u + i, 12000, 0}};
  auto& r = list.records;  // the own id, a download user, 115 twice (the later one skipped)
  r[0].user_id = 5, r[1].user_id = 6, r[7].user_id = 115;
  r[2].tcp.ip = 0, r[3].tcp.ip = 0xFFFFFFFF, r[4].tcp.ip = 0xE0000001, r[5].tcp.port = 0;
  r[6].tcp = {kOwnIp, kOwnTcp, 0};
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
  // Then the messages sent while logged in: a connect request, one logout.
  const wire::PeerRecord failed{77, {1, 2, 3}, {4, 5, 6}};
  session_.SendConnectRequest(failed);
  session_.SendLogout();
  session_.SendLogout();
  const auto sent = link_.SentTo();
  ASSERT_EQ(sent.size(), 2u);
  const wire::ConnectRequest body = wire::DecodeConnectRequest(sent[0].bytes.data());
  EXPECT_EQ(body.target, failed);
  EXPECT_EQ(body.requester,
            (wire::PeerRecord{5, {kOwnIp, kOwnUdp, 0}, {kOwnIp, kOwnTcp, kOwnUdp}}));
  const wire::MsgHeader logout = wire::DecodeHeader(sent[1].bytes.data());
  EXPECT_EQ(std::tuple(logout.type, logout.index, logout.user_id, logout.token),
            std::tuple(wire::kLogout, 1u, 5, 0x5EED0005u));
  session_.Reset();
  const wire::MsgHeader fresh = session_.NextHeader();
  EXPECT_EQ(std::tuple(fresh.index, fresh.user_id, fresh.token), std::tuple(0u, -1, 0u));
}

TEST_F(ServerSessionTest, ProgressGoesOutInStepsOfFiveAndCompletionOnce) {
  progress_ = {false, 0.5};
  session_.ReportProgress();  // reporting still off: nothing goes out
  session_.SetProgressReporting(true);
  const struct { bool complete; double fraction; int sent; } steps[] = {
      {false, 0.0, 0}, {false, 0.03, -1}, {false, 0.07, 7}, {false, 0.119, -1}, {false, 0.12, 12},
      {true, 0.98, 100}, {true, 1.0, -1}};
  size_t count = 0;
  for (const auto& step : steps) {
    progress_ = {step.complete, step.fraction};
    session_.ReportProgress();
    const auto sent = link_.SentTo();
    EXPECT_EQ(std::pair(sent.size() - count, sent.size() > count ? sent.back().bytes[20] : -1),
              std::pair(size_t{step.sent >= 0}, step.sent)) << step.fraction;
    count = sent.size();
  }
}

}  // namespace
}  // namespace brelvane
