// SPDX-License-Identifier: MIT
// The platform socket layer under the HTTP client (and later the peer
// transport): resolution, connect, accept, timed send and receive, and
// shutdown waking a waiting thread.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <future>

#include "http/scripted_server.h"

namespace brelvane::platform {
namespace {

constexpr int kPromptMs = 5000;
using test::ElapsedMs;

// A connected pair over loopback: `client` connected to `server`, which
// `listener` accepted (and named by the client's own address).
struct Pair {
  Pair() {
    InetAddress at, peer, client_local;
    EXPECT_TRUE(Socket::ListenTcp(InetAddress::Loopback(0), 4, &listener).ok());
    EXPECT_TRUE(listener.LocalAddress(&at).ok());
    EXPECT_TRUE(Socket::ConnectTcp(at, kPromptMs, &client).ok());
    EXPECT_TRUE(listener.Accept(kPromptMs, &server, &peer).ok() && client.LocalAddress(&client_local).ok());
    EXPECT_EQ(peer, client_local);
  }
  Socket listener, client, server;
};

TEST(InetAddressTest, FormatsParsesAndResolves) {
  InetAddress a{0xC0A80102u, 8080};
  EXPECT_EQ(a.ToString(), "192.168.1.2:8080");
  EXPECT_TRUE((InetAddress{1, 9}) < (InetAddress{2, 1}) && (InetAddress{1, 1}) < (InetAddress{1, 2}));
  uint32_t ip = 0;
  ASSERT_TRUE(ParseIpv4("10.1.2.3", &ip));
  EXPECT_EQ(ip, 0x0A010203u);
  EXPECT_FALSE(ParseIpv4(std::string("10.1.2.3\0", 9), &ip));  // the C parser stops at a NUL
  for (const char* bad : {"", "10.1.2", "10.1.2.256", "a.b.c.d", "10.1.2.3 "}) {
    EXPECT_FALSE(ParseIpv4(bad, &ip)) << bad;
  }
  std::vector<InetAddress> found;
  ASSERT_TRUE(ResolveIpv4("localhost", 80, &found).ok());
  EXPECT_EQ(std::pair(found.at(0).ip >> 24, int{found.at(0).port}), std::pair(127u, 80));
  EXPECT_EQ(ResolveIpv4("", 80, &found).ToString(), "getaddrinfo: host not found");
  EXPECT_TRUE(found.empty());
}

// Timed waits end with kTimeout, a refusal carries the system error, and a
// send to a peer that stops reading or has gone fails (without SIGPIPE,
// which would kill the test binary).
TEST(SocketTest, TimeLimitsRefusalsAndPeersThatStopReadingOrGo) {
  Pair pair;
  Socket accepted, refused;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pair.listener.Accept(100, &accepted, nullptr).ToString(), "accept: timed out");
  EXPECT_GE(ElapsedMs(start), 95);
  EXPECT_FALSE(accepted.valid());
  char buffer[16];
  size_t n = 99;
  EXPECT_EQ(pair.client.Receive(buffer, sizeof(buffer), 0, &n).code, NetCode::kTimeout);
  EXPECT_EQ(n, 0u);
  const NetStatus status =
      Socket::ConnectTcp(InetAddress::Loopback(1), kPromptMs, &refused);  // nothing listens on port 1
  EXPECT_EQ(status.code, NetCode::kError);
  EXPECT_EQ(status.ToString(), "connect: " + std::string(std::strerror(ECONNREFUSED)) + " (" +
                                   std::to_string(ECONNREFUSED) + ")");
  EXPECT_FALSE(refused.valid());

  ASSERT_TRUE(pair.client.SetBufferSizes(0, 4096).ok());
  ASSERT_TRUE(pair.server.SetBufferSizes(4096, 0).ok());
  const std::string big(8 << 20, 'x');
  size_t sent = 0;
  EXPECT_EQ(pair.client.Send(big.data(), big.size(), 200, &sent).code, NetCode::kTimeout);
  EXPECT_TRUE(sent > 0 && sent < big.size()) << sent;
  pair.server.Close();
  NetStatus gone;
  // The first sends may still be taken by the kernel; a later one meets the reset.
  for (int i = 0; i < 100 && gone.ok(); ++i) gone = pair.client.Send(big.data(), 65536, 1000, nullptr);
  EXPECT_FALSE(gone.ok());
}

TEST(SocketTest, ShutdownWakesWaitsWithoutLimit) {
  Pair pair;
  for (Socket* waiting : {&pair.client, &pair.listener}) {
    auto waiter = std::async(std::launch::async, [&] {
      char buffer[16];
      size_t n = 0;
      Socket accepted;
      return (waiting == &pair.listener ? pair.listener.Accept(-1, &accepted, nullptr)
                                        : waiting->Receive(buffer, sizeof(buffer), -1, &n)).code;
    });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);  // it waits
    waiting->Shutdown();
    EXPECT_EQ(waiter.get(), NetCode::kClosed);
  }
}

}  // namespace
}  // namespace brelvane::platform
