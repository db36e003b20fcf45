// SPDX-License-Identifier: MIT
#include "base/console_log.h"

#include <iostream>

#include "platform/charset.h"
#include "platform/console.h"

namespace brelvane {

namespace {
constexpr const char* kLevelNames[] = {"Interactive", "Maintance", "Critical", "Error",
                                       "Warning",     "Info",      "Debug"};
}  // namespace

const char* ConsoleLevelName(ConsoleLevel level) {
  const int i = static_cast<int>(level);
  return (i >= 0 && i <= 6) ? kLevelNames[i] : "Debug";
}

struct ConsoleLog::Converter {
  platform::Utf8ToGbk to_gbk;
};

ConsoleLog& ConsoleLog::Get() {
  // Never destroyed: threads still printing while static destructors run
  // must find a live writer.
  static ConsoleLog* log = new ConsoleLog();
  return *log;
}

ConsoleLog::ConsoleLog()
    : out_(&std::cout), status_out_(&std::cerr), converter_(std::make_unique<Converter>()) {}
ConsoleLog::~ConsoleLog() = default;

ConsoleLog::Record::Record(ConsoleLog& log, ConsoleLevel level)
    : log_(log), level_(level), lock_(log.mu_) {}

ConsoleLog::Record::~Record() {
  if (Passes()) log_.Emit(level_);
  log_.buffer_.str(std::string());
  log_.buffer_.clear();
}

bool ConsoleLog::Record::Passes() const {
  return static_cast<int>(level_) <= log_.threshold();
}

template <typename T>
ConsoleLog::Record& ConsoleLog::Record::Append(const T& v) {
  if (Passes()) log_.buffer_ << v;
  return *this;
}

ConsoleLog::Record& ConsoleLog::Record::operator<<(std::string_view text) { return Append(text); }
ConsoleLog::Record& ConsoleLog::Record::operator<<(int32_t v) { return Append(v); }
ConsoleLog::Record& ConsoleLog::Record::operator<<(uint32_t v) { return Append(v); }
ConsoleLog::Record& ConsoleLog::Record::operator<<(uint16_t v) { return Append(v); }
ConsoleLog::Record& ConsoleLog::Record::operator<<(int64_t v) { return Append(v); }
ConsoleLog::Record& ConsoleLog::Record::operator<<(float v) { return Append(v); }

void ConsoleLog::Emit(ConsoleLevel level) {
  std::string line = "[";
  line += ConsoleLevelName(level);
  line += "]";
  line += buffer_.str();
  line += "\n";
  if (charset_ == ConsoleCharset::Gbk) line = converter_->to_gbk.Convert(line);
  EraseStatusLocked();
  out_->write(line.data(), static_cast<std::streamsize>(line.size()));
  out_->flush();
  if (!status_.empty()) {
    status_out_->write(status_.data(), static_cast<std::streamsize>(status_.size()));
    status_out_->flush();
  }
}

void ConsoleLog::EraseStatusLocked() {
  if (status_.empty()) return;
  *status_out_ << "\r\033[K";
  status_out_->flush();
}

void ConsoleLog::SetStatusLine(std::string_view text) {
  std::lock_guard<std::mutex> lock(mu_);
  EraseStatusLocked();
  status_.assign(text);
  if (status_.empty()) return;
  status_out_->write(status_.data(), static_cast<std::streamsize>(status_.size()));
  status_out_->flush();
}

void ConsoleLog::SetStatusOutput(std::ostream* out) {
  std::lock_guard<std::mutex> lock(mu_);
  status_out_ = out ? out : &std::cerr;
}

void ConsoleLog::Print(ConsoleLevel level, std::string_view text) { Begin(level) << text; }

void ConsoleLog::set_charset(ConsoleCharset charset) {
  std::lock_guard<std::mutex> lock(mu_);
  charset_ = charset;
}

ConsoleCharset ConsoleLog::charset() const {
  std::lock_guard<std::mutex> lock(const_cast<std::mutex&>(mu_));
  return charset_;
}

void ConsoleLog::SetOutput(std::ostream* out) {
  std::lock_guard<std::mutex> lock(mu_);
  out_ = out ? out : &std::cout;
}

void ConsoleLog::SetTitle(std::string_view title) {
  std::lock_guard<std::mutex> lock(mu_);
  if (out_ != &std::cout) return;  // redirected (tests): no terminal to title
  std::cout.flush();
  platform::SetConsoleTitle(title);
}

}  // namespace brelvane
