// SPDX-License-Identifier: MIT
// The storage worker, its queue and semaphore, and the byte budget.  A post
// refused by a full queue after its time-out is checked through
// FileSystem::CommitWrite (file_system_test.cpp).
#include "storage/runner.h"

#include <gtest/gtest.h>

#include <thread>

#include "storage/byte_budget.h"
#include "storage/storage_test_util.h"
#include "storage/task_queue.h"

namespace brelvane {
namespace {

// Records which tasks ran, in order, and how many died.
struct Journal {
  std::mutex mu;
  std::vector<int> ran;
  std::atomic<int> destroyed{0};

  std::unique_ptr<Task> New(int id) {
    struct Recording : Task {
      Recording(Journal* journal, int id) : journal(journal), id(id) {}
      ~Recording() override { ++journal->destroyed; }
      void Run(FileSystem*) override {
        std::lock_guard<std::mutex> lock(journal->mu);
        journal->ran.push_back(id);
      }
      Journal* journal;
      int id;
    };
    return std::make_unique<Recording>(this, id);
  }
};

TEST(RunnerTest, RunsTasksInPostOrderOnlyWhileStartedAndDestroysThem) {
  Journal journal;
  Runner runner;
  auto task = journal.New(-1);
  EXPECT_FALSE(runner.Post(task, 0));
  EXPECT_NE(task, nullptr);  // still the caller's
  EXPECT_EQ(runner.PendingCount(), 0u);
  ASSERT_TRUE(runner.Start(4, nullptr));
  EXPECT_FALSE(runner.Start(2, nullptr));
  for (int i = 0; i < 50; ++i) {
    auto next = journal.New(i);
    ASSERT_TRUE(runner.Post(next, kInfiniteWait));
    EXPECT_EQ(next, nullptr);
  }
  runner.Stop();  // the worker may still have had tasks queued
  EXPECT_FALSE(runner.IsStarted());
  EXPECT_EQ(journal.destroyed.load(), 50);
  EXPECT_FALSE(runner.Post(task, 0));
  EXPECT_NE(task, nullptr);
  ASSERT_TRUE(runner.Start(3, nullptr));  // a stopped runner starts again
  ASSERT_TRUE(runner.Post(task, kInfiniteWait));
  runner.Stop();
  EXPECT_EQ(journal.destroyed.load(), 51);
  std::lock_guard<std::mutex> lock(journal.mu);
  std::erase(journal.ran, -1);  // the task of the second start
  for (size_t i = 0; i < journal.ran.size(); ++i) EXPECT_EQ(journal.ran[i], static_cast<int>(i));
}

TEST(RunnerTest, StopReleasesAPosterWaitingWithoutLimit) {
  Journal journal;
  Runner runner;
  ASSERT_TRUE(runner.Start(1, nullptr));
  testing::Gate gate;
  ASSERT_TRUE(gate.Hold(runner));
  auto filler = journal.New(1);
  ASSERT_TRUE(runner.Post(filler, kInfiniteWait));
  std::thread poster([&] {
    auto task = journal.New(2);
    (void)runner.Post(task, kInfiniteWait);  // either queued and dropped, or refused
  }), stopper([&] { runner.Stop(); });
  gate.Open();
  stopper.join();
  poster.join();
  EXPECT_EQ(journal.destroyed.load(), 2);
  EXPECT_FALSE(runner.IsStarted());
}

TEST(TaskQueueTest, CountsAcrossTheWrapTakesNullWakeUpsAndDestroysWhatItHolds) {
  Journal journal;
  {
    TaskQueue queue(3);
    for (int round = 0; round < 5; ++round) {
      for (int i = 0; i < 3; ++i) {
        auto task = i == 1 ? nullptr : journal.New(i);  // a null entry is a wake-up
        ASSERT_TRUE(queue.Push(task, 0));
      }
      EXPECT_EQ(queue.Count(), 3u);
      auto overflow = journal.New(9);
      EXPECT_FALSE(queue.Push(overflow, 0));
      for (int i = 0; i < 3; ++i) EXPECT_EQ(queue.Pop() == nullptr, i == 1);
      EXPECT_EQ(queue.Count(), 0u);
      std::unique_ptr<Task> none;
      EXPECT_FALSE(queue.TryPop(&none, 0));
    }
    EXPECT_EQ(journal.destroyed.load(), 15);
    auto left = journal.New(2);
    ASSERT_TRUE(queue.Push(left, 0));
  }
  EXPECT_EQ(journal.destroyed.load(), 16);
}

TEST(CountingSemaphoreTest, WaitersWakeOnceABatchIsFreeOrTheCountIsFull) {
  CountingSemaphore slots(0, /*wake_batch=*/4, /*full=*/16);
  std::thread waiter([&] { EXPECT_TRUE(slots.Acquire(kInfiniteWait)); });
  slots.Release(), slots.Release();
  EXPECT_TRUE(slots.Acquire(0));                // a unit is free: no wait for a newcomer
  for (int i = 0; i < 3; ++i) slots.Release();  // four free now: the waiter must wake
  waiter.join();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(slots.Acquire(0));
  EXPECT_FALSE(slots.Acquire(0));
  EXPECT_FALSE(slots.Acquire(20));

  CountingSemaphore small(0, /*wake_batch=*/8, /*full=*/2);
  std::thread small_waiter([&] { EXPECT_TRUE(small.Acquire(kInfiniteWait)); });
  small.Release(), small.Release();  // the queue is empty: whatever the batch, wake
  small_waiter.join();
}

TEST(ByteBudgetTest, HoldsAtMostTheLimitExceptOneOversizedRequest) {
  ByteBudget budget(100);
  ASSERT_TRUE(budget.Acquire(60, 0) && budget.Acquire(40, 0));
  EXPECT_FALSE(budget.Acquire(1, 0));  // full: the time limit runs out
  EXPECT_EQ(budget.held(), 100u);
  // A waiter gets its room as soon as enough is released.
  std::thread releaser([&] { budget.Release(60); });
  EXPECT_TRUE(budget.Acquire(50, 10000));
  releaser.join();
  EXPECT_EQ(budget.held(), 90u);
  budget.Release(90);
  EXPECT_TRUE(budget.Acquire(500, 0));  // larger than the whole budget, alone
  EXPECT_FALSE(budget.Acquire(1, 0));
}

}  // namespace
}  // namespace brelvane
