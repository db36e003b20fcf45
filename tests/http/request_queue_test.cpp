// SPDX-License-Identifier: MIT
// The request queue between the HTTP control thread and the download
// threads, and the auto-reset event that wakes the control thread.  That
// every field of a request travels shows in every integration download.
#include "http/request_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

#include "base/auto_reset_event.h"

namespace brelvane {
namespace {

// A sink that counts its destructions.
struct CountedSink : HttpSink {
  explicit CountedSink(std::atomic<int>* destroyed) : destroyed(destroyed) {}
  ~CountedSink() override { ++*destroyed; }
  std::atomic<int>* destroyed;
};

TEST(RequestQueueTest, HoldsItsCapacityInOrderAcrossTheRingEndAndDeletesQueuedSinksAtTheEnd) {
  std::atomic<int> destroyed{0};
  {
    RequestQueue queue(3);
    for (int round = 0; round < 4; ++round) {  // the indices wrap around the 4 slots
      for (int i = 0; i < 3; ++i) { ASSERT_TRUE(queue.TryPush({.url = std::to_string(i)}, 0)); }
      EXPECT_EQ(queue.Count(), 3u);
      EXPECT_FALSE(queue.TryPush({.url = "x"}, 20));
      for (int i = 0; i < 3; ++i) {
        HttpRequest out;
        ASSERT_TRUE(queue.TryPop(&out, 0));
        EXPECT_EQ(out.url, std::to_string(i));
      }
      HttpRequest untouched{.url = "keep"};
      EXPECT_FALSE(queue.TryPop(&untouched, 0));
      EXPECT_EQ(untouched.url + std::to_string(queue.Count()), "keep0");
    }
    auto pop = std::async(std::launch::async, [&] { return queue.Pop().url; });
    EXPECT_EQ(pop.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);  // empty
    queue.Push({.url = "late"});
    EXPECT_EQ(pop.get(), "late");
    queue.Push({.url = "b", .sink = new CountedSink(&destroyed)});
    queue.Push({.url = "c", .sink = new CountedSink(&destroyed)});
  }
  EXPECT_EQ(destroyed.load(), 2);
}

// Capacity 1 against three producers and three consumers: nothing is lost or
// repeated.
TEST(RequestQueueTest, ManyProducersAndConsumersLoseAndRepeatNothing) {
  RequestQueue queue(1);
  constexpr int kProducers = 3, kConsumers = 3, kEach = 400;
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> seen(kConsumers);
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&queue, p] {
      for (int i = 0; i < kEach; ++i) {
        const std::string url = std::to_string(p) + "/" + std::to_string(i);
        if (i % 2 == 0) {
          queue.Push({.url = url});
        } else {
          while (!queue.TryPush({.url = url}, 1)) {}
        }
      }
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&queue, &seen, c] {
      for (HttpRequest r = queue.Pop(); !r.url.empty(); r = queue.Pop()) seen[c].push_back(r.url);
    });
  }
  for (int p = 0; p < kProducers; ++p) threads[p].join();
  for (int c = 0; c < kConsumers; ++c) queue.Push(HttpRequest());  // the end signals
  for (size_t t = kProducers; t < threads.size(); ++t) threads[t].join();
  std::set<std::string> all;
  size_t total = 0;
  for (const auto& list : seen) {
    total += list.size();
    all.insert(list.begin(), list.end());
  }
  EXPECT_EQ(total, size_t{kProducers} * kEach);
  EXPECT_EQ(all.size(), total);
  EXPECT_EQ(queue.Count(), 0u);
}

TEST(AutoResetEventTest, OneSignalReleasesOneWaitAndWakesAWaitingThread) {
  AutoResetEvent event, signalled(true);
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();  // two signals before a wait count as one
  EXPECT_TRUE(event.IsSet() && event.Wait(0));
  EXPECT_FALSE(event.Wait(10));
  EXPECT_TRUE(signalled.Wait(0));
  signalled.Set();
  signalled.Reset();
  EXPECT_FALSE(signalled.Wait(0));
  auto waiter = std::async(std::launch::async, [&] { return event.Wait(60000); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
  event.Set();
  EXPECT_TRUE(waiter.get());
  EXPECT_FALSE(event.IsSet());  // consumed by the waiter
}

}  // namespace
}  // namespace brelvane
