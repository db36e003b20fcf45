// SPDX-License-Identifier: MIT
// Process entry of the updater.
#include <cstdlib>

#include "app/application.h"
#include "base/console_log.h"
#include "base/file_log.h"
#include "platform/charset.h"
#include "platform/clock.h"
#include "platform/crash.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {

constexpr const char* kCrashLongForm =
    "非常遗憾的通知您，程序内部发生了不可挽回的错误。\n幸运的是这个错误已经被记录到\n\t%s%s\n"
    "文件里。\n非常希望你能将此文件，连同以下的错误代码，\nEmail "
    "给技术人员，让我们可以重现您碰到的问题，着手解决。\n\nException Code: %X, at address %p";
constexpr const char* kCrashShortForm = "Exception Code: %X, at address %p";

void SetCrashMessagesFor(brelvane::ConsoleCharset charset) {
  if (charset == brelvane::ConsoleCharset::Utf8) {
    brelvane::platform::SetCrashMessages(kCrashLongForm, kCrashShortForm);
  } else {
    brelvane::platform::Utf8ToGbk gbk;
    brelvane::platform::SetCrashMessages(gbk.Convert(kCrashLongForm), kCrashShortForm);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace brelvane;
  platform::LimitAllocatorArenas();
  platform::InstallCrashHandler(kCrashLongForm, kCrashShortForm);
  SetCrashMessagesFor(ConsoleCharset::Gbk);
  std::srand(platform::CurrentThreadId() * platform::Tick32());

  {
    Application app;
    if (!app.Initialise(argc, argv)) {
      FileLog::Close();
      platform::UninstallCrashHandler();
      return 0;
    }
    SetCrashMessagesFor(ConsoleLog::Get().charset());
    app.LaunchThreads();
    app.RunCommandLoop(platform::StdinStream());
    app.StopSequence();
    FileLog::Close();
    platform::UninstallCrashHandler();
  }
  return 0;
}
