// SPDX-License-Identifier: MIT
// RequestQueue: the bounded queue between the HTTP control thread (which
// turns runs of missing parts into requests) and the download threads (which
// run them).  A ring of capacity + 1 slots with one lock for producers and
// one for consumers, and two counting semaphores: free slots (starting at the
// capacity; producers wait on it) and queued items (starting at 0; consumers
// wait on it).
//
// Ownership: a queued request owns its sink (a heap HttpSink, or null).
// Taking a request out (Pop, TryPop) hands the sink to the taker; destroying
// the queue deletes the sinks still queued.  A request with an empty url is a
// signal to the download thread that takes it to end.
//
// Thread safety: every operation may be called from any number of threads
// at once.  Count() may be one operation old.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "http/http_types.h"
#include "storage/task_queue.h"

namespace brelvane {

class RequestQueue {
 public:
  // REQUIRES: capacity >= 1.
  explicit RequestQueue(uint32_t capacity);
  // Deletes the sinks of the requests still queued.
  ~RequestQueue();
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  // Waits without limit for a free slot, then queues the request.
  void Push(const HttpRequest& request);
  // Waits without limit for a request and takes it.
  HttpRequest Pop();
  // Waits up to `timeout_ms` (0: not at all; kInfiniteWait: no limit) for a
  // free slot.  False, queueing nothing (the sink stays the caller's), when
  // none came.
  [[nodiscard]] bool TryPush(const HttpRequest& request, uint32_t timeout_ms);
  // Waits up to `timeout_ms` for a request.  False, leaving `*out` alone,
  // when none came.
  [[nodiscard]] bool TryPop(HttpRequest* out, uint32_t timeout_ms);

  // Requests queued: (write - read) modulo the ring size.
  uint32_t Count() const;
  uint32_t Capacity() const { return static_cast<uint32_t>(ring_.size() - 1); }

 private:
  void Put(const HttpRequest& request);
  HttpRequest Take();

  std::mutex write_mu_;
  std::mutex read_mu_;
  CountingSemaphore free_slots_;
  CountingSemaphore items_{0};
  std::atomic<uint32_t> write_index_{0};  // written under write_mu_
  std::atomic<uint32_t> read_index_{0};   // written under read_mu_
  // A slot is filled under write_mu_ before "items" is released and emptied
  // under read_mu_ after it was acquired; the semaphores order the two.
  std::vector<HttpRequest> ring_;
};

}  // namespace brelvane
