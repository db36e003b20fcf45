// SPDX-License-Identifier: MIT
#include "storage/runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/task_queue.h"

namespace brelvane {
namespace {

// Records whether it ran and when it died.
struct Journal {
  std::mutex mu;
  std::vector<int> ran;
  std::atomic<int> destroyed{0};
};

class RecordingTask : public Task {
 public:
  RecordingTask(Journal* journal, int id) : journal_(journal), id_(id) {}
  ~RecordingTask() override { journal_->destroyed.fetch_add(1); }
  void Run(FileSystem*) override {
    std::lock_guard<std::mutex> lock(journal_->mu);
    journal_->ran.push_back(id_);
  }

 private:
  Journal* journal_;
  int id_;
};

// Blocks the worker until released, so that the queue fills up behind it.
class GateTask : public Task {
 public:
  GateTask(std::promise<void>* entered, std::shared_future<void> open)
      : entered_(entered), open_(std::move(open)) {}
  void Run(FileSystem*) override {
    entered_->set_value();
    open_.wait();
  }

 private:
  std::promise<void>* entered_;
  std::shared_future<void> open_;
};

std::unique_ptr<Task> Recording(Journal* journal, int id) {
  return std::make_unique<RecordingTask>(journal, id);
}

TEST(RunnerTest, RunsTasksInPostOrderAndDestroysThem) {
  Journal journal;
  Runner runner;
  ASSERT_TRUE(runner.Start(4, nullptr));
  for (int i = 0; i < 50; ++i) {
    auto task = Recording(&journal, i);
    ASSERT_TRUE(runner.Post(task, kInfiniteWait));
    EXPECT_EQ(task, nullptr);
  }
  runner.Stop();  // the worker may still have had tasks queued
  std::lock_guard<std::mutex> lock(journal.mu);
  EXPECT_EQ(journal.destroyed.load(), 50);
  for (size_t i = 0; i < journal.ran.size(); ++i) EXPECT_EQ(journal.ran[i], static_cast<int>(i));
}

TEST(RunnerTest, PostFailsWhenNotStartedAndLeavesTaskToCaller) {
  Journal journal;
  Runner runner;
  auto task = Recording(&journal, 1);
  EXPECT_FALSE(runner.Post(task, 0));
  EXPECT_NE(task, nullptr);
  EXPECT_EQ(runner.PendingCount(), 0u);
  ASSERT_TRUE(runner.Start(2, nullptr));
  runner.Stop();
  EXPECT_FALSE(runner.Post(task, 0));
  EXPECT_NE(task, nullptr);
}

TEST(RunnerTest, SecondStartIsRefusedAndStoppedRunnerStartsAgain) {
  Journal journal;
  Runner runner;
  ASSERT_TRUE(runner.Start(2, nullptr));
  EXPECT_FALSE(runner.Start(2, nullptr));
  runner.Stop();
  EXPECT_FALSE(runner.IsStarted());
  ASSERT_TRUE(runner.Start(3, nullptr));
  auto task = Recording(&journal, 7);
  ASSERT_TRUE(runner.Post(task, kInfiniteWait));
  runner.Stop();
  EXPECT_EQ(journal.destroyed.load(), 1);
}

TEST(RunnerTest, FullQueueRefusesAPostAfterItsTimeout) {
  Journal journal;
  Runner runner;
  ASSERT_TRUE(runner.Start(16, nullptr));
  std::promise<void> entered;
  std::promise<void> open;
  std::unique_ptr<Task> gate = std::make_unique<GateTask>(&entered, open.get_future().share());
  ASSERT_TRUE(runner.Post(gate, kInfiniteWait));
  entered.get_future().wait();  // the worker is now stuck inside a task

  for (int i = 0; i < 16; ++i) {
    auto task = Recording(&journal, i);
    ASSERT_TRUE(runner.Post(task, 1000)) << i;
  }
  EXPECT_EQ(runner.PendingCount(), 16u);
  auto extra = Recording(&journal, 99);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(runner.Post(extra, 1000));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(990));
  ASSERT_NE(extra, nullptr);  // still the caller's, to destroy
  extra.reset();
  EXPECT_EQ(journal.destroyed.load(), 1);

