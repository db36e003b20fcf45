// SPDX-License-Identifier: MIT
#include "p2p/net/bandwidth_limiter.h"

#include <gtest/gtest.h>

#include <future>
#include <random>
#include <thread>

#include "net_test_util.h"

namespace brelvane {
namespace {

using net_test::FakeClock;
using enum TrafficSource;

using Passed = std::pair<uint64_t, uint64_t>;  // when, bytes

// The most bytes let through in any span of `span_ms` (starting at an event).
uint64_t MaxInAnySpan(const std::vector<Passed>& events, uint64_t span_ms) {
  uint64_t best = 0, sum = 0;
  size_t end = 0;
  for (size_t begin = 0; begin < events.size(); ++begin) {
    for (; end < events.size() && events[end].first < events[begin].first + span_ms; ++end) {
      sum += events[end].second;
    }
    best = std::max(best, sum);
    sum -= events[begin].second;
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
      {"HTTP receives at the lowest limit that keeps the bound", 40960, 300, 1, 1, -100, 100, 100,
       8192, 16384},
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
      auto uniform = [&](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(random);
      };
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
      const double allowed = p.limit == 8192
                                 ? 10.0 * p.limit + 16384 + p.limit / BandwidthLimiter::kWindowsPerSecond
                                 : 10.0 * p.limit * 1.05;
      EXPECT_LE(static_cast<double>(MaxInAnySpan(received, 10000)), allowed) << p.name << ", seed " << seed;
      EXPECT_LE(static_cast<double>(MaxInAnySpan(passed, 10000)), allowed) << p.name << ", seed " << seed;
      if (p.gap_max == 0) {  // all waiting at once: a limiter far below the limit wastes it
        uint64_t bytes = 0;
        for (const Passed& e : passed) bytes += e.second;
        const auto span_ms = static_cast<double>(passed.back().first - received[0].first);
        EXPECT_GE(bytes * 1000.0 / span_ms, 0.95 * p.limit) << p.name;
      }
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
