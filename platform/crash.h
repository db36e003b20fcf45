// SPDX-License-Identifier: MIT
// Crash handling.  When a thread faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT) the handler writes a dump file next to the program, prints where
// it is on standard error, starts the error reporter "errorrpt" when one
// exists next to the program or on PATH, and lets the signal's default
// action end the process.
//
// The dump is named <program name without extension>-YYYYmmdd-HHMMSS-<d>.dmp
// where <d> is the first digit 0..9 whose name is free (9 is reused when all
// ten exist).  It holds the signal, the faulting address, the thread, a
// backtrace, the program's own frames with function names (and files and
// lines when the program has debug information) and the memory map of the
// process.  The names come from binutils' addr2line, found on PATH at
// install time and run in a child process after the backtrace is written;
// without it the dump says so and keeps the raw backtrace.
//
// Thread safety: Install/Uninstall run on the main thread while no other
// thread exists.  The handler itself runs on the faulting thread.
#pragma once

#include <ctime>
#include <functional>
#include <string>

namespace brelvane::platform {

// Installs the handler (once; a second call does nothing).  The messages are
// printf formats in the console's encoding: the long form takes the program
// directory, the dump file name, the code (%X) and the address (%p); the
// short form, used when no dump could be written, takes the code and the
// address.
void InstallCrashHandler(const std::string& long_form, const std::string& short_form);
// Replaces the message formats (after the console encoding is known).
void SetCrashMessages(const std::string& long_form, const std::string& short_form);
void UninstallCrashHandler();

// Pieces of the naming rule, exposed for tests.
// The directory of `program_path` including its trailing '/'.
std::string ProgramDirectory(const std::string& program_path);
// The file name of `program_path` without its last extension.
std::string DumpBaseName(const std::string& program_path);
// "-YYYYmmdd-HHMMSS-0.dmp" for the local time `t`.
std::string DumpTimeStamp(std::time_t t);
// The first free name base + stamp with the digit before ".dmp" set to
// 0..9, as judged by `exists` (a full path in `dir`); the 9 name when all
// ten exist.
std::string ChooseDumpName(const std::string& dir, const std::string& base,
                           const std::string& stamp,
                           const std::function<bool(const std::string&)>& exists);

}  // namespace brelvane::platform
