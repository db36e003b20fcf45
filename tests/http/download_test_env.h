// SPDX-License-Identifier: MIT
// Helpers for the tests of seed retrieval and the HTTP download manager:
// a scratch directory, a file log captured into it, file entries with real
// digests, a recording download meter, and a bounded wait for conditions
// that other threads bring about.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/download_meter.h"
#include "base/file_log.h"
#include "catalogue/md5.h"
#include "catalogue/seed_model.h"

namespace brelvane::test {

// A fresh directory under the system's temporary directory, removed with
// its content at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device random;
    path_ = (std::filesystem::temp_directory_path() /
             ("brelvane-download-" + std::to_string(random()) + std::to_string(random()))).string() + "/";
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
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
  LogCapture() : old_directory_(std::filesystem::current_path()), old_threshold_(FileLog::threshold()) {
    std::filesystem::current_path(dir_.path());
    FileLog::Open("");
    FileLog::set_threshold(5);
  }
  ~LogCapture() {
    FileLog::Close();
    FileLog::set_threshold(old_threshold_);
    std::error_code ignored;
    std::filesystem::current_path(old_directory_, ignored);
  }

  // The messages logged so far (without time stamp and thread), as
  // "L<level> <text>".
  std::vector<std::string> Lines() const {
    std::ifstream in(dir_.File("p2p.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      // "2026-12-05 16:40:01.123 [tid 4242] L3 text": keep "L3 text".
      const size_t bracket = line.find("] ");
      lines.push_back(bracket == std::string::npos ? line : line.substr(bracket + 2));
    }
    return lines;
  }
  // How many messages contain `text`.
  int Count(const std::string& text) const {
    int count = 0;
    for (const std::string& line : Lines()) count += line.find(text) != std::string::npos;
    return count;
  }

 private:
  ScratchDir dir_;
  std::filesystem::path old_directory_;
  int old_threshold_;
};

// A file entry for `content` in parts of `size` bytes with the digests
// a file list carries.
inline FileEntry EntryFor(uint32_t id, const std::string& name, const std::string& content, uint32_t size) {
  FileEntry entry;
  entry.id = id;
  entry.name = name;
  entry.size = content.size();
  entry.md5 = Md5Buffer(content.data(), content.size());
  for (uint64_t start = 0, index = 0; start < content.size(); start += size, ++index) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(size, content.size() - start));
    entry.parts.push_back(
        PartEntry{static_cast<uint32_t>(index), length, start, Md5Buffer(content.data() + start, length)});
  }
  return entry;
}

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
inline bool Eventually(const std::function<bool()>& condition, int timeout_ms = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace brelvane::test
