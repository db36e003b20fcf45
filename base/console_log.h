// SPDX-License-Identifier: MIT
// ConsoleLog: the process-wide console writer.  Every user-visible message
// and every answer to the launcher is one record, printed as one line
// "[" + level name + "]" + text on standard output.
//
// A record is composed piece by piece:
//
//   ConsoleLog::Get().Begin(ConsoleLevel::Info) << "text " << 42;
//
// The Record object holds the writer's lock from Begin until it is destroyed,
// so records of different threads never mix.  Each piece is appended only
// when the record's level is at or below the threshold in force at that
// moment; the line is emitted only when the level passes the threshold at
// the end.  Numbers use the default formatting of an output string stream
// (floats as %g with six significant digits).
//
// Texts are kept as UTF-8 in the source and converted to GBK on output unless
// the charset is switched to UTF-8.
//
// A status line (the progress line a person sees at a terminal) may sit on
// standard error below the records.  Every record first erases it
// ("\r\033[K") and draws it again after the record's line, all under the
// writer's lock, so a record and the status line never share a line on
// screen.  Nothing is written to standard error while no status line is set.
//
// Thread safety: all operations may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

namespace brelvane {

enum class ConsoleLevel : int {
  Interactive = 0,
  Maintance = 1,
  Critical = 2,
  Error = 3,
  Warning = 4,
  Info = 5,
  Debug = 6,
};

// The name printed in a record's prefix ("Interactive", "Maintance", ...).
const char* ConsoleLevelName(ConsoleLevel level);

enum class ConsoleCharset { Gbk, Utf8 };

class ConsoleLog {
 public:
  class Record {
   public:
    ~Record();  // ends the record: emits the line when the level passes
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    Record& operator<<(std::string_view text);
    Record& operator<<(const char* text) { return *this << std::string_view(text); }
    Record& operator<<(const std::string& text) { return *this << std::string_view(text); }
    Record& operator<<(int32_t v);
    Record& operator<<(uint32_t v);
    Record& operator<<(uint16_t v);
    Record& operator<<(int64_t v);
    Record& operator<<(float v);

   private:
    friend class ConsoleLog;
    Record(ConsoleLog& log, ConsoleLevel level);
    bool Passes() const;
    template <typename T>
    Record& Append(const T& v);

    ConsoleLog& log_;
    ConsoleLevel level_;
    std::unique_lock<std::mutex> lock_;
  };

  // The one instance of the process.
  static ConsoleLog& Get();

  // Starts a record at `level`; the record ends when the returned object
  // goes out of scope.  Do not start a second record on the same thread
  // while one is open (the lock is not recursive).
  [[nodiscard]] Record Begin(ConsoleLevel level) { return Record(*this, level); }

  // One whole record holding `text`.
  void Print(ConsoleLevel level, std::string_view text);

  // An answer line: name "=" value, at level Interactive.
  template <typename T>
  void Answer(std::string_view name, const T& value) {
    Begin(ConsoleLevel::Interactive) << name << "=" << value;
  }

  // Records whose level is above the threshold are not printed.  Initial 5.
  int threshold() const { return threshold_.load(std::memory_order_relaxed); }
  void set_threshold(int level) { threshold_.store(level, std::memory_order_relaxed); }

  void set_charset(ConsoleCharset charset);
  ConsoleCharset charset() const;

  // Sends every record to `out` instead of standard output (tests); nullptr
  // restores standard output.  `out` must outlive its use here.
  void SetOutput(std::ostream* out);

  // Sets the console title, under the writer's lock so that it never lands
  // in the middle of a record.
  void SetTitle(std::string_view title);

  // Draws `text` (one line, no line feed, already in the console's charset)
  // as the status line, replacing the previous one.  An empty text erases
  // the status line and keeps it away.
  void SetStatusLine(std::string_view text);

  // Sends the status line to `out` instead of standard error (tests);
  // nullptr restores standard error.  `out` must outlive its use here.
  void SetStatusOutput(std::ostream* out);

 private:
  ConsoleLog();
  ~ConsoleLog();
  void Emit(ConsoleLevel level);
  // Erases the status line, if one is shown.  REQUIRES: mu_ held.
  void EraseStatusLocked();

  std::mutex mu_;
  std::atomic<int> threshold_{5};
  // Guarded by mu_:
  std::ostringstream buffer_;
  std::ostream* out_;
  ConsoleCharset charset_ = ConsoleCharset::Gbk;
  std::ostream* status_out_;
  std::string status_;  // empty: no status line
  struct Converter;
  std::unique_ptr<Converter> converter_;
};

}  // namespace brelvane
