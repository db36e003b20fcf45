// SPDX-License-Identifier: MIT
#include "p2p/upload_pool.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "base/file_log.h"
#include "platform/thread.h"

namespace brelvane {

// ---------------------------------------------------------------------------
// UploadJobList

bool UploadJobList::Push(const UploadJob& job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (jobs_.size() >= kMaxJobs) return false;
    jobs_.push_back(job);
  }
  cv_.notify_one();
  return true;
}

std::optional<UploadJob> UploadJobList::Pop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (jobs_.empty()) return std::nullopt;
  UploadJob job = jobs_.front();
  jobs_.pop_front();
  return job;
}

void UploadJobList::WaitForWork(uint32_t timeout_ms, const std::atomic<bool>* stop) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
               [&] { return !jobs_.empty() || (stop != nullptr && stop->load()); });
}

void UploadJobList::WakeAll() {
  // Taking the lock orders this after a waiter's look at its stop flag.
  { std::lock_guard<std::mutex> lock(mu_); }
  cv_.notify_all();
}

size_t UploadJobList::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return jobs_.size();
}

void UploadJobList::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  jobs_.clear();
}

// ---------------------------------------------------------------------------
// UploadPool

UploadPool::UploadPool(UploadJobList& jobs, UserTable& upload_table, FileSystem& file_system,
                       IPeerLink& link, IHeaderSource& headers)
    : jobs_(jobs),
      upload_table_(upload_table),
      file_system_(file_system),
      link_(link),
      headers_(headers) {}

UploadPool::~UploadPool() { StopAll(); }

void UploadPool::Resize(int32_t count) {
  std::lock_guard<std::mutex> lock(pool_mu_);
  const size_t wanted = static_cast<size_t>(std::clamp(count, 0, kMaxWorkers));
  if (wanted < workers_.size()) {
    for (size_t i = wanted; i < workers_.size(); ++i) workers_[i]->stop.store(true);
    jobs_.WakeAll();
    for (size_t i = wanted; i < workers_.size(); ++i) {
      if (workers_[i]->thread.joinable()) workers_[i]->thread.join();
    }
    workers_.resize(wanted);
    return;
  }
  while (workers_.size() < wanted) {
    auto worker = std::make_unique<Worker>();
    try {
      worker->thread = std::thread(&UploadPool::Run, this, worker.get());
    } catch (const std::system_error&) {
      Log1("Upload thread could not be started");
      return;
    }
    workers_.push_back(std::move(worker));
  }
}

int32_t UploadPool::WorkerCount() const {
  std::lock_guard<std::mutex> lock(pool_mu_);
  return static_cast<int32_t>(workers_.size());
}

void UploadPool::Run(Worker* worker) {
  platform::SetCurrentThreadName("Upload");
  try {
    // Allocated by the first job: a run without uploads keeps no buffers.
    std::vector<uint8_t> buffer;
    while (!worker->stop.load()) {
      std::optional<UploadJob> job = jobs_.Pop();
      if (!job) {
        jobs_.WaitForWork(kWaitMs, &worker->stop);
        continue;
      }
      Serve(*job, buffer, worker->stop);
    }
  } catch (const std::exception& e) {
    Log0("Upload thread ended by an exception: %s", e.what());
  }
}

void UploadPool::Serve(const UploadJob& job, std::vector<uint8_t>& buffer,
                       const std::atomic<bool>& stop) {
  const std::optional<UserRecord> user = upload_table_.Get(job.user_id);
  if (!user || user->state != UserState::kWaitForUpload) return;

  // The local part decides what is sent; the job only names it.
  const wire::PartDescriptor& asked = job.part;
  File* file = file_system_.GetFile(asked.file_id);
  const PartBuffer* local = file != nullptr ? file->GetPart(asked.part_id) : nullptr;
  if (local == nullptr || !file_system_.IsPartVerified(asked.file_id, asked.part_id) ||
      local->Length() > wire::kMaxDataLength - 16) {
    const std::vector<uint8_t> answer =
        wire::BuildRespond(headers_.NextHeader(), kRespondNotHeld, asked);
    (void)link_.SendToPeer(user->address, answer.data(), answer.size(), false, nullptr);
    upload_table_.SetState(job.user_id, UserState::kBeforeUpload);
    return;
  }
  const wire::PartDescriptor part{asked.file_id, asked.part_id,
                                  static_cast<uint32_t>(local->Offset()), local->Length()};

  upload_table_.SetState(job.user_id, UserState::kUploading);
  const auto head = wire::BuildDataHead(headers_.NextHeader(), part);
  // Without its head the body would be garbage on the stream: stop there.
  const bool head_sent =
      link_.SendToPeer(user->address, head.data(), head.size(), false, &stop) ==
      static_cast<int64_t>(head.size());
  if (head_sent && part.length > 0) {
    if (buffer.size() < part.length) buffer.resize(part.length);
    if (file_system_.ReadFile(part.file_id, buffer.data(), part.length, local->Offset())) {
      SendBody(*user, part, buffer.data(), stop);
    } else {
      Log1("Read file error. UID: %d.%d, Start: %d, Length: %d", static_cast<int>(part.file_id),
           static_cast<int>(part.part_id), static_cast<int>(part.start),
           static_cast<int>(part.length));
    }
  }
  upload_table_.SetState(job.user_id, UserState::kBeforeUpload);
}

bool UploadPool::SendBody(const UserRecord& user, const wire::PartDescriptor& part,
                          const uint8_t* data, const std::atomic<bool>& stop) {
  uint32_t remaining = part.length;
  uint32_t sent_so_far = 0;
  int retries = 0;
  while (remaining > 0 && !stop.load()) {
    const uint32_t chunk = std::min(remaining, kChunkBytes);
    const int64_t sent = link_.SendToPeer(user.address, data + sent_so_far, chunk, true, &stop);
    if (sent >= 0) {
      Log5("Send to %d, Start: %d, Length: %d, UID: %d.%d, rb: %d, bl: %d", user.id,
           static_cast<int>(part.start + sent_so_far), static_cast<int>(sent),
           static_cast<int>(part.file_id), static_cast<int>(part.part_id),
           static_cast<int>(chunk), static_cast<int>(remaining));
    }
    if (sent > 0) {
      const auto n = static_cast<uint32_t>(std::min<int64_t>(sent, chunk));
      remaining -= n;
      sent_so_far += n;
      retries = 0;
    } else if ((sent == 0 || sent == kSendTimedOut) && retries < kSendRetries) {
      ++retries;  // nothing went out: the same bytes again
    } else {
      return false;
    }
  }
  return remaining == 0;
}

}  // namespace brelvane
