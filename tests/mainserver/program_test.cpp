// SPDX-License-Identifier: MIT
// The real brelvane-mainserver's command line.
#include <gtest/gtest.h>

#include "platform/child_process.h"
#include "tools/mainserver/server_options.h"

namespace brelvane::mainserver {
namespace {

int Program(std::vector<std::string> args) {
  args.insert(args.begin(), std::string(BRELVANE_BINARY_DIR) + "/tools/mainserver/brelvane-mainserver");
  platform::ProcessId pid = 0;
  int code = -1;
  return platform::SpawnProcess(args, {}, &pid) != 0 || platform::WaitProcess(pid, &code) != 0 ? -2 : code;
}

// Serving, the statistics file and the exit status on SIGTERM: integration.mainserver_test.
TEST(MainServerProgramTest, ExitCodes) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--help"}, kExitOk},          {{"--version"}, kExitOk},
      {{}, kExitUsage},               {{"--listen", "127.0.0.1:65536"}, kExitUsage},
      {{"--listen", "127.0.0.1:0", "--rate-limit", "-1"}, kExitUsage},
      {{"--listen=127.0.0.1:0", "--bogus"}, kExitUsage},
      {{"--listen", "127.0.0.1:0", "--stats-file", "/nonexistent-dir/stats.jsonl"}, kExitFailure}};
  for (const auto& [args, want] : cases) EXPECT_EQ(Program(args), want) << args.size();
}

}  // namespace
}  // namespace brelvane::mainserver
