// SPDX-License-Identifier: MIT
// What the updater does for a person who starts it by hand: the --help and
// --version requests, the console charset chosen from the situation, and the
// crash texts in that charset.
//
// The launcher contract is untouched: a launcher never passes --help or
// --version, and through a pipe the console stays GBK unless "-Charset"
// says otherwise.
//
// Thread safety: plain functions, called on the main thread at start-up.
#pragma once

#include <string>

#include "base/config.h"
#include "base/console_log.h"

namespace brelvane {

enum class TerminalRequest { kNone, kHelp, kVersion };

// kHelp when any argument is "--help", "-help", "-h" or "-?", kVersion when
// one is "--version" or "-version" (case-insensitive, like every key); the
// first such argument wins.
TerminalRequest FindTerminalRequest(int argc, const char* const* argv);

// The usage text (UTF-8): every key with its default, an example, where
// the logs go, the exit status.
std::string UsageText();
// "brelvane <version> (protocol version <n>)\n".
std::string VersionText();

// The console charset: what "-Charset" asked for when it was given with a
// known value; otherwise UTF-8 when `terminal` (for the records: standard
// output is a terminal; for the usage text: always) and the locale's
// charset is UTF-8, else GBK (the launcher's pipe).
ConsoleCharset ChooseConsoleCharset(const ArgumentTable& args, bool terminal);

// Puts the crash handler's messages in `charset`.
void SetCrashMessagesFor(ConsoleCharset charset);
// Installs the crash handler with the GBK messages.
void InstallCrashMessages();

}  // namespace brelvane
