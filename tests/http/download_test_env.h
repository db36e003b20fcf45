// SPDX-License-Identifier: MIT
// Helpers for the tests of seed retrieval and the HTTP download manager:
// a scratch directory, a file log captured into it, file entries with real
// digests, a recording download meter, and a bounded wait for conditions
// that other threads bring about.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/download_meter.h"
#include "catalogue/seed_model.h"

namespace brelvane::test {

// A fresh directory under the system's temporary directory, removed with
// its content at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // With a trailing "/".
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Captures the file log: opens "p2p.log" in a scratch directory (made the
// working directory meanwhile) at level 5, and restores everything at the end.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  // The messages logged so far (without time stamp and thread), as
  // "L<level> <text>".
  std::vector<std::string> Lines() const;
  // How many messages contain `text`.
  int Count(const std::string& text) const;

 private:
  ScratchDir dir_;
  std::string old_directory_;
  int old_threshold_;
};

// The whole file, or "" when it cannot be read.
std::string ReadFileBytes(const std::string& path);

// A file entry for `content` in parts of `part_size` bytes with the digests
// a file list carries.
FileEntry EntryFor(uint32_t id, const std::string& name, const std::string& content,
                   uint32_t part_size);

// An IDownloadMeter that only counts.
struct CountingMeter : IDownloadMeter {
  void Charge(uint64_t bytes, TrafficSource source, const std::atomic<bool>* stop) override {
    (source == TrafficSource::kHttp ? http_bytes : p2p_bytes) += bytes;
    if (stop != nullptr) ++calls_with_stop_flag;
  }
  std::atomic<uint64_t> http_bytes{0}, p2p_bytes{0};
  std::atomic<int> calls_with_stop_flag{0};
};

// Waits up to `timeout_ms` for `condition` to hold (checked every few ms).
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 20000);

}  // namespace brelvane::test
