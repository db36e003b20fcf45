// SPDX-License-Identifier: MIT
#include "base/file_log.h"

#include <ctime>

#include "platform/clock.h"
#include "platform/thread.h"

namespace brelvane {

std::atomic<int> FileLog::threshold_{3};

namespace {

// The main log object.  Written only by Open/Close (no other thread runs
// then); read by every writer.
std::atomic<LogObject*> g_main{nullptr};

}  // namespace

LogObject::~LogObject() {
  if (file_) std::fclose(file_);
}

void LogObject::WriteV(int level, const char* format, va_list args) {
  if (!FileLog::Enabled(level)) return;
  char text[2048];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(text, sizeof(text), format, copy);
  va_end(copy);
  std::string body;
  if (n < 0) {
    body = format;
  } else if (static_cast<size_t>(n) < sizeof(text)) {
    body.assign(text, static_cast<size_t>(n));
  } else {
    body.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(body.data(), body.size(), format, args);
    body.resize(static_cast<size_t>(n));
  }
  // One record is one line: embedded line feeds are kept readable.
  for (char& c : body)
    if (c == '\n' || c == '\r') c = ' ';

  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm_local;
  localtime_r(&ts.tv_sec, &tm_local);
  char stamp[40];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm_local);

  std::lock_guard<std::mutex> lock(mu_);
  if (!file_) return;
  std::fprintf(file_, "%s.%03ld [tid %u] L%d %s\n", stamp, ts.tv_nsec / 1000000L,
               platform::CurrentThreadId(), level, body.c_str());
  std::fflush(file_);
}

void LogObject::Write(int level, const char* format, ...) {
  if (!FileLog::Enabled(level)) return;
  va_list args;
  va_start(args, format);
  WriteV(level, format, args);
  va_end(args);
}

std::unique_ptr<LogObject> CreateLogObject(const std::string& file_name, int /*mode*/) {
  std::FILE* f = std::fopen(file_name.c_str(), "a");
  if (!f) return nullptr;
  return std::unique_ptr<LogObject>(new LogObject(f));
}

std::string FileLog::FileNameFor(const std::string& instance_id) {
  if (instance_id.empty()) return "p2p.log";
  // "p2p-" + id + ".log" must fit in 255 characters.
  constexpr size_t kMaxId = 255 - 8;
  return "p2p-" + instance_id.substr(0, kMaxId) + ".log";
}

void FileLog::Open(const std::string& instance_id) {
  Close();
  g_main.store(CreateLogObject(FileNameFor(instance_id), 0).release());
}

void FileLog::Close() { delete g_main.exchange(nullptr); }

void FileLog::WriteV(int level, const char* format, va_list args) {
  LogObject* log = g_main.load(std::memory_order_acquire);
  if (log) log->WriteV(level, format, args);
}

#define BRELVANE_DEFINE_LOG_ENTRY(name, level)  \
  void name(const char* format, ...) {          \
    if (!FileLog::Enabled(level)) return;       \
    va_list args;                               \
    va_start(args, format);                     \
    FileLog::WriteV(level, format, args);       \
    va_end(args);                               \
  }

BRELVANE_DEFINE_LOG_ENTRY(Log0, 0)
BRELVANE_DEFINE_LOG_ENTRY(Log1, 1)
BRELVANE_DEFINE_LOG_ENTRY(Log2, 2)
BRELVANE_DEFINE_LOG_ENTRY(Log3, 3)
BRELVANE_DEFINE_LOG_ENTRY(Log4, 4)
BRELVANE_DEFINE_LOG_ENTRY(Log5, 5)

#undef BRELVANE_DEFINE_LOG_ENTRY

}  // namespace brelvane
