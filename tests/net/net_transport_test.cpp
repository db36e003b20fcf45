// SPDX-License-Identifier: MIT
// The transport's own limits and timers on loopback with an injected clock.
// Message delivery under load, the connection table's bound against a storm
// and garbage senders are driven by integration.swarm and
// integration.transport_hostile.  Also the receive buffer's reassembly over
// awkward read splits, and the bandwidth limiter on the simulated clock and
// with real threads.
#include "p2p/net/net_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <random>
#include <thread>

#include "http/scripted_server.h"
#include "p2p/net/bandwidth_limiter.h"
#include "p2p/net/net_clock.h"
#include "p2p/net/receive_buffer.h"
#include "p2p/wire/wire_format.h"

namespace brelvane {
namespace {

// Moves only when told: SleepMs advances the ticks (counted, then `on_sleep`
// runs), and so does every NowMs() call, by `ms_per_read`.
struct FakeClock : NetClock {
  uint64_t NowMs() override { return ms.fetch_add(ms_per_read); }
  void SleepMs(uint32_t n) override {
    ms.fetch_add(n);
    ++sleeps;
    if (on_sleep) on_sleep();
  }
  uint32_t NowSeconds() override { return seconds.load(); }
  std::atomic<uint64_t> ms{5'000'000}, ms_per_read{0};
  std::atomic<uint32_t> seconds{1'000'000};
  std::atomic<int> sleeps{0};
  std::function<void()> on_sleep;  // set before the clock is shared
};

using Bytes = std::vector<uint8_t>;
using platform::InetAddress;
using platform::Socket;

// Records what the transport delivers; WaitFor waits at most 20 s for `ready`
// (run under the lock).
struct Recorder : ITransportListener {
  void OnPeerMessage(const PeerAddress&, const uint8_t* m, size_t n) override {
    Locked([&] { messages.emplace_back(m, m + n); });
    if (hold) held.store(true);
  }
  bool HoldsReceivedData() override { return held.load(); }
  void OnReceiveIdle() override {
    held.store(false);
    Locked([&] { idle_after.push_back(messages.size()); });
  }
  void OnPeerClosed(const PeerAddress& p, CloseReason r) override {
    Locked([&] { closes.emplace_back(p, r); });
  }
  void OnServerDatagram(const uint8_t* d, size_t n) override {
    Locked([&] { datagrams.emplace_back(d, d + n); });
  }
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
  bool hold = false;  // with it, every message is held until OnReceiveIdle
  std::atomic<bool> held{false};
  std::vector<size_t> idle_after;  // messages delivered before each OnReceiveIdle
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
  void Hello(const Socket& s) {
    const size_t before = recorder_.messages.size();
    const Bytes hello = wire::BuildHello({}, 1);
    EXPECT_TRUE(s.Send(hello.data(), hello.size(), 5000, nullptr).ok());
    EXPECT_TRUE(recorder_.WaitFor([&] { return recorder_.messages.size() > before; }));
  }

