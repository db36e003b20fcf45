// SPDX-License-Identifier: MIT
#include "storage/task_queue.h"

#include <algorithm>
#include <chrono>

namespace brelvane {

bool CountingSemaphore::Acquire(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (count_ == 0) {
    ++waiters_;
    bool got;
    if (timeout_ms == kInfiniteWait) {
      cv_.wait(lock, [this] { return count_ > 0; });
      got = true;
    } else {
      got = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return count_ > 0; });
    }
    --waiters_;
    if (!got) return false;
  }
  --count_;
  return true;
}

void CountingSemaphore::Release() {
  bool wake = false;
  bool wake_all = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
    if (waiters_ > 0) {
      wake_all = count_ >= wake_batch_ || count_ == full_;
      wake = wake_batch_ == 1 || wake_all;
    }
  }
  if (wake_all && wake_batch_ > 1) {
    cv_.notify_all();
  } else if (wake) {
    cv_.notify_one();
  }
}

TaskQueue::TaskQueue(uint32_t capacity)
    : free_slots_(capacity, std::max<uint32_t>(1, capacity / 8), capacity), ring_(static_cast<size_t>(capacity) + 1, nullptr) {}

TaskQueue::~TaskQueue() {
  for (Task* task : ring_) delete task;
}

bool TaskQueue::Push(std::unique_ptr<Task>& task, uint32_t timeout_ms) {
  if (!free_slots_.Acquire(timeout_ms)) return false;
  {
    std::lock_guard<std::mutex> lock(write_mu_);
    const uint32_t w = write_index_.load(std::memory_order_relaxed);
    ring_[w] = task.release();
    write_index_.store(static_cast<uint32_t>((w + 1) % ring_.size()), std::memory_order_relaxed);
  }
  items_.Release();
  return true;
}

std::unique_ptr<Task> TaskQueue::TakeAtReadIndex() {
  std::lock_guard<std::mutex> lock(read_mu_);
  const uint32_t r = read_index_.load(std::memory_order_relaxed);
  std::unique_ptr<Task> task(ring_[r]);
  ring_[r] = nullptr;
  read_index_.store(static_cast<uint32_t>((r + 1) % ring_.size()), std::memory_order_relaxed);
  return task;
}

std::unique_ptr<Task> TaskQueue::Pop() {
  (void)items_.Acquire(kInfiniteWait);  // cannot time out
  std::unique_ptr<Task> task = TakeAtReadIndex();
  free_slots_.Release();
  return task;
}

bool TaskQueue::TryPop(std::unique_ptr<Task>* out, uint32_t timeout_ms) {
  if (!items_.Acquire(timeout_ms)) return false;
  *out = TakeAtReadIndex();
  free_slots_.Release();
  return true;
}

uint32_t TaskQueue::Count() const {
  const auto size = static_cast<uint32_t>(ring_.size());
  const uint32_t w = write_index_.load(std::memory_order_relaxed);
  const uint32_t r = read_index_.load(std::memory_order_relaxed);
  return (size + w - r) % size;
}

}  // namespace brelvane