  open.set_value();
  runner.Stop();
  EXPECT_EQ(journal.destroyed.load(), 17);
}

TEST(RunnerTest, StopDestroysQueuedTasksWithoutRunningThem) {
  Journal journal;
  Runner runner;
  ASSERT_TRUE(runner.Start(8, nullptr));
  std::promise<void> entered;
  std::promise<void> open;
  std::unique_ptr<Task> gate = std::make_unique<GateTask>(&entered, open.get_future().share());
  ASSERT_TRUE(runner.Post(gate, kInfiniteWait));
  entered.get_future().wait();
  for (int i = 0; i < 5; ++i) {
    auto task = Recording(&journal, i);
    ASSERT_TRUE(runner.Post(task, kInfiniteWait));
  }
  // Let the gate go only once Stop has raised its flag: the worker then ends
  // after the gate, and the five tasks are destroyed unrun.
  std::thread stopper([&] { runner.Stop(); });
  while (runner.PendingCount() < 6) std::this_thread::yield();  // Stop's wake-up is queued
  open.set_value();
  stopper.join();
  std::lock_guard<std::mutex> lock(journal.mu);
  EXPECT_TRUE(journal.ran.empty());
  EXPECT_EQ(journal.destroyed.load(), 5);
}

TEST(RunnerTest, StopReleasesAPosterWaitingWithoutLimit) {
  Journal journal;
  Runner runner;
  ASSERT_TRUE(runner.Start(1, nullptr));
  std::promise<void> entered;
  std::promise<void> open;
  std::unique_ptr<Task> gate = std::make_unique<GateTask>(&entered, open.get_future().share());
  ASSERT_TRUE(runner.Post(gate, kInfiniteWait));
  entered.get_future().wait();
  auto filler = Recording(&journal, 1);
  ASSERT_TRUE(runner.Post(filler, kInfiniteWait));
  std::thread poster([&] {
    auto task = Recording(&journal, 2);
    (void)runner.Post(task, kInfiniteWait);  // either queued and dropped, or refused
  });
  std::thread stopper([&] { runner.Stop(); });
  open.set_value();
  stopper.join();
  poster.join();
  EXPECT_EQ(journal.destroyed.load(), 2);
  EXPECT_FALSE(runner.IsStarted());
}

TEST(TaskQueueTest, CountsEntriesAcrossTheWrapOfTheRing) {
  TaskQueue queue(3);
  Journal journal;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 3; ++i) {
      auto task = Recording(&journal, i);
      ASSERT_TRUE(queue.Push(task, 0));
    }
    EXPECT_EQ(queue.Count(), 3u);
    auto overflow = Recording(&journal, 9);
    EXPECT_FALSE(queue.Push(overflow, 0));
    for (int i = 0; i < 3; ++i) EXPECT_NE(queue.Pop(), nullptr);
    EXPECT_EQ(queue.Count(), 0u);
    std::unique_ptr<Task> none;
    EXPECT_FALSE(queue.TryPop(&none, 0));
  }
}

TEST(TaskQueueTest, NullEntryIsAWakeUpAndQueueDestroysWhatItHolds) {
  Journal journal;
  {
    TaskQueue queue(4);
    std::unique_ptr<Task> wake;
    ASSERT_TRUE(queue.Push(wake, 0));
    auto task = Recording(&journal, 1);
    ASSERT_TRUE(queue.Push(task, 0));
    EXPECT_EQ(queue.Pop(), nullptr);
    auto left = Recording(&journal, 2);
    ASSERT_TRUE(queue.Push(left, 0));
  }
  EXPECT_EQ(journal.destroyed.load(), 2);
}

TEST(CountingSemaphoreTest, WaitersWakeOnceABatchIsFreeAndArrivalsTakeFreeUnits) {
  CountingSemaphore slots(0, /*wake_batch=*/4, /*full=*/16);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    EXPECT_TRUE(slots.Acquire(kInfiniteWait));
    woke.store(true);
  });
  slots.Release();
  slots.Release();
  EXPECT_TRUE(slots.Acquire(0));  // a unit is free: no wait for a newcomer
  slots.Release();
  slots.Release();
  slots.Release();  // four free now: the waiter must wake
  waiter.join();
  EXPECT_TRUE(woke.load());
  EXPECT_TRUE(slots.Acquire(0));
  EXPECT_TRUE(slots.Acquire(0));
  EXPECT_TRUE(slots.Acquire(0));
  EXPECT_FALSE(slots.Acquire(0));
  EXPECT_FALSE(slots.Acquire(20));
}

TEST(CountingSemaphoreTest, ReachingFullWakesWaitersBelowTheBatch) {
  CountingSemaphore slots(0, /*wake_batch=*/8, /*full=*/2);
  std::thread waiter([&] { EXPECT_TRUE(slots.Acquire(kInfiniteWait)); });
  slots.Release();
  slots.Release();  // the queue is empty: whatever the batch, wake
  waiter.join();
}

}  // namespace
}  // namespace brelvane
