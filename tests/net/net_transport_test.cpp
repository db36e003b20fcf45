// SPDX-License-Identifier: MIT
#include "p2p/net/net_transport.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>

#include "net_test_util.h"
#include "p2p/wire/wire_format.h"

namespace brelvane {
namespace {

using net_test::Bytes;
using platform::InetAddress;
using platform::Socket;

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

  NetTransport& Up() {
    NetTransport::Options options;
    options.clock = &clock_;
    options.keep_alive_period_ms = options.housekeeping_wake_ms = 20;
    auto& t = *transports_.emplace_back(std::make_unique<NetTransport>(settings_, options));
    t.SetListener(&recorder_);
    EXPECT_TRUE(t.Initialise());
    t.Start();
    return t;
  }

  // A client of `t` (`as_seen`: its address as `t` names it).  With `hello`
  // it sends a hello and waits until the transport delivered it.
  Socket Connect(NetTransport& t, PeerAddress* as_seen = nullptr, bool hello = true) {
    Socket s;
    PeerAddress local;
    EXPECT_TRUE(Socket::ConnectTcp(InetAddress::Loopback(t.tcp_listen_port()), 5000, &s).ok());
    EXPECT_TRUE(s.LocalAddress(as_seen != nullptr ? as_seen : &local).ok());
    if (hello) Hello(s);
    return s;
  }
  void Hello(const Socket& s) {
    const size_t before = recorder_.joined.messages.size();
    const Bytes hello = wire::BuildHello({}, 1);
    EXPECT_TRUE(s.Send(hello.data(), hello.size(), 5000, nullptr).ok());
    EXPECT_TRUE(recorder_.WaitFor([&] { return recorder_.joined.messages.size() > before; }));
  }

