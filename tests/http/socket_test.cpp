// SPDX-License-Identifier: MIT
// The platform socket layer under the HTTP client (and later the peer
// transport): resolution, connect, accept, timed send and receive, and
// shutdown waking a waiting thread.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/scripted_server.h"

namespace brelvane::platform {
namespace {

constexpr int kPromptMs = 5000;
using test::ElapsedMs;

// A connected pair over loopback: `client` connected to `server`.
struct Pair {
  Socket listener;
  Socket client;
  Socket server;
  InetAddress listen_address;
};

void MakePair(Pair* pair) {
  ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 4, &pair->listener).ok());
  ASSERT_TRUE(pair->listener.LocalAddress(&pair->listen_address).ok());
  ASSERT_NE(pair->listen_address.port, 0);
  ASSERT_TRUE(Socket::ConnectTcp(pair->listen_address, kPromptMs, &pair->client).ok());
  InetAddress peer;
  ASSERT_TRUE(pair->listener.Accept(kPromptMs, &pair->server, &peer).ok());
  InetAddress client_local;
  ASSERT_TRUE(pair->client.LocalAddress(&client_local).ok());
  EXPECT_EQ(peer, client_local);
}

TEST(InetAddressTest, FormatsTextAndTheSixteenByteForm) {
  InetAddress a{0xC0A80102u, 8080};
  EXPECT_EQ(a.IpText(), "192.168.1.2");
  EXPECT_EQ(a.ToString(), "192.168.1.2:8080");
  std::array<uint8_t, 16> expected = {2, 0, 0x1F, 0x90, 192, 168, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(a.ToSockaddrBytes(), expected);
  EXPECT_LT((InetAddress{1, 9}), (InetAddress{2, 1}));
  EXPECT_LT((InetAddress{1, 1}), (InetAddress{1, 2}));
}

TEST(InetAddressTest, ParsesDottedText) {
  uint32_t ip = 0;
  ASSERT_TRUE(ParseIpv4("10.1.2.3", &ip));
  EXPECT_EQ(ip, 0x0A010203u);
  for (const char* bad : {"", "10.1.2", "10.1.2.256", "a.b.c.d", "10.1.2.3 "}) {
    EXPECT_FALSE(ParseIpv4(bad, &ip)) << bad;
  }
}

TEST(SocketTest, ResolvesLoopbackNames) {
  std::vector<InetAddress> found;
  ASSERT_TRUE(ResolveIpv4("127.0.0.1", 8080, &found).ok());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], InetAddress::Loopback(8080));
  ASSERT_TRUE(ResolveIpv4("localhost", 80, &found).ok());
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found[0].ip >> 24, 127u);
  EXPECT_EQ(ResolveIpv4("", 80, &found).code, NetCode::kNotFound);
  EXPECT_TRUE(found.empty());
}

TEST(SocketTest, ExchangesBytesBothWays) {
  Pair pair;
  MakePair(&pair);
  const std::string hello = "hello over loopback";
  size_t sent = 0;
  ASSERT_TRUE(pair.client.Send(hello.data(), hello.size(), kPromptMs, &sent).ok());
  EXPECT_EQ(sent, hello.size());
  std::string got;
  char buffer[64];
  while (got.size() < hello.size()) {
    size_t n = 0;
    ASSERT_TRUE(pair.server.Receive(buffer, sizeof(buffer), kPromptMs, &n).ok());
    got.append(buffer, n);
  }
  EXPECT_EQ(got, hello);
  ASSERT_TRUE(pair.server.Send("ok", 2, kPromptMs, nullptr).ok());
  size_t n = 0;
  ASSERT_TRUE(pair.client.Receive(buffer, sizeof(buffer), kPromptMs, &n).ok());
  EXPECT_EQ(std::string(buffer, n), "ok");
  InetAddress peer;
  ASSERT_TRUE(pair.client.PeerAddress(&peer).ok());
  EXPECT_EQ(peer, pair.listen_address);
}

