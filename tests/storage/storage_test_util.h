// SPDX-License-Identifier: MIT
// Helpers shared by the storage tests: a scratch directory removed at the end
// of each test, whole-file read/write shortcuts, an in-memory disk, and
// recorders for what writes and the worker report.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
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

// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed);

// A file entry for `content` cut into parts of `part_size` bytes, with the
// digests a file list would carry.
FileEntry MakeEntry(uint32_t id, const std::string& name, const std::vector<uint8_t>& content,
                    uint32_t part_size);

// An in-memory IFile whose writes can be made to fail (a full or broken disk).
// Its File calls it under the file's lock; a test reads it while the storage
// worker is idle.
class MemoryFile : public IFile {
 public:
  bool Write(const void* data, uint32_t length, uint64_t offset) override;
  bool Read(void* buffer, uint32_t length, uint64_t offset) override;
  uint64_t GetSize() override { return bytes.size(); }
  bool SetSize(uint64_t size) override { return bytes.resize(size), true; }
  bool Sync() override { return ++syncs, true; }

  std::vector<uint8_t> bytes;
  std::atomic<bool> refuse_writes{false};
  std::atomic<int> writes{0};
  std::atomic<int> syncs{0};
};

// Counts what write observers were told; New() hands out one that reports here.
struct ObserverLog {
  std::atomic<int> verified{0}, nothing{0}, destroyed{0};  // calls of each kind
  IWriteObserver* New();
  // "<verified> verified, <nothing> nothing, <destroyed> destroyed".
  std::string Tally() const;
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
