// SPDX-License-Identifier: MIT
#include "platform/console.h"

#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace brelvane::platform {

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool LocaleIsUtf8() {
  // setlocale changes process-wide state: one caller at a time, and the
  // previous LC_CTYPE is put back so that nothing else sees a change.
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string previous = current ? current : "C";
  bool utf8 = false;
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    const char* codeset = ::nl_langinfo(CODESET);
    utf8 = codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
  }
  std::setlocale(LC_CTYPE, previous.c_str());
  return utf8;
}

int StderrColumns() {
  struct winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) != 0) return 0;
  return ws.ws_col;
}

void SetConsoleTitle(std::string_view title) {
  if (!StdoutIsTerminal()) return;
  // OSC 0: set icon name and window title.  Control characters would end
  // the sequence early, so they are dropped.
  std::string seq = "\033]0;";
  for (char c : title)
    if (static_cast<unsigned char>(c) >= 0x20) seq.push_back(c);
  seq += "\007";
  std::fwrite(seq.data(), 1, seq.size(), stdout);
  std::fflush(stdout);
}

}  // namespace brelvane::platform
