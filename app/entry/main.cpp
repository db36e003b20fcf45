// SPDX-License-Identifier: MIT
// Process entry of the updater.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/application.h"
#include "app/terminal.h"
#include "base/console_log.h"
#include "base/file_log.h"
#include "platform/charset.h"
#include "platform/clock.h"
#include "platform/crash.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {

// The usage text in the charset a person at this terminal reads.
void PrintUsage(int argc, const char* const* argv) {
  using namespace brelvane;
  ArgumentTable args;
  args.Parse(argc, argv);
  std::string text = UsageText();
  if (ChooseConsoleCharset(args, /*terminal=*/true) == ConsoleCharset::Gbk)
    text = platform::Utf8ToGbk().Convert(text);
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace brelvane;
  switch (FindTerminalRequest(argc, argv)) {
    case TerminalRequest::kHelp:
      PrintUsage(argc, argv);
      return 0;
    case TerminalRequest::kVersion:
      std::fputs(VersionText().c_str(), stdout);
      return 0;
    case TerminalRequest::kNone:
      break;
  }
  platform::LimitAllocatorArenas();
  InstallCrashMessages();
  std::srand(platform::CurrentThreadId() * platform::Tick32());

  {
    Application app;
    if (!app.Initialise(argc, argv)) {
      FileLog::Close();
      platform::UninstallCrashHandler();
      return 0;
    }
    app.LaunchThreads();
    app.RunCommandLoop(platform::StdinStream());
    app.StopSequence();
    FileLog::Close();
    platform::UninstallCrashHandler();
  }
  return 0;
}
