// SPDX-License-Identifier: MIT
// The process seams, in child processes: the crash handler (dump naming, the
// dump itself, the message and the reporter hand-off) with a child that
// faults on purpose; the signal dispositions (interrupt ignored, termination
// ends the command stream as end of input does).
#include "platform/crash.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "catalogue/temp_dir.h"
#include "platform/process.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;

TEST(CrashNamingTest, NamesTheDumpAfterTheProgramTheTimeAndTheFirstFreeDigit) {
  EXPECT_EQ(platform::DumpBaseName("/opt/game/updater.v2.exe"), "updater.v2");
  EXPECT_EQ(platform::DumpBaseName("/opt/game/brelvane"), "brelvane");
  EXPECT_EQ(platform::DumpBaseName("brelvane.exe"), "brelvane");
  EXPECT_EQ(platform::ProgramDirectory("/opt/game/brelvane"), "/opt/game/");
  EXPECT_EQ(platform::ProgramDirectory("brelvane"), "./");
  const std::string stamp = platform::DumpTimeStamp(std::time(nullptr));
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(-20\d{6}-\d{6}-0\.dmp)"))) << stamp;
  std::set<std::string> taken;
  const auto choose = [&taken] {
    return platform::ChooseDumpName("/d/", "prog", "-20101231-235959-0.dmp",
                                    [&taken](const std::string& path) { return taken.count(path) != 0; });
  };
  for (char digit = '0'; digit <= '9'; ++digit) {
    EXPECT_EQ(choose(), std::string("prog-20101231-235959-") + digit + ".dmp");
    taken.insert("/d/" + choose());
  }
  EXPECT_EQ(choose(), "prog-20101231-235959-9.dmp");  // all taken: 9 again
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Dumps of this test binary, to find the new one and clean up.
std::set<fs::path> Dumps() {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  std::set<fs::path> out;
  for (const auto& e : fs::directory_iterator(self.parent_path()))
    if (e.path().filename().string().starts_with(self.filename().string() + "-")) out.insert(e);
  return out;
}

[[noreturn]] __attribute__((noinline)) void CrashWithReporterIn(const std::string& path_dir) {
  setenv("PATH", path_dir.c_str(), 1);
  platform::InstallCrashHandler("crashed; dump at %s%s; Exception Code: %X, at address %p",
                                "Exception Code: %X, at address %p");
  volatile int* null_pointer = nullptr;
  *null_pointer = 42;
  std::abort();  // not reached
}

TEST(CrashHandlerTest, FaultWritesDumpPrintsWhereAndStartsReporter) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizers own the fault signals";
#endif
  // Forked, not re-executed: the child must see the same temporary paths.
  GTEST_FLAG_SET(death_test_style, "fast");
  const testing::TempDir tmp;
  const std::string got = tmp.File("reporter_argument");
  std::ofstream(tmp.File("errorrpt")) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << got << "'\n";
  fs::permissions(tmp.File("errorrpt"), fs::perms::owner_all);
  const std::set<fs::path> before = Dumps();

  EXPECT_EXIT(CrashWithReporterIn(tmp.path() + ":/usr/bin:/bin"), ::testing::KilledBySignal(SIGSEGV),
              "crashed; dump at .*-[0-9]{8}-[0-9]{6}-[0-9]\\.dmp; Exception Code: B, at address");

  std::vector<fs::path> fresh;
  std::ranges::set_difference(Dumps(), before, std::back_inserter(fresh));
  ASSERT_EQ(fresh.size(), 1u);
  const std::string dump = ReadAll(fresh[0]), symbols = dump.substr(dump.find("symbols:"));
  for (const char* part : {"signal: 11", "fault address: (nil)", "backtrace:", "memory map:", "[stack]"})
    EXPECT_NE(dump.find(part), std::string::npos) << part;
  // addr2line named the faulting function of our own, with its file.
  for (const char* part : {"CrashWithReporterIn", "crash_test.cpp:"})
    EXPECT_NE(symbols.find(part), std::string::npos) << dump;

  // The reporter runs detached: wait up to two seconds for its argument, the name's time stamp part.
  const std::regex stamp(R"(-\d{8}-\d{6}-0\.dmp)");
  std::string argument;
  for (int i = 0; i < 200 && !std::regex_match(argument = ReadAll(got), stamp); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(std::regex_match(argument, stamp)) << argument;

  for (const auto& p : fresh) fs::remove(p);
}

// Child body: standard input is a pipe nobody writes to, so only a stop
// request can end the read.  Exit 0 when the read ended for that reason.
// Words, then the end of input, on the real standard input: every command
// exchange of integration.http_update_test ("get tb", ..., "quit", close).
[[noreturn]] void ReadUntilSignalled(int sig) {
  int fds[2];
  if (pipe(fds) != 0) _exit(3);
  dup2(fds[0], STDIN_FILENO);
  platform::InstallStopSignals();
  kill(getpid(), SIGINT);  // ignored
  std::thread([sig] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(getpid(), sig);
  }).detach();
  std::string word;
  const bool read = static_cast<bool>(platform::StdinStream() >> word);
  _exit(read ? 1 : (platform::StopRequested() ? 0 : 2));
}

TEST(StopSignalTest, TerminationAndHangUpEndTheCommandStream) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int sig : {SIGTERM, SIGHUP}) EXPECT_EXIT(ReadUntilSignalled(sig), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace brelvane
