// SPDX-License-Identifier: MIT
// Helpers for the tests of seed retrieval and the HTTP download manager:
// a scratch directory, a file log captured into it, file entries with real
// digests, the fault mirror as a child process, a recording download meter,
// and a bounded wait for conditions that other threads bring about.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
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

// Writes `bytes` to `path` (directories created).
void WriteFileBytes(const std::string& path, const std::string& bytes);
// The whole file, or "" when it cannot be read.
std::string ReadFileBytes(const std::string& path);

// A file entry for `content` in parts of `part_size` bytes with the digests
// a file list carries.
FileEntry EntryFor(uint32_t id, const std::string& name, const std::string& content,
                   uint32_t part_size);

// tests/tools/fault_mirror.py serving `root` on 127.0.0.1, with `options`
// added to its command line.  Ends when the object goes away.
class FaultMirror {
 public:
  explicit FaultMirror(const std::string& root, const std::string& options = "");
  ~FaultMirror();

  bool ok() const { return port_ != 0; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path = "") const;

 private:
  FILE* process_ = nullptr;
  int port_ = 0;
};

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
