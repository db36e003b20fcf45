// SPDX-License-Identifier: MIT
// The transport's own limits and timers on loopback with an injected clock.
// Message delivery under load, the connection table's bound against a storm
// and garbage senders are driven by integration.swarm and
// integration.transport_hostile; read splits by receive_buffer_test.
#include "p2p/net/net_transport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <thread>

#include "net_test_util.h"
#include "p2p/wire/wire_format.h"

namespace brelvane {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::InetAddress;
using platform::Socket;

// Records what the transport delivers; WaitFor waits at most 20 s for `ready`
// (run under the lock).
struct Recorder : ITransportListener {
  void OnPeerMessage(const PeerAddress&, const uint8_t* m, size_t n) override {
    Locked([&] { messages.emplace_back(m, m + n); });
  }
  void OnPeerClosed(const PeerAddress& p, CloseReason r) override { Locked([&] { closes.emplace_back(p, r); }); }
  void OnServerDatagram(const uint8_t* d, size_t n) override { Locked([&] { datagrams.emplace_back(d, d + n); }); }
  void Locked(auto change) {
    std::lock_guard<std::mutex> lock(mu);
    change();
    cv.notify_all();
  }
  bool WaitFor(auto ready) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), ready);
  }
  bool WaitForClose(const PeerAddress& peer, CloseReason* reason) {
    return WaitFor([&] {
      for (const auto& [who, why] : closes)
        if (who == peer) return (*reason = why), true;
      return false;
    });
  }

  std::mutex mu;
  std::condition_variable cv;
  std::vector<Bytes> messages, datagrams;
  std::vector<std::pair<PeerAddress, CloseReason>> closes;
};

class NetTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::DatagramSocket::Open(InetAddress::Loopback(0), &server_).ok());
    ASSERT_TRUE(server_.LocalAddress(&server_address_).ok());
    settings_.UseUPnP = false;
    settings_.MainServerIps = {"127.0.0.1"};
    settings_.MainServerPorts = {server_address_.port};
    settings_.UdpProt = 0;
  }

  // `header_source`, when given, is set before the start, as the transport requires.
  NetTransport& Up(std::function<wire::MsgHeader()> header_source = nullptr) {
    NetTransport::Options options;
    options.clock = &clock_;
    options.keep_alive_period_ms = options.housekeeping_wake_ms = 20;
    auto& t = *transports_.emplace_back(std::make_unique<NetTransport>(settings_, options));
    t.SetListener(&recorder_);
    if (header_source) t.SetHeaderSource(std::move(header_source));
    EXPECT_TRUE(t.Initialise());
    t.Start();
    return t;
  }

  // A client of `t`, named `as_seen` by `t`; with `hello` it is known (delivered a hello).
  Socket Connect(NetTransport& t, PeerAddress* as_seen = nullptr, bool hello = true) {
    Socket s;
    PeerAddress local;
    EXPECT_TRUE(Socket::ConnectTcp(InetAddress::Loopback(t.tcp_listen_port()), 5000, &s).ok());
    EXPECT_TRUE(s.LocalAddress(as_seen != nullptr ? as_seen : &local).ok());
    if (hello) Hello(s);
    return s;
  }
  InetAddress Listen(Socket* s, int backlog) {
    InetAddress a;
    EXPECT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), backlog, s).ok());
    EXPECT_TRUE(s->LocalAddress(&a).ok());
    return a;
  }
  void Hello(const Socket& s) {
    const size_t before = recorder_.messages.size();
    const Bytes hello = wire::BuildHello({}, 1);
    EXPECT_TRUE(s.Send(hello.data(), hello.size(), 5000, nullptr).ok());
    EXPECT_TRUE(recorder_.WaitFor([&] { return recorder_.messages.size() > before; }));
  }

  net_test::FakeClock clock_;
  Recorder recorder_;
  ConfigSettings settings_;
  platform::DatagramSocket server_;
  InetAddress server_address_;
  std::vector<std::unique_ptr<NetTransport>> transports_;
};

// True when the far end of `s` shut the connection (end of stream or reset).
bool SeesEnd(const Socket& s) {
  uint8_t byte;
  size_t n = 0;
  return s.Receive(&byte, 1, 10000, &n).code != platform::NetCode::kTimeout;
}

