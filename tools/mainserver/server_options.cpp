// SPDX-License-Identifier: MIT
#include "tools/mainserver/server_options.h"

#include <charconv>
#include <cstdint>
#include <string_view>

#ifndef BRELVANE_VERSION
#define BRELVANE_VERSION "0.0"
#endif

namespace brelvane::mainserver {
namespace {

bool ParseNumber(std::string_view text, uint32_t low, uint32_t high, uint32_t* out) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return false;
  *out = value;
  return true;
}

bool ParseListen(const std::string& text, platform::InetAddress* out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  uint32_t ip = 0;
  uint32_t port = 0;
  if (!platform::ParseIpv4(text.substr(0, colon), &ip)) return false;
  if (!ParseNumber(std::string_view(text).substr(colon + 1), 0, 65535, &port)) return false;
  *out = platform::InetAddress{ip, static_cast<uint16_t>(port)};
  return true;
}

}  // namespace

ParseResult ParseServerOptions(int argc, const char* const* argv, ServerOptions* options,
                               std::string* error) {
  bool have_listen = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ParseResult::kHelp;
    if (arg == "--version") return ParseResult::kVersion;
    std::string value;
    bool inline_value = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inline_value = true;
    }
    const bool known = arg == "--listen" || arg == "--stats-file" || arg == "--max-swarms" ||
                       arg == "--max-members" || arg == "--rate-limit";
    if (!known) {
      *error = "unknown option '" + arg + "'";
      return ParseResult::kError;
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        *error = "option '" + arg + "' needs a value";
        return ParseResult::kError;
      }
      value = argv[++i];
    }
    bool ok = true;
    if (arg == "--listen") {
      ok = ParseListen(value, &options->listen);
      have_listen = ok;
    } else if (arg == "--stats-file") {
      ok = !value.empty();
      options->stats_file = value;
    } else if (arg == "--max-swarms") {
      ok = ParseNumber(value, 1, 1u << 24, &options->limits.max_swarms);
    } else if (arg == "--max-members") {
      ok = ParseNumber(value, 1, 1u << 24, &options->limits.max_members);
    } else {
      ok = ParseNumber(value, 0, 1u << 30, &options->limits.rate_limit);
    }
    if (!ok) {
      *error = "bad value '" + value + "' for " + arg;
      return ParseResult::kError;
    }
  }
  if (!have_listen) {
    *error = "--listen ADDR:PORT is required";
    return ParseResult::kError;
  }
  return ParseResult::kRun;
}

std::string UsageText() {
  const ServerLimits defaults;
  return "Usage: brelvane-mainserver --listen ADDR:PORT [options]\n"
         "\n"
         "The main server of the Brelvane peer network: logs updaters in, one swarm\n"
         "per release, hands out peer lists, relays connect-back requests and\n"
         "records the end-of-run statistics.\n"
         "\n"
         "  --listen ADDR:PORT   UDP address to serve (dotted IPv4; 0.0.0.0 for all)\n"
         "  --stats-file PATH    append one JSON line per statistics message\n"
         "  --max-swarms N       swarms at once (default " +
         std::to_string(defaults.max_swarms) +
         ")\n"
         "  --max-members N      members per swarm (default " +
         std::to_string(defaults.max_members) +
         ")\n"
         "  --rate-limit N       datagrams per second per source address\n"
         "                       (default " +
         std::to_string(defaults.rate_limit) +
         "; 0: no limit)\n"
         "  --help               this text\n"
         "  --version            the version\n"
         "\n"
         "A summary line goes to standard error every minute.  SIGTERM or SIGINT\n"
         "stops the server in order.\n"
         "\n"
         "Exit status: 0 stopped in order, 1 could not start, 2 wrong usage.\n";
}

std::string VersionText() { return std::string("brelvane-mainserver ") + BRELVANE_VERSION + "\n"; }

}  // namespace brelvane::mainserver