  FakeClock clock_;
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

// Held data is let go once a look finds nothing more to read: after all three
// messages of one write, and only while something is held.
TEST_F(NetTransportTest, AListenerHoldingDataHearsWhenNothingMoreIsToBeRead) {
  recorder_.hold = true;
  NetTransport& t = Up();
  Socket s = Connect(t);
  EXPECT_TRUE(recorder_.WaitFor([&] { return recorder_.idle_after == std::vector<size_t>{1}; }));
  const Bytes hello = wire::BuildHello({}, 1);
  Bytes three;
  for (int i = 0; i < 3; ++i) three.insert(three.end(), hello.begin(), hello.end());
  ASSERT_TRUE(s.Send(three.data(), three.size(), 5000, nullptr).ok());
  EXPECT_TRUE(recorder_.WaitFor([&] { return recorder_.idle_after.size() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // five quiet wakes
  recorder_.Locked([&] { EXPECT_EQ(recorder_.idle_after, (std::vector<size_t>{1, 4})); });
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
  const InetAddress hangs = InetAddress::Loopback(test::Listen(0, &backlogged)),
                    refused = InetAddress::Loopback(test::Listen(1, &refusing)), kAnswers{};
  ASSERT_TRUE(Socket::ConnectTcp(hangs, 5000, &filler).ok());
  refusing.Close();
  const std::tuple<std::vector<InetAddress>, std::vector<size_t>, uint64_t, uint64_t> cases[] = {
      {{kAnswers}, {}, 0, 2000}, {{refused}, {0}, 0, 2000},  // kAnswers: a fresh listener
      {{hangs, hangs}, {0, 1}, 3000, 3200}, {{hangs, kAnswers}, {0}, 2000, 2200}};
  for (auto [targets, failed, min_ms, max_ms] : cases) {
    Socket listening;  // fresh per case: connections are keyed by peer
    const InetAddress answers = InetAddress::Loopback(test::Listen(8, &listening));
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
  NetTransport& second = Up();  // derives the same TCP port as the first
  // Another program may sit on the derived port too, so both TCP ports are
  // counted in steps from it rather than from each other.
  const uint16_t derived = NetTransport::DeriveListenPort(0x7F000001u);
  const auto steps_from = [](uint16_t from, uint16_t port) {
    return static_cast<uint16_t>(port - from) % 37 == 0;
  };
  EXPECT_TRUE(first.udp_port() != held.port && steps_from(held.port, first.udp_port()))
      << held.port << " " << first.udp_port();
  EXPECT_TRUE(first.tcp_listen_port() != second.tcp_listen_port() &&
              steps_from(derived, first.tcp_listen_port()) &&
              steps_from(derived, second.tcp_listen_port()))
      << first.tcp_listen_port() << " " << second.tcp_listen_port();
  EXPECT_EQ(NetTransport::ChooseLocalAddress(server_address_), 0x7F000001u);
  for (const auto& [ip, port] : {std::pair{0x0A000000u, 10000}, std::pair{0x7F000001u, 19441},
                                 std::pair{0xC0A8FFFFu, 16090}})
    EXPECT_EQ(NetTransport::DeriveListenPort(ip), port) << std::hex << ip;
}

using namespace wire;

// Puts data pieces back together; false on a piece whose head does not
// continue the open data message (start advanced and MsgLength shrunk by
// exactly the data delivered before it).
struct Joiner {
  bool Add(const uint8_t* piece, size_t n) {
    if (open.empty()) {
      const MsgHeader h = DecodeHeader(piece);
      const bool partial = h.type == kData && n < kHeaderSize + h.length;
      (partial ? open : messages.emplace_back()).assign(piece, piece + n);
      delivered = partial ? n - kDataHeadSize : 0;
      return true;
    }
    uint8_t head[kDataHeadSize];
    std::memcpy(head, open.data(), kDataHeadSize);
    PutU32(head + 16, GetU32(head + 16) - static_cast<uint32_t>(delivered));
    PutU32(head + 28, GetU32(head + 28) + static_cast<uint32_t>(delivered));
    if (n < kDataHeadSize || std::memcmp(head, piece, kDataHeadSize) != 0) return false;
    open.insert(open.end(), piece + kDataHeadSize, piece + n);
    delivered += n - kDataHeadSize;
    if (open.size() == kHeaderSize + GetU32(open.data() + 16)) messages.push_back(std::exchange(open, {}));
    return true;
  }
  std::vector<Bytes> messages;
  Bytes open;  // the first piece of an unfinished data message and its data since
  size_t delivered = 0;
};

// Hello, request, respond, report, reset, a data message of `data_bytes`, start.
std::vector<Bytes> SampleMessages(size_t data_bytes, std::mt19937& random) {
  const MsgHeader h{0, 7, 3, 0x1234, 0};
  const PartDescriptor part{5, 2, 0x20000, static_cast<uint32_t>(data_bytes)};
  Report report{.count = 1, .entries = {part}};
  const auto head = BuildDataHead(h, part);
  Bytes data(head.begin(), head.end());
  for (size_t i = 0; i < data_bytes; ++i) data.push_back(static_cast<uint8_t>(random()));
  return {BuildHello(h, 1),   BuildPartMessage(h, kRequest, part),     BuildRespond(h, 0, part),
          BuildReport(h, kReqFileReport, report), BuildHeaderOnly(h, kResetState), data,
          BuildPartMessage(h, kStart, part)};
}

TEST(ReceiveBufferTest, ReassemblesOverAwkwardSplits) {
  std::mt19937 random(11);
  struct Case {
    const char* name;
    size_t data_bytes;
    std::function<size_t(size_t room)> read;  // the next read's size
  };
  const Case cases[] = {
      {"one byte at a time", 1000, [](size_t) { return 1; }},
      {"headers split across reads", 1000, [](size_t) { return 19; }},
      {"300-byte reads", 1000, [](size_t) { return 300; }},
      {"many messages per read", 1000, [](size_t room) { return room; }},
      {"4 MiB data, random reads", 4u << 20,
       [&](size_t room) { return std::uniform_int_distribution<size_t>(1, room)(random); }},
      {"largest data message", kMaxDataLength - 16, [](size_t room) { return room - 1; }},
  };
  for (const Case& c : cases) {
    const std::vector<Bytes> messages = SampleMessages(c.data_bytes, random);
    Bytes stream;
    for (const Bytes& m : messages) stream.insert(stream.end(), m.begin(), m.end());
    Joiner joiner;
    ReceiveBuffer buffer;
    bool pieces_ok = true;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min({c.read(buffer.room()), buffer.room(), stream.size() - at});
      std::copy_n(stream.begin() + at, n, buffer.space());
      at += n;
      ASSERT_TRUE(buffer.Take(n, [&](const uint8_t* m, size_t len) {
        pieces_ok = joiner.Add(m, len) && pieces_ok;
      })) << c.name;
      // Never more kept than one fixed-size message: a read always has room.
      ASSERT_LT(buffer.kept(), kReportSize) << c.name;
    }
    EXPECT_TRUE(pieces_ok) << c.name;
    EXPECT_EQ(joiner.messages, messages) << c.name;
  }
}

using enum TrafficSource;

using Passed = std::pair<uint64_t, uint64_t>;  // when, bytes

// The most bytes let through in any span of `span_ms` (starting at an event).
uint64_t MaxInAnySpan(const std::vector<Passed>& events, uint64_t span_ms) {
  uint64_t best = 0, sum = 0;
  for (size_t begin = 0, end = 0; begin < events.size(); sum -= events[begin++].second) {
    for (; end < events.size() && events[end].first < events[begin].first + span_ms; ++end)
      sum += events[end].second;
    best = std::max(best, sum);
  }
  return best;
}

// Arrivals in `groups` groups of uniform(items) chunks of uniform(size) bytes;
// the clock moves uniform(gap) ms before each group, from `first` ms on.
struct Pattern {
  const char* name;
  uint32_t limit;
  int groups, items_min, items_max;
  int64_t first, gap_min, gap_max;
  uint32_t size_min, size_max;
};

TEST(BandwidthLimiterTest, HonoursTheLimitWithinFivePercentOverAnyTenSeconds) {
  const Pattern patterns[] = {
      {"steady HTTP-sized receives", 0x40000, 1, 4000, 4000, 0, 0, 0, 16384, 16384},
      {"bursts after quiet spells", 0x40000, 60, 1, 200, 0, 0, 3000, 8192, 8192},
      {"late arrivals in every second", 0x40000, 40, 40, 40, -50, 1000, 1000, 8192, 8192},
      {"HTTP receives at the lowest limit keeping the bound", 40960, 300, 1, 1, -100, 100, 100, 8192, 16384},
      {"random sizes and gaps", 100000, 6000, 1, 1, 0, 0, 40, 1, 8192},
      // A receive has happened by the time it is charged, so a single receive
      // larger than the rest of the allowance cannot be held back: at tiny
      // limits the excess stays below one receive plus one window's share.
      {"tiny limit", 8192, 80, 1, 1, -300, 300, 300, 1, 16384},
  };
  for (const Pattern& p : patterns) {
    for (uint32_t seed = 1; seed <= 5; ++seed) {
      FakeClock clock;
      BandwidthLimiter limiter(p.limit, &clock);
      std::mt19937 random(seed);
      auto uniform = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution(lo, hi)(random); };
      // Fed as one receiver would: a chunk can be received once the network
      // has it and the charge of the previous one returned.  Each is recorded
      // both when it was received (and charged) and when its charge let it through.
      std::vector<Passed> received, passed;
      uint64_t t = clock.ms + p.first;
      for (int group = 0; group < p.groups; ++group) {
        t += uniform(p.gap_min, p.gap_max);
        for (int64_t i = uniform(p.items_min, p.items_max); i > 0; --i) {
          const auto chunk = static_cast<uint32_t>(uniform(p.size_min, p.size_max));
          clock.ms = std::max<uint64_t>(clock.ms, t);
          received.emplace_back(clock.ms, chunk);
          limiter.Charge(chunk, received.size() % 3 == 1 ? kP2P : kHttp, nullptr);
          passed.emplace_back(clock.ms, chunk);
        }
      }
      const double allowed = p.limit != 8192
                                 ? 10.0 * p.limit * 1.05
                                 : 10.0 * p.limit + 16384 + p.limit / BandwidthLimiter::kWindowsPerSecond;
      for (const auto* events : {&received, &passed})
        EXPECT_LE(double(MaxInAnySpan(*events, 10000)), allowed) << p.name << ", seed " << seed;
      // All waiting at once: a limiter far below the limit wastes it.
      uint64_t bytes = 0;
      for (const Passed& e : passed) bytes += e.second;
      const auto span_ms = static_cast<double>(passed.back().first - received[0].first);
      if (p.gap_max == 0) { EXPECT_GE(bytes * 1000.0 / span_ms, 0.95 * p.limit) << p.name; }
    }
  }
}

// On the simulated clock: one window's share for HTTP and peers together, an
// excess paid off in later windows, no limit (0) never waiting, and the waits
// that a limit of 0, the stop flag and Stop() end or skip.
TEST(BandwidthLimiterTest, SharesOneWindowCarriesExcessOverAndEndsWaitsWhenTold) {
  FakeClock clock;
  BandwidthLimiter limiter(10000, &clock);  // 1000 bytes per window
  limiter.Charge(1000, kHttp, nullptr);
  EXPECT_EQ(clock.sleeps, 0);
  limiter.Charge(1000, kP2P, nullptr);  // over the window's share
  EXPECT_GT(clock.sleeps, 0);
  EXPECT_EQ(std::tuple(limiter.HttpBytes(), limiter.P2PBytes(), limiter.TotalBytes()),
            std::tuple(1000u, 1000u, 2000u));
  limiter.Reset();
  EXPECT_EQ(limiter.TotalBytes() + limiter.HttpBytes() + limiter.P2PBytes(), 0u);
  uint64_t start = clock.NowMs();
  limiter.Charge(50000, kHttp, nullptr);  // five seconds' worth
  // It returns once its debt is down to one window's share.
  EXPECT_TRUE(clock.NowMs() - start >= 4900u && clock.NowMs() - start <= 5000u);

  FakeClock free_clock;
  BandwidthLimiter unlimited(0, &free_clock);
  for (int i = 0; i < 1000; ++i) unlimited.Charge(1 << 20, kP2P, nullptr);
  EXPECT_EQ(unlimited.TotalBytes(), 1000u << 20);
  unlimited.set_limit(10000);
  unlimited.Charge(100, kP2P, nullptr);  // no debt left behind
  unlimited.Stop();
  unlimited.Charge(5000, kHttp, nullptr);
  EXPECT_EQ(free_clock.sleeps, 0);
  unlimited.Restart();
  unlimited.Charge(5000, kHttp, nullptr);
  EXPECT_GT(free_clock.sleeps, 0);

  limiter.set_limit(1000);
  std::atomic<bool> stop{false};
  for (const bool by_flag : {false, true}) {
    clock.sleeps = 0;
    clock.on_sleep = [&] {
      if (clock.sleeps == 3) by_flag ? stop.store(true) : limiter.set_limit(0);
    };
    limiter.Charge(1000000, kHttp, &stop);  // about 1000 s of waiting
    EXPECT_EQ(clock.sleeps, 3) << by_flag;
    limiter.set_limit(1000);
  }
  limiter.Charge(1000000, kHttp, &stop);  // the flag is set: no wait at all
  EXPECT_EQ(clock.sleeps, 3);
}

// Real threads on the real clock: a thread-safety check above all (run it
// under TSan), then Stop() and the stop flag ending real waits of other threads.
TEST(BandwidthLimiterTest, ManyThreadsKeepTheLimitAndStopOrTheStopFlagEndsTheirWaits) {
  BandwidthLimiter limiter(2000000);
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&limiter, t] {
      for (int i = 0; i < 50; ++i) limiter.Charge(5000, t % 2 ? kHttp : kP2P, nullptr);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(limiter.TotalBytes(), 4u * 50u * 5000u);
  EXPECT_EQ(limiter.HttpBytes() + limiter.P2PBytes(), limiter.TotalBytes());
  // One million bytes at two million per second: at least 0.4 s, less the
  // millisecond the tick clock truncates from the window grid's anchor.
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.399);
  for (const bool by_flag : {false, true}) {
    limiter.Restart();
    limiter.set_limit(1000);
    std::atomic<bool> stop{false};
    auto waiting = std::async(std::launch::async, [&] {
      limiter.Charge(10000000, kP2P, &stop);  // hours of waiting
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    by_flag ? stop.store(true) : limiter.Stop();
    EXPECT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready) << by_flag;
  }
}

}  // namespace
}  // namespace brelvane
