// SPDX-License-Identifier: MIT
// Storage tasks: the units of work that network and HTTP threads hand to the
// storage worker (storage/runner.h).  Every change to stored data is a task, so
// that all writes happen on one thread in the order they were posted.
//
// Ownership: a task is created on the heap by its poster, owned by the queue
// once posted, and destroyed by the worker after it ran, or unrun when the
// runner stops.  A poster destroys a task it failed to post.
//
// Thread safety: a task is used by one thread at a time (its poster, then the
// worker).  LastResumeWrite is shared by all tasks and may be read anywhere.
#pragma once

#include <functional>

#include <cstdint>
#include <memory>
#include <string>

#include "storage/byte_budget.h"

namespace brelvane {

class File;
class FileSystem;

class Task {
 public:
  virtual ~Task() = default;
  // Runs on the storage worker; `context` is the file system that started
  // the runner (null in tests that run bare tasks).
  virtual void Run(FileSystem* context) = 0;
};

// Told what became of one posted block.  Supplied by the poster (an HTTP
// download or a peer connection), owned by the task from then on, and ended
// with Destroy.  Exactly one of OnVerifiedBytes / OnNothingVerified is called,
// always followed by Destroy.
class IWriteObserver {
 public:
  virtual ~IWriteObserver() = default;
  // The block completed parts; `count` is the increase of the file's verified
  // bytes.  Called on the storage worker.
  virtual void OnVerifiedBytes(uint32_t count) = 0;
  // The block verified nothing new, or was never run.  Called on the worker,
  // or on whichever thread destroyed the unrun task.
  virtual void OnNothingVerified() = 0;
  // Ends the observer's life (the observer decides how: delete itself, or
  // return to a pool).
  virtual void Destroy() = 0;
};

// One received block for one file.
class TaskWriteBlock : public Task {
 public:
  // Takes `data` (a heap array of at least `length` bytes) and `observer`
  // (may be null).  `file` must outlive the task.  With `checked_part` the
  // block is exactly one part of the file whose digest the poster has
  // already found good (FileSystem::CheckWholeParts), and it is stored
  // without hashing it again.
  TaskWriteBlock(File* file, uint64_t offset, uint32_t length, std::unique_ptr<uint8_t[]> data,
                 IWriteObserver* observer, bool checked_part = false);
  // The task gives `length` bytes back to `budget` when it is destroyed
  // (run or not).  Set once, before the task is posted.
  void set_budget(ByteBudget* budget) { budget_ = budget; }
  // Frees the data; an observer still held hears OnNothingVerified, then Destroy.
  ~TaskWriteBlock() override;
  TaskWriteBlock(const TaskWriteBlock&) = delete;
  TaskWriteBlock& operator=(const TaskWriteBlock&) = delete;

  // Writes the block into the file, tells the observer of verified bytes,
  // updates the context's written counters.
  void Run(FileSystem* context) override;

 private:
  uint64_t offset_;
  uint32_t length_;
  std::unique_ptr<uint8_t[]> data_;
  File* file_;
  IWriteObserver* observer_;
  bool checked_part_;
  ByteBudget* budget_ = nullptr;
};

// Writes the pending verified parts of one file (nothing when `file` is null).
class TaskFlush : public Task {
 public:
  explicit TaskFlush(File* file) : file_(file) {}
  void Run(FileSystem* context) override;

 private:
  File* file_;
};

// Flushes every file that has parts not yet on disk.
class TaskFlushAll : public Task {
 public:
  explicit TaskFlushAll(FileSystem* file_system) : file_system_(file_system) {}
  void Run(FileSystem* context) override;

 private:
  FileSystem* file_system_;
};

// Writes the resume file at `path` when more than 15 seconds passed since the
// last resume write of the process, or when every part is on disk.
class TaskWriteDownloadInfo : public Task {
 public:
  explicit TaskWriteDownloadInfo(std::string path) : path_(std::move(path)) {}
  void Run(FileSystem* context) override;

 private:
  std::string path_;
};

// Two tasks run back to back as one queue entry.  Both must be non-null.
class TaskDouble : public Task {
 public:
  TaskDouble(std::unique_ptr<Task> first, std::unique_ptr<Task> second)
      : first_(std::move(first)), second_(std::move(second)) {}
  void Run(FileSystem* context) override {
    first_->Run(context);
    second_->Run(context);
  }

 private:
  std::unique_ptr<Task> first_;
  std::unique_ptr<Task> second_;
};

// Runs a function on the worker, in queue order: whatever was posted before
// it has run when it runs.  A task destroyed unrun (the runner stopped) runs
// its function on the destroying thread when `run_if_dropped`, so that a
// release or a wake-up is never lost.
class TaskCall : public Task {
 public:
  TaskCall(std::function<void()> fn, bool run_if_dropped)
      : fn_(std::move(fn)), run_if_dropped_(run_if_dropped) {}
  ~TaskCall() override {
    if (fn_ && run_if_dropped_) fn_();
  }
  TaskCall(const TaskCall&) = delete;
  TaskCall& operator=(const TaskCall&) = delete;
  void Run(FileSystem*) override {
    auto fn = std::move(fn_);
    fn_ = nullptr;
    fn();
  }

 private:
  std::function<void()> fn_;
  bool run_if_dropped_;
};

// The calendar second of the last successful resume write, shared by every
// TaskWriteDownloadInfo of the process; 0 initially.
uint32_t LastResumeWrite();
// Sets it (the worker after a successful write; tests to start afresh).
void SetLastResumeWrite(uint32_t seconds);

}  // namespace brelvane
