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
using platform::NetCode;
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
    options.keep_alive_period_ms = 20;
    options.housekeeping_wake_ms = 20;
    transports_.push_back(std::make_unique<NetTransport>(settings_, options));
    NetTransport& t = *transports_.back();
    t.SetListener(&recorder_);
    EXPECT_TRUE(t.Initialise());
    t.Start();
    return t;
  }

  // A client connected to `t`, as `t` knows it once a message has arrived.
  Socket Connect(NetTransport& t, PeerAddress* as_seen = nullptr) {
    Socket s;
    EXPECT_TRUE(Socket::ConnectTcp(InetAddress::Loopback(t.tcp_listen_port()), 5000, &s).ok());
    if (as_seen != nullptr) {
      EXPECT_TRUE(s.LocalAddress(as_seen).ok());
    }
    return s;
  }

  void SendHelloAndWait(const Socket& s, size_t messages_before) {
    const Bytes hello = wire::BuildHello({}, 1);
    ASSERT_TRUE(s.Send(hello.data(), hello.size(), 5000, nullptr).ok());
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.joined.messages.size() > messages_before; }));
  }

  net_test::FakeClock clock_;
  net_test::Recorder recorder_;
  ConfigSettings settings_;
  platform::DatagramSocket server_;
  InetAddress server_address_;
  std::vector<std::unique_ptr<NetTransport>> transports_;
};

// The far end of a connection the transport closed sees it end.
bool SeesEnd(const Socket& s) {
  uint8_t byte;
  size_t n = 0;
  for (;;) {
    const platform::NetStatus st = s.Receive(&byte, 1, 10000, &n);
    if (!st.ok()) return st.code != NetCode::kTimeout;
  }
}

TEST_F(NetTransportTest, DeliversMessagesWrittenInAwkwardPieces) {
  NetTransport& t = Up();
  std::mt19937 random(3);
  const std::vector<Bytes> messages = net_test::SampleMessages(4u << 20, random);
  const Bytes stream = net_test::Concat(messages);
  Socket client = Connect(t);
  const size_t pieces[] = {1, 19, 2, 36, 7, 4097, 65536, 8191};
  for (size_t at = 0, i = 0; at < stream.size(); ++i) {
    const size_t n = std::min(pieces[i % std::size(pieces)], stream.size() - at);
    ASSERT_TRUE(client.Send(stream.data() + at, n, 10000, nullptr).ok());
    at += n;
  }
  ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.joined.messages.size() == messages.size(); }));
  EXPECT_TRUE(recorder_.joined_ok);
  EXPECT_EQ(recorder_.joined.messages, messages);
  EXPECT_GE(t.ReceivedP2P(), stream.size());
}

TEST_F(NetTransportTest, ClosesWithTheReasonTheEndCalls) {
  NetTransport& t = Up();
  Bytes unknown = wire::BuildHeaderOnly({}, wire::kResetState);
  wire::PutU32(unknown.data(), 9999);
  Bytes respond_21 = wire::BuildRespond({}, 0, {});
  wire::PutU32(respond_21.data() + 16, 21);
  struct Case {
    const char* name;
    Bytes bytes;
    bool hang_up;
    CloseReason reason;
  };
  const Case cases[] = {
      {"client-to-server type", wire::BuildHeaderOnly({}, wire::kLogin), false, CloseReason::kBadMessage},
      {"unknown type", unknown, false, CloseReason::kBadMessage},
      {"respond of 21 bytes", respond_21, false, CloseReason::kBadMessage},
      {"remote close after a good message", wire::BuildHello({}, 0), true, CloseReason::kRemoteClosed},
  };
  for (const Case& c : cases) {
    PeerAddress peer;
    Socket client = Connect(t, &peer);
    ASSERT_TRUE(client.Send(c.bytes.data(), c.bytes.size(), 5000, nullptr).ok());
    if (c.hang_up) client.Shutdown();
    CloseReason reason{};
    ASSERT_TRUE(recorder_.WaitForClose(peer, &reason)) << c.name;
    EXPECT_EQ(reason, c.reason) << c.name;
    EXPECT_TRUE(SeesEnd(client)) << c.name;
  }
  EXPECT_STREQ(CloseReasonText(CloseReason::kBadMessage), "消息格式错误");
  EXPECT_STREQ(CloseReasonText(static_cast<CloseReason>(9)), "");
}