  net_test::FakeClock clock_;
  net_test::Recorder recorder_;
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

TEST_F(NetTransportTest, DeliversMessagesWrittenInAwkwardPieces) {
  NetTransport& t = Up();
  std::mt19937 random(3);
  const std::vector<Bytes> messages = net_test::SampleMessages(4u << 20, random);
  const Bytes stream = net_test::Concat(messages);
  Socket client = Connect(t, nullptr, false);
  const size_t pieces[] = {1, 19, 2, 36, 7, 4097, 65536, 8191};
  for (size_t at = 0, i = 0, n = 0; at < stream.size(); at += n, ++i) {
    n = std::min(pieces[i % std::size(pieces)], stream.size() - at);
    ASSERT_TRUE(client.Send(stream.data() + at, n, 10000, nullptr).ok());
  }
  ASSERT_TRUE(
      recorder_.WaitFor([&] { return recorder_.joined.messages.size() == messages.size(); }));
  EXPECT_TRUE(recorder_.joined_ok);
  EXPECT_EQ(recorder_.joined.messages, messages);
  EXPECT_GE(t.ReceivedP2P(), stream.size());
}

TEST_F(NetTransportTest, ClosesWithTheReasonForTheEnd) {
  NetTransport& t = Up();
  Bytes unknown = wire::BuildHeaderOnly({}, wire::kResetState),
        respond_21 = wire::BuildRespond({}, 0, {}),
        too_long = wire::BuildHeaderOnly({}, wire::kData);
  wire::PutU32(unknown.data(), 9999);
  wire::PutU32(respond_21.data() + 16, 21);
  wire::PutU32(too_long.data() + 16, wire::kMaxDataLength + 1);
  const struct {
    Bytes bytes;
    bool hang_up;
    CloseReason reason;
  } cases[] = {{wire::BuildHeaderOnly({}, wire::kLogin), false, CloseReason::kBadMessage},
               {unknown, false, CloseReason::kBadMessage},
               {respond_21, false, CloseReason::kBadMessage},
               {too_long, false, CloseReason::kBadMessage},
               {wire::BuildHello({}, 0), true, CloseReason::kRemoteClosed}};
  for (const auto& c : cases) {
    PeerAddress peer;
    Socket client = Connect(t, &peer, false);
    ASSERT_TRUE(client.Send(c.bytes.data(), c.bytes.size(), 5000, nullptr).ok());
    if (c.hang_up) client.Shutdown();
    CloseReason reason{};
    ASSERT_TRUE(recorder_.WaitForClose(peer, &reason)) << wire::GetI32(c.bytes.data());
    EXPECT_EQ(reason, c.reason) << wire::GetI32(c.bytes.data());
    EXPECT_TRUE(SeesEnd(client));
  }
  EXPECT_STREQ(CloseReasonText(CloseReason::kBadMessage), "消息格式错误");
  EXPECT_STREQ(CloseReasonText(static_cast<CloseReason>(9)), "");
}

TEST_F(NetTransportTest, IdleSweepClosesAfterMoreThan270Seconds) {
  NetTransport& t = Up();
  const uint32_t start = clock_.seconds;
  PeerAddress quiet_peer;
  Socket quiet = Connect(t, &quiet_peer), talking = Connect(t);  // both at `start`
  clock_.seconds = start + 2;
  Hello(talking);
  clock_.seconds = start + 271;  // quiet for 271 s, talking for 269 s
  CloseReason reason{};
  ASSERT_TRUE(recorder_.WaitForClose(quiet_peer, &reason));
  EXPECT_EQ(reason, CloseReason::kIdle);
  std::lock_guard<std::mutex> lock(recorder_.mu);
  EXPECT_EQ(recorder_.closes.size(), 1u);  // the same sweep kept `talking`
}

TEST_F(NetTransportTest, RefusesConnectionsBeyondTheTableOrTheConfiguredMaximum) {
  for (const auto& [max_connect, admitted] : {std::pair{600, 512}, std::pair{3, 3}}) {
    settings_.MaxConnectNum = max_connect;
    NetTransport& t = Up();
    std::vector<Socket> clients;
    for (int i = 0; i < admitted; ++i) clients.push_back(Connect(t));
    EXPECT_EQ(t.ConnectionCount(), admitted);
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
  InetAddress hangs, refused;
  ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 0, &backlogged).ok());
  ASSERT_TRUE(backlogged.LocalAddress(&hangs).ok());
  ASSERT_TRUE(Socket::ConnectTcp(hangs, 5000, &filler).ok());
  ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 1, &refusing).ok());
  ASSERT_TRUE(refusing.LocalAddress(&refused).ok());
  refusing.Close();
  const InetAddress kAnswers{};  // a fresh listener per case: connections are keyed by peer
  const struct {
    std::vector<InetAddress> targets;
    int established;
    std::vector<size_t> failed;
    uint64_t min_ms, max_ms;
  } cases[] = {{{kAnswers}, 1, {}, 0, 2000},
               {{refused}, 0, {0}, 0, 2000},
               {{hangs, hangs}, 0, {0, 1}, 3000, 3200},
               {{hangs, kAnswers}, 1, {0}, 2000, 2200}};
  for (const auto& c : cases) {
    Socket listening;
    InetAddress answers;
    ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 8, &listening).ok());
    ASSERT_TRUE(listening.LocalAddress(&answers).ok());
    std::vector<PeerAddress> targets = c.targets;
    for (PeerAddress& a : targets) a = a == kAnswers ? answers : a;
    NetTransport::ConnectOutcome out;
    const uint64_t start = clock_.ms;
    EXPECT_EQ(t.ConnectBatch(targets, nullptr, 2000, 3000, &out), c.established);
    EXPECT_GE(clock_.ms - start, c.min_ms);
    EXPECT_LT(clock_.ms - start, c.max_ms);
    EXPECT_EQ(out.failed, c.failed);
    for (const auto& [index, peer] : out.established) EXPECT_EQ(peer, answers);
  }
}

