// SPDX-License-Identifier: MIT
// TaskQueue: the storage worker's bounded queue.  A ring of capacity + 1 task
// slots with one lock per end and two counting semaphores: "items" counts
// queued tasks (the worker waits on it), "free slots" counts room (posters wait
// on it, for a bounded time, which is how a slow disk pushes back on
// downloaders).  A null task is a valid entry: it only wakes the worker.
//
// Thread safety: Push may be called from any number of threads at once, Pop
// and TryPop from any number of threads; Count from anywhere (the value may be
// one operation old).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "storage/task.h"

namespace brelvane {

// Wait without a time limit.
inline constexpr uint32_t kInfiniteWait = 0xFFFFFFFF;

// A counting semaphore with millisecond time-outs (kInfiniteWait waits for ever).
// With a wake batch above 1, threads already waiting are woken only once that
// many units are free (or when the count reaches `full`): a producer faster
// than its consumer then sleeps and wakes once per batch instead of once per
// unit.  A thread that arrives while units are free never waits.
class CountingSemaphore {
 public:
  explicit CountingSemaphore(uint32_t initial, uint32_t wake_batch = 1, uint32_t full = 0)
      : count_(initial), wake_batch_(wake_batch == 0 ? 1 : wake_batch), full_(full) {}
  // Takes one unit; false when none came within `timeout_ms`.
  [[nodiscard]] bool Acquire(uint32_t timeout_ms);
  void Release();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint32_t count_;        // guarded by mu_
  uint32_t waiters_ = 0;  // guarded by mu_
  const uint32_t wake_batch_;
  const uint32_t full_;
};

class TaskQueue {
 public:
  // REQUIRES: capacity >= 1.
  explicit TaskQueue(uint32_t capacity);
  // Destroys, unrun, every task still queued.
  ~TaskQueue();
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Waits up to `timeout_ms` for a free slot.  On success the queue owns the
  // task and `task` is null; on failure `task` is left as it was.
  [[nodiscard]] bool Push(std::unique_ptr<Task>& task, uint32_t timeout_ms);
  // Waits without limit for a task (possibly a null wake-up).
  std::unique_ptr<Task> Pop();
  // Like Pop, with a time-out; false when nothing came.
  [[nodiscard]] bool TryPop(std::unique_ptr<Task>* out, uint32_t timeout_ms);

  // Number of queued entries.
  uint32_t Count() const;
  uint32_t capacity() const { return static_cast<uint32_t>(ring_.size() - 1); }

 private:
  std::unique_ptr<Task> TakeAtReadIndex();

  std::mutex read_mu_;
  std::mutex write_mu_;
  CountingSemaphore items_{0};
  CountingSemaphore free_slots_;
  std::atomic<uint32_t> read_index_{0};   // written under read_mu_
  std::atomic<uint32_t> write_index_{0};  // written under write_mu_
  // A slot is written under write_mu_ before "items" is released and read
  // under read_mu_ after it was acquired; the semaphore orders the two.
  std::vector<Task*> ring_;
};

}  // namespace brelvane
