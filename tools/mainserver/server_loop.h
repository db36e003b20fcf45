// SPDX-License-Identifier: MIT
// The running server: one UDP socket, one thread.  RunMainServer receives
// datagrams and hands them to a MainServerCore, sends its replies on the same
// socket, appends statistics lines to the statistics file, drops silent
// members once a second, prints a summary line on standard error every
// minute, and returns when platform::StopRequested() turns true (within a
// quarter of a second), after a last summary and with the statistics file
// flushed to the device.
//
// Thread safety: RunMainServer runs on the calling thread; StatsFile is used
// by one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_io.h"
#include "tools/mainserver/server_options.h"

namespace brelvane::mainserver {

// An append-only text file of lines.  Each line is written at the file's
// current end, read again before every write, so a log rotation that
// truncates the file in place ("copytruncate") is followed.
class StatsFile {
 public:
  StatsFile() = default;
  ~StatsFile() { (void)Close(); }
  StatsFile(const StatsFile&) = delete;
  StatsFile& operator=(const StatsFile&) = delete;

  // Opens (creating when missing) `path` for appending.
  [[nodiscard]] platform::OsError Open(const std::string& path);
  // Appends `line` and a line end.
  [[nodiscard]] platform::OsError Append(std::string_view line);
  // Flushes the data to the device and closes; harmless when closed.
  [[nodiscard]] platform::OsError Close();

 private:
  platform::NativeFile file_ = platform::kInvalidFile;
};

// Serves until a stop is requested.  Returns the process exit code.
int RunMainServer(const ServerOptions& options);

// The summary line (no line end): swarms, members, datagrams per second over
// `seconds`, then the drop and re-login counts.
std::string SummaryLine(const MainServerCore& core, uint64_t datagrams, double seconds);

}  // namespace brelvane::mainserver