TEST(SocketTest, ReceiveTellsTimeoutFromPeerClose) {
  Pair pair;
  MakePair(&pair);
  char buffer[16];
  size_t n = 99;
  NetStatus status = pair.client.Receive(buffer, sizeof(buffer), 0, &n);
  EXPECT_EQ(status.code, NetCode::kTimeout);
  EXPECT_EQ(n, 0u);
  status = pair.client.Receive(buffer, sizeof(buffer), 50, &n);
  EXPECT_EQ(status.code, NetCode::kTimeout);
  pair.server.Close();
  status = pair.client.Receive(buffer, sizeof(buffer), kPromptMs, &n);
  EXPECT_EQ(status.code, NetCode::kClosed);
}

TEST(SocketTest, RefusedConnectReportsTheSystemError) {
  Socket s;
  NetStatus status = Socket::ConnectTcp(InetAddress::Loopback(test::RefusingPort()), kPromptMs, &s);
  EXPECT_EQ(status.code, NetCode::kError);
  EXPECT_EQ(status.os_error, ECONNREFUSED);
  EXPECT_STREQ(status.op, "connect");
  EXPECT_FALSE(s.valid());
  EXPECT_NE(status.ToString().find("connect: "), std::string::npos);
}

TEST(SocketTest, AcceptWaitsNoLongerThanItsLimitAndShutdownWakesWaitsWithoutLimit) {
  Socket listener;
  ASSERT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 1, &listener).ok());
  Socket accepted;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(listener.Accept(100, &accepted, nullptr).code, NetCode::kTimeout);
  EXPECT_GE(ElapsedMs(start), 95);
  EXPECT_FALSE(accepted.valid());
  Pair pair;
  MakePair(&pair);
  for (Socket* waiting : {&pair.client, &listener}) {
    NetStatus status;
    std::atomic<bool> started{false};
    std::thread waiter([&] {
      char buffer[16];
      size_t n = 0;
      started.store(true);
      status = waiting == &listener ? listener.Accept(-1, &accepted, nullptr)
                                    : waiting->Receive(buffer, sizeof(buffer), -1, &n);
    });
    while (!started.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block
    waiting->Shutdown();
    waiter.join();
    EXPECT_EQ(status.code, NetCode::kClosed);
  }
}

TEST(SocketTest, SendToAPeerThatDoesNotReadTimesOutWithAPartialCount) {
  Pair pair;
  MakePair(&pair);
  ASSERT_TRUE(pair.client.SetBufferSizes(0, 4096).ok());
  ASSERT_TRUE(pair.server.SetBufferSizes(4096, 0).ok());
  const std::string big(8 << 20, 'x');
  size_t sent = 0;
  NetStatus status = pair.client.Send(big.data(), big.size(), 200, &sent);
  EXPECT_EQ(status.code, NetCode::kTimeout);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, big.size());
}

TEST(SocketTest, SendAfterThePeerHasGoneFailsWithoutSignal) {
  Pair pair;
  MakePair(&pair);
  pair.server.Close();
  pair.listener.Close();
  NetStatus status;
  const std::string chunk(65536, 'y');
  // The first sends may still be taken by the kernel; a later one meets the
  // reset.  SIGPIPE would kill the test binary instead.
  for (int i = 0; i < 100 && status.ok(); ++i) {
    status = pair.client.Send(chunk.data(), chunk.size(), 1000, nullptr);
  }
  EXPECT_FALSE(status.ok());
}

TEST(SocketTest, StopFlagEndsAConnectWait) {
  test::UnansweredListener listener;
  ASSERT_TRUE(listener.ok());
  std::atomic<bool> stop{false};
  NetStatus status;
  auto start = std::chrono::steady_clock::now();
  std::thread connector([&] {
    Socket s;
    status = Socket::ConnectTcp(InetAddress::Loopback(listener.port()), -1, &s, &stop);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it wait
  stop.store(true);
  connector.join();
  EXPECT_EQ(status.code, NetCode::kClosed);
  EXPECT_LT(ElapsedMs(start), kPromptMs);
}

}  // namespace
}  // namespace brelvane::platform
