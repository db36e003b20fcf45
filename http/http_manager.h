// SPDX-License-Identifier: MIT
// HttpManager: downloads missing parts from HTTP mirrors alongside the
// peer-to-peer transfer.
//
// One control thread picks a mirror (the least used, HttpMirrorTable) and
// then, until everything is written, takes runs of up to ten consecutive free
// parts of one file from the storage registry (AllocateRun), turns each run
// into one ranged GET whose blocks are exactly one part each, and queues it
// (RequestQueue).  A pool of download threads (HttpDownloader), each with its
// own HttpClient, runs the queued requests; every block goes to the
// registry's CommitWrite through the request's HttpBlockSink, so HTTP and
// peers share work only through the registry's block states.
//
// The control thread sleeps only when it cannot allocate (1000 ms) or when
// the file's writes are backlogged (5000 ms); both sleeps are waits on the
// engine's HTTP work event, which failed requests signal, so released parts
// are picked up again at once.  Every 60 s it flushes all files.  When every
// file is written it cancels the downloads and ends.  All requests of one
// control thread go to the one mirror it picked; Restart picks again.
//
// A download thread whose request failed waits a moment (failure_pause_ms)
// before it takes the next one.  A refused connection fails at once, and
// the control thread re-queues released parts at once, so without the pause
// a dead mirror would be asked again and again as fast as the threads can
// go.
//
// Lifecycle: built idle (queue of 16, no threads).  Restart(n) cancels
// everything and starts n download threads plus the control thread (none for
// n == 0, and the control thread ends at once without mirrors).  CancelAll
// stops every transfer: running ones fail at once, queued requests are
// dropped and their runs released.  Destruction cancels and joins.
//
// Thread safety: Restart, CancelAll and the accessors may be called from any
// thread, also concurrently with the control thread cancelling on its own.
// The file system, mirror table, work event and meter must outlive the
// manager.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "http/http_block_sink.h"
#include "http/http_client.h"
#include "http/request_queue.h"

namespace brelvane {

class AutoResetEvent;
class FileSystem;
class HttpManager;
class HttpMirrorTable;
class IDownloadMeter;

// One download thread with its own client.
class HttpDownloader {
 public:
  // After a failed request the thread waits `failure_pause_ms` (or until
  // stopped) before it takes the next.
  explicit HttpDownloader(uint32_t failure_pause_ms) : failure_pause_ms_(failure_pause_ms) {}
  // Stops and joins the thread.
  ~HttpDownloader();
  HttpDownloader(const HttpDownloader&) = delete;
  HttpDownloader& operator=(const HttpDownloader&) = delete;

  // Starts the thread on `queue` (which must outlive it).  False when the
  // thread cannot be created.
  [[nodiscard]] bool Start(RequestQueue* queue);
  // Sets the stop flag and cancels the client: a running transfer fails at
  // once, and so does one about to start.
  void Stop();
  // Waits for the thread to end.
  void Join();

 private:
  void Run(RequestQueue* queue);
  void PauseAfterFailure();

  const uint32_t failure_pause_ms_;
  std::atomic<bool> stop_{false};
  std::mutex pause_mu_;
  std::condition_variable pause_cv_;
  HttpClient client_;
  std::thread thread_;
};

class HttpManager {
 public:
  static constexpr uint32_t kInitialQueueCapacity = 16;
  // More download threads than this are not started (a count from the
  // console or the command line could otherwise ask for millions).
  static constexpr uint32_t kMaxThreads = 256;

  struct Options {
    // Waits of the control thread when nothing can be allocated, and when
    // the file's writes are backlogged.
    uint32_t idle_wait_ms = 1000;
    uint32_t backlog_wait_ms = 5000;
    // Interval of the periodic FlushAll.
    uint32_t flush_interval_ms = 60000;
    // A download thread's pause after a failed request.
    uint32_t failure_pause_ms = 1000;
  };

  // `meter` may be null (no download limit).
  HttpManager(FileSystem& file_system, HttpMirrorTable& mirrors, AutoResetEvent& work_event,
              IDownloadMeter* meter);
  HttpManager(FileSystem& file_system, HttpMirrorTable& mirrors, AutoResetEvent& work_event,
              IDownloadMeter* meter, const Options& options);
  // Cancels everything and joins every thread.
  ~HttpManager();
  HttpManager(const HttpManager&) = delete;
  HttpManager& operator=(const HttpManager&) = delete;

  // Stops everything, makes a queue of 2 * threads + 1 and starts `threads`
  // (at most kMaxThreads) download threads and (threads > 0) the control
  // thread.
  void Restart(uint32_t threads);
  // Stops every transfer and empties the queue (the control thread ends on
  // its next cycle).
  void CancelAll();

  // Bytes of HTTP data the storage engine verified.
  uint64_t VerifiedBytes() const { return verified_->Get(); }

  uint32_t QueueCapacity() const;
  uint32_t QueueCount() const;
  size_t ThreadCount() const;
  bool ControlRunning() const;
  // Waits up to `timeout_ms` for the control thread to have ended (true) or
  // not to have been started.
  [[nodiscard]] bool WaitControlEnded(uint32_t timeout_ms) const;

 private:
  void ControlProc(RequestQueue* queue, HttpSinkContext context);
  // The body of CancelAll.  REQUIRES: lifecycle_mu_ held.
  void CancelAllLocked();
  // CancelAll from the control thread itself.  Gives way (doing nothing) to
  // a Restart or CancelAll already under way, which will cancel anyway and
  // may be waiting for this thread to end.
  void CancelFromControlThread();
  // Queues the request, waiting for room while the manager is not stopped.
  // False (the sink stays the caller's) when it stopped first.
  bool PushUnlessStopped(RequestQueue* queue, const HttpRequest& request);
  // Waits on the work event; the wait ends early on a signal.
  void Wait(uint32_t ms);
  void SetControlRunning(bool running);
  void JoinControl();

  FileSystem& file_system_;
  HttpMirrorTable& mirrors_;
  AutoResetEvent& work_event_;
  IDownloadMeter* meter_;
  const Options options_;
  const std::shared_ptr<VerifiedByteCounter> verified_;

  std::atomic<bool> stop_{true};

  // Guards the downloaders, the queue pointer and the control thread handle
  // (Restart, CancelAll, destruction).
  mutable std::mutex lifecycle_mu_;
  std::vector<std::unique_ptr<HttpDownloader>> downloaders_;  // guarded by lifecycle_mu_
  std::unique_ptr<RequestQueue> queue_;                        // guarded by lifecycle_mu_
  std::thread control_;                                        // guarded by lifecycle_mu_

  mutable std::mutex control_mu_;
  mutable std::condition_variable control_cv_;
  bool control_running_ = false;  // guarded by control_mu_
};

}  // namespace brelvane