TEST_F(NetTransportTest, ClosesWithTheReasonForTheEndAndAfterMoreThan270QuietSeconds) {
  NetTransport& t = Up();
  for (const auto& [bytes, reason] :
       {std::pair{wire::BuildHeaderOnly({}, wire::kLogin), CloseReason::kBadMessage},
        std::pair{wire::BuildHello({}, 0), CloseReason::kRemoteClosed}}) {
    PeerAddress peer;
    Socket client = Connect(t, &peer, false);
    ASSERT_TRUE(client.Send(bytes.data(), bytes.size(), 5000, nullptr).ok());
    if (reason == CloseReason::kRemoteClosed) client.Shutdown();
    CloseReason got{};
    ASSERT_TRUE(recorder_.WaitForClose(peer, &got));
    EXPECT_EQ(got, reason);
    EXPECT_TRUE(SeesEnd(client));
  }
  EXPECT_STREQ(CloseReasonText(CloseReason::kBadMessage), "消息格式错误");
  EXPECT_STREQ(CloseReasonText(static_cast<CloseReason>(9)), "");
  // Closing ends a send stuck on a peer that stopped reading, and frees the connection.
  PeerAddress peer;
  Socket client = Connect(t, &peer);
  const Bytes big(64u << 20);
  auto sending = std::async(std::launch::async,
                            [&] { return t.SendToPeer(peer, big.data(), big.size(), false, {}); });
  ASSERT_EQ(sending.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  t.ClosePeer(peer);
  EXPECT_EQ(sending.get(), -1);
  for (int i = 0; i < 2000 && t.ConnectionCount() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(t.ConnectionCount(), 0);

  // The idle sweep closes a connection quiet for more than 270 seconds.
  const uint32_t start = clock_.seconds;
  PeerAddress quiet_peer, talking_peer;
  Socket quiet = Connect(t, &quiet_peer), talking = Connect(t, &talking_peer);  // both at `start`
  clock_.seconds = start + 2;
  Hello(talking);
  clock_.seconds = start + 271;  // quiet for 271 s, talking for 269 s
  CloseReason reason{};
  ASSERT_TRUE(recorder_.WaitForClose(quiet_peer, &reason));
  EXPECT_EQ(reason, CloseReason::kIdle);
  Hello(talking);  // delivered: the same sweep kept `talking`
  std::lock_guard<std::mutex> lock(recorder_.mu);
  for (const auto& [who, why] : recorder_.closes) EXPECT_NE(who, talking_peer);
}

TEST_F(NetTransportTest, RefusesConnectionsBeyondTheTableOrTheConfiguredMaximum) {
  for (const auto& [max_connect, admitted] : {std::pair{600, 512}, std::pair{3, 3}}) {
    settings_.MaxConnectNum = max_connect;
    NetTransport& t = Up();
    std::vector<Socket> clients;
    for (int i = 0; i < admitted; ++i) clients.push_back(Connect(t));
    EXPECT_TRUE(SeesEnd(Connect(t, nullptr, false))) << max_connect;  // closed at once
    EXPECT_EQ(t.ConnectionCount(), admitted);
    t.Stop();
    t.Close();
  }
}

TEST_F(NetTransportTest, BatchConnectorKeepsItsSoftAndHardTimeLimits) {
  NetTransport& t = Up();
  clock_.ms_per_read = 50;
  // A listener whose queue is full drops further SYNs: those connects hang.
  Socket backlogged, filler, refusing;
  const InetAddress hangs = Listen(&backlogged, 0), refused = Listen(&refusing, 1), kAnswers{};
  ASSERT_TRUE(Socket::ConnectTcp(hangs, 5000, &filler).ok());
  refusing.Close();
  const std::tuple<std::vector<InetAddress>, std::vector<size_t>, uint64_t, uint64_t> cases[] = {
      {{kAnswers}, {}, 0, 2000}, {{refused}, {0}, 0, 2000},  // kAnswers: a fresh listener
      {{hangs, hangs}, {0, 1}, 3000, 3200}, {{hangs, kAnswers}, {0}, 2000, 2200}};
  for (auto [targets, failed, min_ms, max_ms] : cases) {
    Socket listening;  // fresh per case: connections are keyed by peer
    const InetAddress answers = Listen(&listening, 8);
    for (PeerAddress& a : targets) a = a == kAnswers ? answers : a;
    NetTransport::ConnectOutcome out;
    const uint64_t start = clock_.ms;
    EXPECT_EQ(t.ConnectBatch(targets, nullptr, 2000, 3000, &out), targets.size() - failed.size());
    EXPECT_TRUE(clock_.ms - start >= min_ms && clock_.ms - start < max_ms) << clock_.ms - start;
    EXPECT_EQ(out.failed, failed);
    for (const auto& [index, peer] : out.established) EXPECT_EQ(peer, answers);
  }
}

TEST_F(NetTransportTest, UploadLimiterSpreadsThrottledSendsOverWindows) {
  // 20000 bytes at 8192 B/s span three one-second windows; 0 means no limit.
  Bytes data(20000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  for (const auto& [limit, throttled, min_ms, max_ms] :
       {std::tuple{8192u, true, 2000u, 3000u}, {0u, true, 0u, 1u}, {8192u, false, 0u, 1u}}) {
    settings_.UploadLimit = limit;
    NetTransport& t = Up();
    PeerAddress peer;
    Socket client = Connect(t, &peer);
    const uint64_t start = clock_.ms;
    EXPECT_EQ(t.SendToPeer(peer, data.data(), data.size(), throttled, nullptr), 20000);
    EXPECT_TRUE(clock_.ms - start >= min_ms && clock_.ms - start < max_ms) << limit << throttled;
    Bytes got(data.size());
    for (size_t at = 0, n = 0; at < got.size(); at += n)
      ASSERT_TRUE(client.Receive(got.data() + at, got.size() - at, 5000, &n).ok());
    EXPECT_EQ(got, data);
    EXPECT_EQ(t.TotalSent(), 20000u);
  }
}

// Datagrams only from the main server; a keep-alive after 15 quiet seconds.
TEST_F(NetTransportTest, ServerLinkFiltersDatagramsAndKeepsAlive) {
  const wire::MsgHeader header{0, 42, 7, 9, 0};
  NetTransport& t = Up([&] { return header; });
  const Bytes keep_alive = wire::BuildHeaderOnly(header, wire::kKeepAlive);
  const uint32_t start = clock_.seconds;
  // Nothing was ever sent: the first period sends one, stamped `start`.
  for (const auto& [at, sent] : {std::pair{0u, true}, {14u, false}, {15u, true}}) {
    clock_.seconds = start + at;
    Bytes got(64);
    size_t n = 0;
    InetAddress from;
    ASSERT_EQ(server_.ReceiveFrom(got.data(), got.size(), sent ? 5000 : 200, &n, &from).ok(), sent);
    got.resize(n);
    if (!sent) continue;
    EXPECT_EQ(std::pair(got, from.port), std::pair(keep_alive, t.udp_port()));
  }
  EXPECT_EQ(t.ServerMessagesSent(), 2u);

  platform::DatagramSocket other_port, other_ip;
  ASSERT_TRUE(platform::DatagramSocket::Open(InetAddress::Loopback(0), &other_port).ok());
  ASSERT_TRUE(platform::DatagramSocket::Open({0x7F000002u, server_address_.port}, &other_ip).ok());
  const std::tuple<const platform::DatagramSocket*, size_t, bool> cases[] = {
      {&server_, 20, true},    {&server_, 19, false},  {&other_port, 32, false},
      {&other_ip, 32, false},  {&server_, 512, true},  {&server_, 21, true}};
  std::vector<Bytes> expected;
  for (const auto& [from, length, delivered] : cases) {
    const Bytes datagram(length, static_cast<uint8_t>(expected.size() + length));
    ASSERT_TRUE(from->SendTo(InetAddress::Loopback(settings_.UdpProt), datagram.data(), length).ok());
    if (delivered) expected.push_back(datagram);
  }
  ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.datagrams.size() == expected.size(); }));
  EXPECT_EQ(recorder_.datagrams, expected);  // the last came after every ignored one
}

TEST_F(NetTransportTest, PortsStepBy37PastPortsInUse) {
  platform::DatagramSocket holder;  // the configured UDP port is taken
  InetAddress held;
  ASSERT_TRUE(platform::DatagramSocket::Open({0, 0}, &holder).ok());
  ASSERT_TRUE(holder.LocalAddress(&held).ok());
  settings_.UdpProt = held.port;
  NetTransport& first = Up();
  settings_.UdpProt = 0;
  NetTransport& second = Up();  // derives the TCP port the first one holds
  for (const auto& [taken, got] : {std::pair{held.port, first.udp_port()},
                                   std::pair{first.tcp_listen_port(), second.tcp_listen_port()}})
    EXPECT_TRUE(got != taken && static_cast<uint16_t>(got - taken) % 37 == 0) << taken << got;
  EXPECT_EQ(NetTransport::ChooseLocalAddress(server_address_), 0x7F000001u);
  for (const auto& [ip, port] : {std::pair{0x0A000000u, 10000}, std::pair{0x7F000001u, 19441},
                                 std::pair{0xC0A8FFFFu, 16090}})
    EXPECT_EQ(NetTransport::DeriveListenPort(ip), port) << std::hex << ip;
}

}  // namespace
}  // namespace brelvane
