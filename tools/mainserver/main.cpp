// SPDX-License-Identifier: MIT
// Entry point of brelvane-mainserver: options, stop signals, the server loop.
#include <cstdio>
#include <string>

#include "platform/process.h"
#include "tools/mainserver/server_loop.h"
#include "tools/mainserver/server_options.h"

int main(int argc, char** argv) {
  using namespace brelvane::mainserver;
  ServerOptions options;
  std::string error;
  switch (ParseServerOptions(argc, argv, &options, &error)) {
    case ParseResult::kHelp:
      std::fputs(UsageText().c_str(), stdout);
      return kExitOk;
    case ParseResult::kVersion:
      std::fputs(VersionText().c_str(), stdout);
      return kExitOk;
    case ParseResult::kError:
      std::fprintf(stderr, "brelvane-mainserver: %s\nTry 'brelvane-mainserver --help'.\n",
                   error.c_str());
      return kExitUsage;
    case ParseResult::kRun:
      break;
  }
  brelvane::platform::InstallStopSignals(brelvane::platform::InterruptAction::kStop);
  return RunMainServer(options);
}
