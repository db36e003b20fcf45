// SPDX-License-Identifier: MIT
#include "http/http_manager.h"

#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "base/file_log.h"
#include "base/auto_reset_event.h"
#include "http/http_mirror_table.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "storage/file_system.h"

namespace brelvane {
namespace {

// Slice of the control thread's wait for queue room between stop checks.
constexpr uint32_t kPushSliceMs = 100;

}  // namespace

// ---------------------------------------------------------------------------
// HttpDownloader

HttpDownloader::~HttpDownloader() {
  Stop();
  Join();
}

bool HttpDownloader::Start(RequestQueue* queue) {
  try {
    thread_ = std::thread([this, queue] { Run(queue); });
  } catch (const std::system_error&) {
    Log1("Http download thread could not be started");
    return false;
  }
  return true;
}

void HttpDownloader::Stop() {
  {
    std::lock_guard<std::mutex> lock(pause_mu_);
    stop_.store(true);
  }
  pause_cv_.notify_all();
  client_.Cancel();
}

void HttpDownloader::PauseAfterFailure() {
  std::unique_lock<std::mutex> lock(pause_mu_);
  pause_cv_.wait_for(lock, std::chrono::milliseconds(failure_pause_ms_),
                     [this] { return stop_.load(); });
}

void HttpDownloader::Join() {
  if (thread_.joinable()) thread_.join();
}

void HttpDownloader::Run(RequestQueue* queue) {
  platform::SetCurrentThreadName("HttpDownload");
  try {
    while (!stop_.load()) {
      Log4("-------Trace: HttpDownloadProc");
      HttpRequest request = queue->Pop();
      std::unique_ptr<HttpSink> sink(request.sink);
      if (request.url.empty()) break;
      if (!stop_.load()) {
        if (auto* block_sink = dynamic_cast<HttpBlockSink*>(sink.get())) {
          block_sink->set_stop_flag(&stop_);
        }
        // The sink logs and counts the result.
        if (client_.Get(request, true) < 0) PauseAfterFailure();
      }
    }
  } catch (const std::exception& e) {
    Log0("Http download thread ended by an exception: %s", e.what());
  }
}

// ---------------------------------------------------------------------------
// HttpManager

HttpManager::HttpManager(FileSystem& file_system, HttpMirrorTable& mirrors,
                         AutoResetEvent& work_event, IDownloadMeter* meter)
    : HttpManager(file_system, mirrors, work_event, meter, Options()) {}

HttpManager::HttpManager(FileSystem& file_system, HttpMirrorTable& mirrors,
                         AutoResetEvent& work_event, IDownloadMeter* meter,
                         const Options& options)
    : file_system_(file_system),
      mirrors_(mirrors),
      work_event_(work_event),
      meter_(meter),
      options_(options),
      verified_(std::make_shared<VerifiedByteCounter>()),
      queue_(std::make_unique<RequestQueue>(kInitialQueueCapacity)) {}

HttpManager::~HttpManager() {
  stop_.store(true);
  work_event_.Set();
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  CancelAllLocked();
  JoinControl();
  downloaders_.clear();
  queue_.reset();  // deletes the sinks of requests still queued
}

void HttpManager::CancelAll() {
  // Set before taking the lock: a control thread that wants to cancel on
  // its own sees it and gives way.
  stop_.store(true);
  work_event_.Set();
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  CancelAllLocked();
}

void HttpManager::CancelAllLocked() {
  // Every thread is told to stop before any is waited for: a thread not yet
  // stopped would go on taking queued requests and could empty the queue
  // and then wait in Pop for ever.  A stopped thread takes at most one more
  // request, and does not run it.
  for (auto& downloader : downloaders_) downloader->Stop();
  // Wake every download thread waiting for work: an empty request ends it.
  while (queue_->TryPush(HttpRequest(), 0)) {
  }
  for (auto& downloader : downloaders_) downloader->Join();
  stop_.store(true);
  work_event_.Set();
  HttpRequest request;
  while (queue_->TryPop(&request, 0)) delete request.sink;  // releases its run
}

void HttpManager::CancelFromControlThread() {
  std::unique_lock<std::mutex> lock(lifecycle_mu_, std::defer_lock);
  while (!lock.try_lock()) {
    // Whoever holds the lock to restart or cancel set the stop flag first.
    if (stop_.load()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  CancelAllLocked();
}

void HttpManager::JoinControl() {
  if (control_.joinable()) control_.join();
}

void HttpManager::Restart(uint32_t threads) {
  Log4("Http restart. %d threads", static_cast<int>(threads));
  if (threads > kMaxThreads) {
    Log2("Http thread count %u cut to %u", threads, kMaxThreads);
    threads = kMaxThreads;
  }
  stop_.store(true);
  work_event_.Set();
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  CancelAllLocked();
  downloaders_.clear();
  JoinControl();
  // The control thread may have queued one last request before it saw the
  // stop; the old queue deletes it with its sink.
  queue_ = std::make_unique<RequestQueue>(2 * threads + 1);
  for (uint32_t i = 0; i < threads; ++i) {
    auto downloader = std::make_unique<HttpDownloader>(options_.failure_pause_ms);
    if (!downloader->Start(queue_.get())) break;
    downloaders_.push_back(std::move(downloader));
  }
  if (threads == 0) return;
  stop_.store(false);
  HttpSinkContext context{&file_system_, &mirrors_, &work_event_, meter_, verified_};
  SetControlRunning(true);
  try {
    control_ = std::thread([this, queue = queue_.get(), context] { ControlProc(queue, context); });
  } catch (const std::system_error&) {
    Log1("Http control thread could not be started");
    SetControlRunning(false);
  }
}

void HttpManager::SetControlRunning(bool running) {
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    control_running_ = running;
  }
  control_cv_.notify_all();
}

bool HttpManager::ControlRunning() const {
  std::lock_guard<std::mutex> lock(control_mu_);
  return control_running_;
}

bool HttpManager::WaitControlEnded(uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(control_mu_);
  return control_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [this] { return !control_running_; });
}

uint32_t HttpManager::QueueCapacity() const {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  return queue_->Capacity();
}

uint32_t HttpManager::QueueCount() const {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  return queue_->Count();
}

size_t HttpManager::ThreadCount() const {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  return downloaders_.size();
}

void HttpManager::Wait(uint32_t ms) { (void)work_event_.Wait(ms); }

bool HttpManager::PushUnlessStopped(RequestQueue* queue, const HttpRequest& request) {
  while (!stop_.load()) {
    if (queue->TryPush(request, kPushSliceMs)) return true;
  }
  return false;
}

void HttpManager::ControlProc(RequestQueue* queue, HttpSinkContext context) {
  platform::SetCurrentThreadName("HttpControl");
  try {
    MirrorEntry mirror;
    if (!mirrors_.PickMirror(&mirror)) {
      SetControlRunning(false);
      return;
    }
    uint64_t last_flush = platform::TickMs();
    while (!stop_.load()) {
      if (platform::TickMs() - last_flush >= options_.flush_interval_ms) {
        Log4("Time flush");
        file_system_.FlushAll();
        last_flush = platform::TickMs();
      }
      if (file_system_.AllWritten()) {
        CancelFromControlThread();
        break;
      }
      Log4("-------Trace: HttpControlProc");
      UID uid = file_system_.AllocateRun();
      if (!uid.IsValid()) {
        if (queue->Count() > 0) {
          Log4("*** Invalid acquire ***");
        } else {
          Log4("-------Trace: HttpControlProc  Cancel All");
          file_system_.ReleaseAllRequests();
          uid = file_system_.AllocateRun();
        }
      }
      if (!uid.IsValid()) {
        Wait(options_.idle_wait_ms);
        continue;
      }
      File* file = file_system_.GetFile(uid.file_id);
      if (file == nullptr) {  // allocated parts always belong to a registered file
        file_system_.ReleaseUid(uid);
        Wait(options_.idle_wait_ms);
        continue;
      }
      if (file->IsBacklogged()) {
        file_system_.ReleaseUid(uid);
        file_system_.Flush(uid.file_id);
        Wait(options_.backlog_wait_ms);
        continue;
      }
      // 64-bit products: the same bounds as 32-bit ones for files up to
      // 4 GiB, and still right beyond.
      const uint64_t part_size = file->PartSize();
      HttpRequest request;
      request.url = mirror.url + "/" + file->Name();
      request.block_size = file->PartSize();
      request.range_start = part_size * uid.first_part;
      request.range_end = (uint64_t{uid.last_part} + 1) * part_size - 1;
      request.sink = new HttpBlockSink(context, uid, mirror.id);
      Log5("New request \"%s\" %d/%d", request.url.c_str(), static_cast<int>(queue->Count()),
           static_cast<int>(queue->Capacity()));
      if (!PushUnlessStopped(queue, request)) delete request.sink;  // releases the run
    }
  } catch (const std::exception& e) {
    Log0("Http control thread ended by an exception: %s", e.what());
  }
  SetControlRunning(false);
}

}  // namespace brelvane
