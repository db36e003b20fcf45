// SPDX-License-Identifier: MIT
// The diagnostic file log.
//
// A LogObject writes formatted records to one file, one line per record:
//   2026-12-05 16:40:01.123 [tid 4242] L3 Starting TCPServer
// The process-wide FileLog owns the main object ("p2p.log", or
// "p2p-<id>.log" with an instance id); other owners (the user registry's
// "user.log") create their own through CreateLogObject.
//
// Levels: 0 failures that abandon an operation, 1 errors, 2 recoverable
// trouble, 3 milestones, 4 per-request tracing, 5 per-block tracing.  A
// record above the threshold (default 3) is dropped before any formatting.
//
// Thread safety: Log0..Log5 and LogObject::Write may be called from any
// thread at any time.  FileLog::Open and Close run on the main thread while no
// other thread writes.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace brelvane {

#define BRELVANE_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

class LogObject {
 public:
  ~LogObject();
  LogObject(const LogObject&) = delete;
  LogObject& operator=(const LogObject&) = delete;

  void WriteV(int level, const char* format, va_list args);
  void Write(int level, const char* format, ...) BRELVANE_PRINTF(3, 4);

 private:
  friend std::unique_ptr<LogObject> CreateLogObject(const std::string& file_name, int mode);
  explicit LogObject(std::FILE* file) : file_(file) {}

  std::mutex mu_;
  std::FILE* file_;  // guarded by mu_
};

// Opens (appending) `file_name` in the working directory.  Returns null when
// the file cannot be opened; the caller then simply logs nothing.  `mode` is
// kept for the interface and must be 0.
std::unique_ptr<LogObject> CreateLogObject(const std::string& file_name, int mode);

class FileLog {
 public:
  // Opens "p2p.log", or "p2p-<id>.log" when `instance_id` is non-empty.  An
  // id whose file name would not fit in 255 characters is cut so that it does.
  static void Open(const std::string& instance_id);
  static void Close();

  // The file name Open uses for `instance_id`.
  static std::string FileNameFor(const std::string& instance_id);

  // Records with a level above the threshold are dropped.  Default 3.
  static void set_threshold(int level) { threshold_.store(level, std::memory_order_relaxed); }
  static int threshold() { return threshold_.load(std::memory_order_relaxed); }
  static bool Enabled(int level) { return level <= threshold(); }

  // Writes one record to the main log object, when there is one.
  static void WriteV(int level, const char* format, va_list args);

 private:
  static std::atomic<int> threshold_;
};

void Log0(const char* format, ...) BRELVANE_PRINTF(1, 2);
void Log1(const char* format, ...) BRELVANE_PRINTF(1, 2);
void Log2(const char* format, ...) BRELVANE_PRINTF(1, 2);
void Log3(const char* format, ...) BRELVANE_PRINTF(1, 2);
void Log4(const char* format, ...) BRELVANE_PRINTF(1, 2);
void Log5(const char* format, ...) BRELVANE_PRINTF(1, 2);

}  // namespace brelvane
