// SPDX-License-Identifier: MIT
#include "storage/runner.h"

#include <system_error>

#include "base/file_log.h"
#include "platform/thread.h"

namespace brelvane {

std::shared_ptr<TaskQueue> Runner::queue() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_;
}

bool Runner::IsStarted() const { return queue() != nullptr; }

bool Runner::Start(uint32_t capacity, FileSystem* context) {
  Log3("Runner start. %d, %d", static_cast<int>(capacity),
       static_cast<int>(reinterpret_cast<uintptr_t>(context)));
  if (capacity == 0) capacity = 1;
  std::shared_ptr<TaskQueue> queue;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_ != nullptr) {
      Log1("Runner already started");
      return false;
    }
    queue = std::make_shared<TaskQueue>(capacity);
    queue_ = queue;
  }
  stop_.store(false);
  context_.store(context);
  try {
    thread_ = std::thread(&Runner::WorkerLoop, this, queue);
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.reset();
    stop_.store(true);
    Log1("Runner start failed");
    return false;
  }
  Log1("Runner start done");
  return true;
}

bool Runner::Post(std::unique_ptr<Task>& task, uint32_t timeout_ms) {
  std::shared_ptr<TaskQueue> q = queue();
  if (q == nullptr) return false;
  return q->Push(task, timeout_ms);
}

void Runner::WorkerLoop(std::shared_ptr<TaskQueue> queue) {
  platform::SetCurrentThreadName("storage");
  worker_id_.store(std::this_thread::get_id());
  while (!stop_.load()) {
    std::unique_ptr<Task> task = queue->Pop();
    if (task == nullptr) {
      Log3("Task 0.");
      continue;
    }
    task->Run(context_.load());
  }
  Log3("Runner stop. %d, %d", stop_.load() ? 1 : 0,
       static_cast<int>(reinterpret_cast<uintptr_t>(queue.get())));
  worker_id_.store(std::thread::id());
}

void Runner::Stop() {
  std::shared_ptr<TaskQueue> q = queue();
  if (q == nullptr) return;
  stop_.store(true);
  // Wake a worker blocked in Pop.  When the queue is full the worker is not
  // blocked, and it sees the flag after its current task.
  std::unique_ptr<Task> wake;
  (void)q->Push(wake, 0);
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.reset();
  }
  // Destroy what is still queued.  Draining also frees slots for posters
  // blocked in Push; what they queue now dies with the queue.
  std::unique_ptr<Task> task;
  while (q->TryPop(&task, 0)) task.reset();
}

uint32_t Runner::PendingCount() const {
  std::shared_ptr<TaskQueue> q = queue();
  return q == nullptr ? 0 : q->Count();
}

}  // namespace brelvane
