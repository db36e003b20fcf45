// SPDX-License-Identifier: MIT
// Signal dispositions: interrupt ignored, termination ends the command
// stream as end of input does.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace brelvane {
namespace {

// Child body: standard input is a pipe nobody writes to, so only a stop
// request can end the read.  Exit 0 when the read ended for that reason.
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

[[noreturn]] void ReadWords() {
  int fds[2];
  if (pipe(fds) != 0) _exit(3);
  const char text[] = "stat  get\nquit";
  if (write(fds[1], text, sizeof(text) - 1) != sizeof(text) - 1) _exit(3);
  close(fds[1]);
  dup2(fds[0], STDIN_FILENO);
  platform::InstallStopSignals();
  std::string a, b, c, d;
  std::istream& in = platform::StdinStream();
  in >> a >> b >> c;
  const bool words_ok = a == "stat" && b == "get" && c == "quit";
  const bool eof_after = !(in >> d);
  _exit(words_ok && eof_after ? 0 : 1);
}

TEST(StopSignalTest, StreamReadsWordsThenReportsEndOfInput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ReadWords(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace brelvane
