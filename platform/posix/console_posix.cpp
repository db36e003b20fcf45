// SPDX-License-Identifier: MIT
#include "platform/console.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace brelvane::platform {

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

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
