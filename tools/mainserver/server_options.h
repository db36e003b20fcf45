// SPDX-License-Identifier: MIT
// The command line of brelvane-mainserver, GNU style: long options, each
// value either as the next argument or after "=" ("--listen=0.0.0.0:5000").
//
//   --listen ADDR:PORT   UDP address to serve (required; ADDR dotted IPv4,
//                        0.0.0.0 for every interface)
//   --stats-file PATH    append one JSON line per statistics message
//   --max-swarms N       swarms at once (default 4096)
//   --max-members N      members per swarm (default 8192)
//   --rate-limit N       datagrams per second per source address
//                        (default 50; 0 turns the limit off)
//   --help, --version
//
// Exit codes: 0 after --help, --version or an orderly stop; 1 when the
// server cannot start (address in use, statistics file not writable); 2 for
// wrong usage.
//
// Thread safety: plain functions.
#pragma once

#include <string>

#include "platform/socket.h"
#include "tools/mainserver/main_server.h"

namespace brelvane::mainserver {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct ServerOptions {
  platform::InetAddress listen;
  std::string stats_file;  // empty: statistics messages are counted only
  ServerLimits limits;
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Reads argv[1..argc).  On kError, `error` says what was wrong.
ParseResult ParseServerOptions(int argc, const char* const* argv, ServerOptions* options,
                               std::string* error);

// The --help text.
std::string UsageText();
// The --version line.
std::string VersionText();

}  // namespace brelvane::mainserver
