// SPDX-License-Identifier: MIT
// The upload side of the block exchange: the list of accepted uploads and the
// worker threads that stream them.
//
// UploadJobList: a FIFO of UploadJobs, one per PPMessageStart received, with
// the upload work signal.  It outlives worker restarts and is cleared with
// the engine reset.  It holds at most kMaxJobs jobs: a peer repeating its
// start message cannot make it grow without bound.
//
// UploadPool: the resizable pool of upload workers.  Each worker, with its
// own stop flag and buffer, loops:
//   1. take the oldest job (or wait up to 1000 ms for one);
//   2. skip it unless its user is in the upload table in state 3;
//   3. if this side does not hold the part (the file list lacks it, or it is
//      not complete here): answer PPMessageRespond status 2, state 1;
//   4. state 4; send the 36-byte PPMessageData head unthrottled;
//   5. send the part's bytes throttled by the upload limiter, up to 128 KiB
//      at a time, logging "Send to ..." per send; a send that times out
//      before any byte went out is tried again, up to 3 times in a row;
//      any other failure, or the stop flag, ends the upload;
//   6. state 1.
// The part sent is always the local part: its start and length come from the
// local file list, whatever the peer wrote in its request and start message.
// A partly sent part is not resumed.
//
// Reads: the file system serves ranges that start at a part boundary, so a
// part is read whole into the worker's buffer (allocated by its first job and
// grown to the largest part served; a part never exceeds the data message's
// 4 MiB) and sent from there in 128 KiB pieces.
//
// Thread safety: UploadJobList operations may be called from any thread.
// UploadPool's Resize, StopAll and the destructor are serialised internally;
// a worker holds no lock while it reads or sends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "p2p/engine_links.h"
#include "p2p/net/links.h"
#include "p2p/user_table.h"
#include "p2p/wire/wire_format.h"
#include "storage/file_system.h"

namespace brelvane {

// PPMessageRespond statuses.
inline constexpr uint32_t kRespondAccepted = 0;
inline constexpr uint32_t kRespondRefused = 1;  // not idle, unknown, or the job list is full
inline constexpr uint32_t kRespondNotHeld = 2;  // this side cannot serve the part

// One accepted upload, as the start message named it.
struct UploadJob {
  int32_t user_id = 0;
  wire::PartDescriptor part;
};

class UploadJobList {
 public:
  static constexpr size_t kMaxJobs = 1024;

  // Appends the job and wakes one waiting worker.  False (nothing queued)
  // when the list already holds kMaxJobs jobs.
  [[nodiscard]] bool Push(const UploadJob& job);
  // The oldest job, removed; none when the list is empty.
  std::optional<UploadJob> Pop();
  // Waits up to `timeout_ms` until a job is queued or `*stop` (may be null)
  // is set; returns at once when either holds already.
  void WaitForWork(uint32_t timeout_ms, const std::atomic<bool>* stop);
  // Wakes every waiter to look at its stop flag (call after setting it).
  void WakeAll();
  size_t Size() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<UploadJob> jobs_;  // guarded by mu_
};

class UploadPool {
 public:
  static constexpr uint32_t kChunkBytes = 0x20000;  // 128 KiB
  static constexpr uint32_t kWaitMs = 1000;
  static constexpr int kSendRetries = 3;
  // The most workers a resize starts (the configured count is clamped).
  static constexpr int32_t kMaxWorkers = 64;

  // Every reference must outlive the pool.
  UploadPool(UploadJobList& jobs, UserTable& upload_table, FileSystem& file_system,
             IPeerLink& link, IHeaderSource& headers);
  // Stops and joins every worker.
  ~UploadPool();
  UploadPool(const UploadPool&) = delete;
  UploadPool& operator=(const UploadPool&) = delete;

  // Stops and joins the surplus workers (the newest first) or starts the
  // missing ones.  `count` is clamped to [0, kMaxWorkers].
  void Resize(int32_t count);
  void StopAll() { Resize(0); }
  int32_t WorkerCount() const;
  // Jobs waiting for a worker (the console title shows it).
  size_t PendingJobs() const { return jobs_.Size(); }

 private:
  struct Worker {
    std::atomic<bool> stop{false};
    std::thread thread;
  };

  void Run(Worker* worker);
  // Serves one job with `buffer` (grown when the part needs more room).
  void Serve(const UploadJob& job, std::vector<uint8_t>& buffer, const std::atomic<bool>& stop);
  // Streams the part's `length` bytes from `data`; false when the upload
  // gave up before the end.
  bool SendBody(const UserRecord& user, const wire::PartDescriptor& part, const uint8_t* data,
                const std::atomic<bool>& stop);

  UploadJobList& jobs_;
  UserTable& upload_table_;
  FileSystem& file_system_;
  IPeerLink& link_;
  IHeaderSource& headers_;

  mutable std::mutex pool_mu_;                    // serialises Resize
  std::vector<std::unique_ptr<Worker>> workers_;  // guarded by pool_mu_
};

}  // namespace brelvane
