// SPDX-License-Identifier: MIT
// Child processes for tests and tools: start a program, kill it, wait for it.
//
// Thread safety: the functions keep no state; a process id is waited for by
// one thread only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_io.h"

namespace brelvane::platform {

using ProcessId = int64_t;

// Starts `argv[0]` (a path) with `argv`, the current environment plus
// `extra_env` (name, value).  Stores the child's id in `*out`.
[[nodiscard]] OsError SpawnProcess(const std::vector<std::string>& argv,
                                   const std::vector<std::pair<std::string, std::string>>& extra_env,
                                   ProcessId* out);
// Ends the child at once, without letting it clean up (SIGKILL on POSIX).
OsError KillProcess(ProcessId pid);
// Asks the child to end in order (SIGTERM on POSIX).
OsError StopProcess(ProcessId pid);
// Waits for the child to end.  `*exit_code` is its exit status, or -1 when it
// was killed by a signal.
[[nodiscard]] OsError WaitProcess(ProcessId pid, int* exit_code);

// The path of the running executable; empty when unknown.
std::string CurrentExecutablePath();

}  // namespace brelvane::platform
