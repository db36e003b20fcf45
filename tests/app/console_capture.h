// SPDX-License-Identifier: MIT
// Captures the console writer's records for the application and report tests.
#pragma once

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/console_log.h"

namespace brelvane::testing {

// Captures every console record as UTF-8 lines, from the threshold 5 up;
// restores the default output and threshold when it goes.  The console
// writer may write on one thread while the test reads on another.
class ConsoleCapture : private std::streambuf {
 public:
  ConsoleCapture() {
    ConsoleLog::Get().SetOutput(&out_), ConsoleLog::Get().set_charset(ConsoleCharset::Utf8);
    ConsoleLog::Get().set_threshold(5);
  }
  ~ConsoleCapture() override { ConsoleLog::Get().SetOutput(nullptr), ConsoleLog::Get().set_threshold(5); }
  // What was written since the last Clear(), whole or as lines.
  std::string Text() {
    std::lock_guard<std::mutex> lock(mu_);
    return text_.substr(cleared_);
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    cleared_ = text_.size();
  }

 private:
  // The console writer hands over each record whole, with write().
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mu_);
    return text_.append(s, static_cast<size_t>(n)), n;
  }

  std::mutex mu_;
  std::string text_;
  size_t cleared_ = 0;
  std::ostream out_{this};
};

}  // namespace brelvane::testing