TEST_F(NetTransportTest, IdleSweepClosesAfterMoreThan270Seconds) {
  NetTransport& t = Up();
  const uint32_t start = clock_.seconds.load();
  PeerAddress quiet_peer, talking_peer;
  Socket quiet = Connect(t, &quiet_peer);
  Socket talking = Connect(t, &talking_peer);
  SendHelloAndWait(quiet, 0);  // both registered at `start`
  clock_.seconds = start + 2;
  SendHelloAndWait(talking, 1);
  clock_.seconds = start + 271;  // quiet: 271 s, talking: 269 s
  CloseReason reason{};
  ASSERT_TRUE(recorder_.WaitForClose(quiet_peer, &reason));
  EXPECT_EQ(reason, CloseReason::kIdle);
  std::lock_guard<std::mutex> lock(recorder_.mu);
  EXPECT_EQ(recorder_.closes.size(), 1u);  // the same sweep kept `talking`
}

TEST_F(NetTransportTest, RefusesConnectionsBeyondTheTableOrTheConfiguredMaximum) {
  struct Case {
    int32_t max_connect;
    size_t admitted;
  };
  for (const Case c : {Case{600, ConnectionTable::kCapacity}, Case{3, 3}}) {
    settings_.MaxConnectNum = c.max_connect;
    NetTransport& t = Up();
    const size_t before = recorder_.joined.messages.size();
    std::vector<Socket> clients;
    for (size_t i = 0; i < c.admitted; ++i) {
      clients.push_back(Connect(t));
      SendHelloAndWait(clients.back(), before + i);
    }
    EXPECT_EQ(t.ConnectionCount(), static_cast<int32_t>(c.admitted));
    Socket extra = Connect(t);
    EXPECT_TRUE(SeesEnd(extra)) << c.max_connect;
    EXPECT_EQ(t.ConnectionCount(), static_cast<int32_t>(c.admitted));
    t.Stop();
    t.Close();
  }
}

TEST_F(NetTransportTest, BatchConnectorKeepsItsSoftAndHardTimeLimits) {
  NetTransport& t = Up();
  clock_.ms_per_read = 50;
  Socket backlogged, filler, refusing;
  InetAddress hangs, refused;
  // A listener whose queue is full drops further SYNs: those connects hang.
  ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 0, &backlogged).ok());
  ASSERT_TRUE(backlogged.LocalAddress(&hangs).ok());
  ASSERT_TRUE(Socket::ConnectTcp(hangs, 5000, &filler).ok());
  ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 1, &refusing).ok());
  ASSERT_TRUE(refusing.LocalAddress(&refused).ok());
  refusing.Close();
  enum Target { kAnswers, kHangs, kRefused };
  struct Case {
    const char* name;
    std::vector<Target> targets;
    int established;
    std::vector<size_t> failed;
    uint64_t min_ms, max_ms;
  };
  const Case cases[] = {
      {"answers at once", {kAnswers}, 1, {}, 0, 2000},
      {"refused", {kRefused}, 0, {0}, 0, 2000},
      {"never answers", {kHangs, kHangs}, 0, {0, 1}, 3000, 3200},
      {"one answers, one never", {kHangs, kAnswers}, 1, {0}, 2000, 2200},
  };
  for (const Case& c : cases) {
    Socket listening;  // a fresh one: the table keys connections by peer address
    InetAddress answers;
    ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 8, &listening).ok());
    ASSERT_TRUE(listening.LocalAddress(&answers).ok());
    std::vector<PeerAddress> targets;
    for (Target k : c.targets) targets.push_back(k == kAnswers ? answers : k == kHangs ? hangs : refused);
    NetTransport::ConnectOutcome out;
    const uint64_t start = clock_.ms();
    EXPECT_EQ(t.ConnectBatch(targets, nullptr, 2000, 3000, &out), c.established) << c.name;
    const uint64_t elapsed = clock_.ms() - start;
    EXPECT_GE(elapsed, c.min_ms) << c.name;
    EXPECT_LT(elapsed, c.max_ms) << c.name;
    EXPECT_EQ(out.failed, c.failed) << c.name;
    for (const auto& [index, peer] : out.established) EXPECT_EQ(peer, answers) << c.name;
  }
}

