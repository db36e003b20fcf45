// SPDX-License-Identifier: MIT
// The process's console: whether the standard streams are terminals, the
// charset the user's locale asks for, the terminal's width and the window
// title.  These answers decide how the program talks to a person at a
// terminal; a launcher reading pipes always gets the plain records.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <string_view>

namespace brelvane::platform {

// True when standard output is an interactive terminal.
bool StdoutIsTerminal();
// True when standard error is an interactive terminal.
bool StderrIsTerminal();

// True when the locale of the environment (LC_ALL, LC_CTYPE, LANG) names the
// UTF-8 charset.  The process's own locale is left as it was.
bool LocaleIsUtf8();

// Columns of the terminal on standard error; 0 when unknown.
int StderrColumns();

// Shows `title` as the terminal title.  Only when standard output is a
// terminal: a launcher reading a pipe must see nothing but records.
void SetConsoleTitle(std::string_view title);

}  // namespace brelvane::platform
