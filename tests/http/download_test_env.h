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
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/seed_model.h"
#include "base/download_meter.h"

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
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

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
  FaultMirror(const std::string& root, const std::string& options = "");
  ~FaultMirror();
  FaultMirror(const FaultMirror&) = delete;
  FaultMirror& operator=(const FaultMirror&) = delete;

  bool ok() const { return port_ != 0; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path = "") const;

 private:
  FILE* process_ = nullptr;
  int port_ = 0;
};

// An IDownloadMeter that only counts.
class CountingMeter : public IDownloadMeter {
 public:
  void Charge(uint64_t bytes, TrafficSource source, const std::atomic<bool>* stop) override;
  uint64_t http_bytes() const { return http_bytes_.load(); }
  uint64_t p2p_bytes() const { return p2p_bytes_.load(); }
  int calls_with_stop_flag() const { return with_stop_.load(); }

 private:
  std::atomic<uint64_t> http_bytes_{0};
  std::atomic<uint64_t> p2p_bytes_{0};
  std::atomic<int> with_stop_{0};
};

// Waits up to `timeout_ms` for `condition` to hold (checked every few ms).
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 20000);

// A port on 127.0.0.1 where nothing listens (connections are refused).
uint16_t RefusingPort();

}  // namespace brelvane::test