TEST_F(NetTransportTest, UploadLimiterSpreadsThrottledSendsOverWindows) {
  struct Case {
    uint32_t limit;
    bool throttled;
    uint64_t min_ms, max_ms;
  };
  // 20000 bytes at 8192 B/s span three one-second windows; 0 means no limit.
  const Case cases[] = {{8192, true, 2000, 3000}, {0, true, 0, 1}, {8192, false, 0, 1}};
  Bytes data(20000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  for (const Case& c : cases) {
    settings_.UploadLimit = c.limit;
    NetTransport& t = Up();
    PeerAddress peer;
    Socket client = Connect(t, &peer);
    SendHelloAndWait(client, recorder_.joined.messages.size());
    const uint64_t start = clock_.ms();
    EXPECT_EQ(t.SendToPeer(peer, data.data(), data.size(), c.throttled, nullptr), 20000);
    const uint64_t elapsed = clock_.ms() - start;
    EXPECT_GE(elapsed, c.min_ms) << c.limit << c.throttled;
    EXPECT_LT(elapsed, c.max_ms) << c.limit << c.throttled;
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
  SendHelloAndWait(client, 0);
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
  struct Case {
    const platform::DatagramSocket* from;
    size_t length;
    bool delivered;
  };
  const Case cases[] = {{&server_, 20, true},      {&server_, 19, false},
                        {&other_port, 32, false},  {&other_ip, 32, false},
                        {&server_, 512, true},     {&server_, 21, true}};
  const InetAddress to = InetAddress::Loopback(settings_.UdpProt.load());
  std::vector<Bytes> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Bytes datagram(cases[i].length, static_cast<uint8_t>(i));
    ASSERT_TRUE(cases[i].from->SendTo(to, datagram.data(), datagram.size()).ok());
    if (cases[i].delivered) expected.push_back(datagram);
  }
  ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.datagrams.size() == expected.size(); }));
  EXPECT_EQ(recorder_.datagrams, expected);  // the last one came after every ignored one
}

TEST_F(NetTransportTest, KeepAliveAfterFifteenQuietSeconds) {
  NetTransport& t = Up();
  t.SetHeaderSource([] { return wire::MsgHeader{0, 42, 7, 9, 0}; });
  const uint32_t start = clock_.seconds.load();
  uint8_t buffer[64];
  size_t n = 0;
  InetAddress from;
  // Nothing was ever sent: the first period sends one.
  ASSERT_TRUE(server_.ReceiveFrom(buffer, sizeof(buffer), 5000, &n, &from).ok());
  clock_.seconds = start + 14;  // the first was stamped `start`
  EXPECT_EQ(server_.ReceiveFrom(buffer, sizeof(buffer), 200, &n, &from).code, NetCode::kTimeout);
  clock_.seconds = start + 15;
  ASSERT_TRUE(server_.ReceiveFrom(buffer, sizeof(buffer), 5000, &n, &from).ok());
  ASSERT_EQ(n, wire::kHeaderSize);
  const wire::MsgHeader h = wire::DecodeHeader(buffer);
  EXPECT_EQ(h.type, wire::kKeepAlive);
  EXPECT_EQ(h.index, 42u);
  EXPECT_EQ(h.user_id, 7);
  EXPECT_EQ(h.token, 9u);
  EXPECT_EQ(from.port, settings_.UdpProt.load());
  EXPECT_EQ(t.ServerMessagesSent(), 2u);
}

TEST_F(NetTransportTest, PortsStepBy37PastPortsInUse) {
  // UDP: the configured port is taken.
  platform::DatagramSocket holder;
  InetAddress held;
  ASSERT_TRUE(platform::DatagramSocket::Open({0, 0}, &holder).ok());
  ASSERT_TRUE(holder.LocalAddress(&held).ok());
  settings_.UdpProt = held.port;
  NetTransport& first = Up();
  // TCP: a second transport derives the same listen port as the first.
  settings_.UdpProt = 0;
  NetTransport& second = Up();
  for (const auto& [taken, got] : {std::pair{held.port, first.udp_port()},
                                   std::pair{first.tcp_listen_port(), second.tcp_listen_port()}}) {
    const uint16_t step = static_cast<uint16_t>(got - taken);
    EXPECT_NE(step, 0);
    EXPECT_EQ(step % NetTransport::kPortStep, 0) << taken << " -> " << got;
  }
  EXPECT_EQ(NetTransport::ChooseLocalAddress(server_address_), 0x7F000001u);
  struct Derived {
    uint32_t ip;
    uint16_t port;
  };
  for (const Derived d : {Derived{0x0A000000u, 10000}, Derived{0x7F000001u, 19441},
                          Derived{0xC0A8FFFFu, 16090}})
    EXPECT_EQ(NetTransport::DeriveListenPort(d.ip), d.port) << std::hex << d.ip;
}

}  // namespace
}  // namespace brelvane
