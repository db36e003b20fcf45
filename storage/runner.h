// SPDX-License-Identifier: MIT
// Runner: the storage worker.  One thread takes tasks from a bounded TaskQueue
// one at a time, in the order they were posted, runs them with the file system
// as context and destroys them.  Posting into a full queue waits for a bounded
// time and then fails, which the file system reports to the downloader as
// "busy".
//
// Life: not started (no queue) -> Start -> running -> Stop -> stopped; a
// stopped runner can be started again.  Stop lets the task in hand finish,
// then destroys the queued tasks unrun (their observers hear OnNothingVerified).
//
// Thread safety: Post and PendingCount may be called from any thread at any
// time, also while another thread stops the runner (a post then fails, or its
// task is destroyed unrun).  Start and Stop are called by the one thread that
// controls the storage engine, never from inside a task.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "storage/task.h"
#include "storage/task_queue.h"

namespace brelvane {

class Runner {
 public:
  Runner() = default;
  ~Runner() { Stop(); }
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Creates the queue with room for `capacity` tasks and starts the worker.
  // False, logging "Runner already started", when it runs already; false,
  // logging "Runner start failed", when the thread cannot be created.
  [[nodiscard]] bool Start(uint32_t capacity, FileSystem* context);

  // Queues `task`, waiting up to `timeout_ms` (kInfiniteWait: no limit) for
  // room.  On success the runner owns the task and `task` is null; on failure
  // (not started, or no room in time) `task` is left to the caller.
  [[nodiscard]] bool Post(std::unique_ptr<Task>& task, uint32_t timeout_ms);

  // Stops the worker after its current task and destroys the queued tasks
  // unrun.  Does nothing when not started.
  void Stop();

  // Number of queued tasks; 0 when not started.
  uint32_t PendingCount() const;

  bool IsStarted() const;

  // True on the worker thread of this runner (for assertions).
  bool OnWorkerThread() const { return std::this_thread::get_id() == worker_id_.load(); }

 private:
  void WorkerLoop(std::shared_ptr<TaskQueue> queue);
  std::shared_ptr<TaskQueue> queue() const;

  // The queue is shared with posters that are inside Push, so that Stop can
  // detach it without pulling it from under them; it dies with its last user.
  mutable std::mutex mu_;
  std::shared_ptr<TaskQueue> queue_;  // guarded by mu_
  std::thread thread_;                // touched by Start and Stop only
  std::atomic<bool> stop_{true};
  std::atomic<FileSystem*> context_{nullptr};
  std::atomic<std::thread::id> worker_id_{};
};

}  // namespace brelvane
