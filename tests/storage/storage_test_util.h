// SPDX-License-Identifier: MIT
// Helpers shared by the storage tests: a scratch directory removed at the end
// of each test, whole-file read/write shortcuts, an in-memory disk, and
// recorders for what files, writes and the worker report.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/seed_model.h"
#include "catalogue/temp_dir.h"
#include "storage/mmf_io.h"
#include "storage/runner.h"
#include "storage/task.h"
#include "storage/uid.h"

namespace brelvane::testing {

// The whole content of a file; empty when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string& path);
// Replaces the file's content.
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The file's length, or -1 when it does not exist.
int64_t FileLength(const std::string& path);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed);

// A file entry for `content` cut into parts of `part_size` bytes, with the
// digests a file list would carry.
FileEntry MakeEntry(uint32_t id, const std::string& name, const std::vector<uint8_t>& content,
                    uint32_t part_size);

// An in-memory IFile whose writes can be made to fail (a full or broken disk).
class MemoryFile : public IFile {
 public:
  std::unique_ptr<IIO> Clone() const override { return std::make_unique<MemoryFile>(); }
  bool Write(const void* data, uint32_t length, uint64_t offset) override;
  bool Read(void* buffer, uint32_t length, uint64_t offset) override;
  uint64_t GetSize() override;
  bool SetSize(uint64_t size) override;
  bool Sync() override;

  void set_refuse_writes(bool refuse);
  std::vector<uint8_t> bytes();
  int writes();
  int syncs();

 private:
  std::mutex mu_;
  std::vector<uint8_t> bytes_;
  bool refuse_writes_ = false;
  int writes_ = 0;
  int syncs_ = 0;
};

// Records what a File reports about its parts.
class RecordingListener : public IBlockStateListener {
 public:
  void OnPartVerified(const UID& uid) override;
  void OnPartReset(const UID& uid) override;
  std::vector<UID> verified();
  std::vector<UID> reset();

 private:
  std::mutex mu_;
  std::vector<UID> verified_;
  std::vector<UID> reset_;
};

// Counts what write observers were told; New() hands out one that reports here.
struct ObserverLog {
  std::atomic<uint32_t> verified_bytes{0};
  std::atomic<int> verified_calls{0};
  std::atomic<int> nothing_calls{0};
  std::atomic<int> destroyed{0};
  IWriteObserver* New();
};

// Holds the storage worker inside a task until Open(), so that the test
// decides what the queue holds.  Open() must be called before the runner stops.
class Gate {
 public:
  // Posts the holding task and returns once the worker is inside it.
  [[nodiscard]] bool Hold(Runner& runner);
  void Open() { open_.set_value(); }

 private:
  std::promise<void> entered_;
  std::promise<void> open_;
};

}  // namespace brelvane::testing
