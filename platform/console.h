// SPDX-License-Identifier: MIT
// The process's console: whether standard output is a terminal, and the
// window title.
#pragma once

#include <string_view>

namespace brelvane::platform {

// True when standard output is an interactive terminal.
bool StdoutIsTerminal();

// Shows `title` as the terminal title.  Only when standard output is a
// terminal: a launcher reading a pipe must see nothing but records.
void SetConsoleTitle(std::string_view title);

}  // namespace brelvane::platform