TEST_F(NetTransportTest, UploadLimiterSpreadsThrottledSendsOverWindows) {
  // 20000 bytes at 8192 B/s span three one-second windows; 0 means no limit.
  const struct {
    uint32_t limit;
    bool throttled;
    uint64_t min_ms, max_ms;
  } cases[] = {{8192, true, 2000, 3000}, {0, true, 0, 1}, {8192, false, 0, 1}};
  Bytes data(20000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  for (const auto& c : cases) {
    settings_.UploadLimit = c.limit;
    NetTransport& t = Up();
    PeerAddress peer;
    Socket client = Connect(t, &peer);
    const uint64_t start = clock_.ms;
    EXPECT_EQ(t.SendToPeer(peer, data.data(), data.size(), c.throttled, nullptr), 20000);
    EXPECT_GE(clock_.ms - start, c.min_ms) << c.limit << c.throttled;
    EXPECT_LT(clock_.ms - start, c.max_ms) << c.limit << c.throttled;
    Bytes got(data.size());
    for (size_t at = 0, n = 0; at < got.size(); at += n)
      ASSERT_TRUE(client.Receive(got.data() + at, got.size() - at, 5000, &n).ok());
    EXPECT_EQ(got, data);
    EXPECT_EQ(t.TotalSent(), 20000u);
  }
}

TEST_F(NetTransportTest, ClosingEndsASendStuckOnAPeerThatStoppedReading) {
  NetTransport& t = Up();
  PeerAddress peer;
  Socket client = Connect(t, &peer);
  const Bytes big(64u << 20);
  auto sending = std::async(std::launch::async, [&] {
    return t.SendToPeer(peer, big.data(), big.size(), false, nullptr);
  });
  ASSERT_EQ(sending.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  t.ClosePeer(peer);
  EXPECT_EQ(sending.get(), -1);
  for (int i = 0; i < 2000 && t.ConnectionCount() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(t.ConnectionCount(), 0);  // the dead connection was freed
}

TEST_F(NetTransportTest, TakesDatagramsOnlyFromTheMainServer) {
  Up();
  platform::DatagramSocket other_port, other_ip;
  ASSERT_TRUE(platform::DatagramSocket::Open(InetAddress::Loopback(0), &other_port).ok());
  ASSERT_TRUE(platform::DatagramSocket::Open({0x7F000002u, server_address_.port}, &other_ip).ok());
  const struct {
    const platform::DatagramSocket* from;
    size_t length;
    bool delivered;
  } cases[] = {{&server_, 20, true},   {&server_, 19, false}, {&other_port, 32, false},
               {&other_ip, 32, false}, {&server_, 512, true}, {&server_, 21, true}};
  std::vector<Bytes> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Bytes datagram(cases[i].length, static_cast<uint8_t>(i));
    ASSERT_TRUE(
        cases[i]
            .from
            ->SendTo(InetAddress::Loopback(settings_.UdpProt), datagram.data(), datagram.size())
            .ok());
    if (cases[i].delivered) expected.push_back(datagram);
  }
  ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.datagrams.size() == expected.size(); }));
  EXPECT_EQ(recorder_.datagrams, expected);  // the last came after every ignored one
}

TEST_F(NetTransportTest, KeepAliveAfterFifteenQuietSeconds) {
  NetTransport& t = Up();
  const wire::MsgHeader header{0, 42, 7, 9, 0};
  t.SetHeaderSource([&] { return header; });
  const uint32_t start = clock_.seconds;
  Bytes got(64);
  size_t n = 0;
  InetAddress from;
  // Nothing was ever sent: the first period sends one, stamped `start`.
  ASSERT_TRUE(server_.ReceiveFrom(got.data(), got.size(), 5000, &n, &from).ok());
  clock_.seconds = start + 14;
  EXPECT_FALSE(server_.ReceiveFrom(got.data(), got.size(), 200, &n, &from).ok());
  clock_.seconds = start + 15;
  ASSERT_TRUE(server_.ReceiveFrom(got.data(), got.size(), 5000, &n, &from).ok());
  got.resize(n);
  EXPECT_EQ(got, wire::BuildHeaderOnly(header, wire::kKeepAlive));
  EXPECT_EQ(from.port, t.udp_port());
  EXPECT_EQ(t.ServerMessagesSent(), 2u);
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
                                   std::pair{first.tcp_listen_port(), second.tcp_listen_port()}}) {
    EXPECT_NE(got, taken);
    EXPECT_EQ(static_cast<uint16_t>(got - taken) % NetTransport::kPortStep, 0) << taken;
  }
  EXPECT_EQ(NetTransport::ChooseLocalAddress(server_address_), 0x7F000001u);
  for (const auto& [ip, port] : {std::pair{0x0A000000u, 10000}, std::pair{0x7F000001u, 19441},
                                 std::pair{0xC0A8FFFFu, 16090}})
    EXPECT_EQ(NetTransport::DeriveListenPort(ip), port) << std::hex << ip;
}

}  // namespace
}  // namespace brelvane
