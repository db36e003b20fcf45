// SPDX-License-Identifier: MIT
#include "http/request_queue.h"

#include <utility>

namespace brelvane {

RequestQueue::RequestQueue(uint32_t capacity)
    : free_slots_(capacity), ring_(static_cast<size_t>(capacity) + 1) {}

RequestQueue::~RequestQueue() {
  HttpRequest request;
  while (TryPop(&request, 0)) delete request.sink;
}

void RequestQueue::Put(const HttpRequest& request) {
  {
    std::lock_guard<std::mutex> lock(write_mu_);
    const uint32_t w = write_index_.load(std::memory_order_relaxed);
    ring_[w] = request;
    write_index_.store(static_cast<uint32_t>((w + 1) % ring_.size()), std::memory_order_relaxed);
  }
  items_.Release();
}

HttpRequest RequestQueue::Take() {
  HttpRequest request;
  {
    std::lock_guard<std::mutex> lock(read_mu_);
    const uint32_t r = read_index_.load(std::memory_order_relaxed);
    request = std::move(ring_[r]);
    ring_[r] = HttpRequest();
    read_index_.store(static_cast<uint32_t>((r + 1) % ring_.size()), std::memory_order_relaxed);
  }
  free_slots_.Release();
  return request;
}

void RequestQueue::Push(const HttpRequest& request) {
  (void)free_slots_.Acquire(kInfiniteWait);
  Put(request);
}

HttpRequest RequestQueue::Pop() {
  (void)items_.Acquire(kInfiniteWait);
  return Take();
}

bool RequestQueue::TryPush(const HttpRequest& request, uint32_t timeout_ms) {
  if (!free_slots_.Acquire(timeout_ms)) return false;
  Put(request);
  return true;
}

bool RequestQueue::TryPop(HttpRequest* out, uint32_t timeout_ms) {
  if (!items_.Acquire(timeout_ms)) return false;
  *out = Take();
  return true;
}

uint32_t RequestQueue::Count() const {
  const uint32_t size = static_cast<uint32_t>(ring_.size());
  const uint32_t w = write_index_.load(std::memory_order_relaxed);
  const uint32_t r = read_index_.load(std::memory_order_relaxed);
  return (w + size - r) % size;
}

}  // namespace brelvane
