// SPDX-License-Identifier: MIT
#include "storage/task.h"

#include <atomic>
#include <map>

#include "storage/buffer_pool.h"
#include "storage/file.h"
#include "storage/file_system.h"

namespace brelvane {
namespace {

// Only the storage workers write it; atomic because several file systems
// (tests) may run workers at once.
std::atomic<uint32_t> g_last_resume_write{0};

// Seconds that must pass between two resume writes (strictly more).
constexpr uint32_t kResumeWriteInterval = 15;

}  // namespace

uint32_t LastResumeWrite() { return g_last_resume_write.load(std::memory_order_relaxed); }

void SetLastResumeWrite(uint32_t seconds) {
  g_last_resume_write.store(seconds, std::memory_order_relaxed);
}

TaskWriteBlock::TaskWriteBlock(File* file, uint64_t offset, uint32_t length,
                               std::unique_ptr<uint8_t[]> data, IWriteObserver* observer,
                               bool checked_part)
    : offset_(offset),
      length_(length),
      data_(std::move(data)),
      file_(file),
      observer_(observer),
      checked_part_(checked_part) {}

TaskWriteBlock::~TaskWriteBlock() {
  if (budget_ != nullptr) budget_->Release(length_);
  if (observer_ != nullptr) {
    observer_->OnNothingVerified();
    observer_->Destroy();
  }
}

void TaskWriteBlock::Run(FileSystem* context) {
  const uint64_t verified_before = file_->VerifiedBytes();
  const uint32_t parts_before = file_->WrittenCount();
  const uint64_t bytes_before = file_->WrittenBytes();
  if (checked_part_ && file_->PartSize() > 0) {
    file_->StoreVerifiedPart(static_cast<uint32_t>(offset_ / file_->PartSize()), std::move(data_));
  } else {
    file_->WriteData(data_.get(), length_, offset_);
    BufferPool::Give(std::move(data_), length_);  // the bytes are in the part buffers now
  }
  const uint64_t verified_after = file_->VerifiedBytes();
  if (observer_ != nullptr && verified_after != verified_before) {
    observer_->OnVerifiedBytes(static_cast<uint32_t>(verified_after - verified_before));
    observer_->Destroy();
    observer_ = nullptr;
  }
  if (context != nullptr) context->AfterFileWork(file_, parts_before, bytes_before);
}

void TaskFlush::Run(FileSystem* context) {
  if (file_ == nullptr) return;
  const uint32_t parts_before = file_->WrittenCount();
  const uint64_t bytes_before = file_->WrittenBytes();
  file_->WritePending();
  if (context != nullptr) context->AfterFileWork(file_, parts_before, bytes_before);
}

void TaskFlushAll::Run(FileSystem* context) {
  std::map<uint32_t, RangeSet32> unwritten;
  file_system_->CollectUnwritten(&unwritten);
  for (const auto& [id, parts] : unwritten) TaskFlush(file_system_->GetFile(id)).Run(context);
}

void TaskWriteDownloadInfo::Run(FileSystem* context) {
  if (context == nullptr) return;
  const uint32_t now = context->NowSeconds();
  if (!(now - LastResumeWrite() > kResumeWriteInterval || context->AllWritten())) return;
  if (context->WriteResumeFile(path_)) SetLastResumeWrite(now);
}

}  // namespace brelvane
