// SPDX-License-Identifier: MIT
// The real brelvane-mainserver on loopback.
#include <fstream>
#include <memory>

#include "mainserver/mainserver_test_util.h"
#include "platform/child_process.h"
#include "platform/datagram.h"
#include "platform/file_io.h"
#include "platform/thread.h"
#include "tools/mainserver/server_options.h"

namespace brelvane::mainserver {
namespace {

using platform::InetAddress;

const std::string kProgram = std::string(BRELVANE_BINARY_DIR) + "/tools/mainserver/brelvane-mainserver";

InetAddress FreeLoopbackPort() {
  platform::DatagramSocket probe;
  InetAddress bound;
  (void)platform::DatagramSocket::Open(InetAddress::Loopback(0), &probe);
  (void)probe.LocalAddress(&bound);
  return bound;
}

// Sends `request` until an answer of `type` comes (the server may be starting).
std::vector<uint8_t> Ask(const platform::DatagramSocket& s, const InetAddress& server,
                         const std::vector<uint8_t>& request, int32_t type) {
  std::vector<uint8_t> answer(512);
  for (int attempt = 0; attempt < 50; ++attempt) {
    size_t n = 0;
    InetAddress from;
    (void)s.SendTo(server, request.data(), request.size());
    if (s.ReceiveFrom(answer.data(), answer.size(), 100, &n, &from).ok() && from == server &&
        n >= 20 && wire::GetI32(answer.data()) == type) {
      answer.resize(n);
      return answer;
    }
  }
  return {};
}

TEST(MainServerProgramTest, ServesOnLoopbackAndFlushesStatisticsOnStop) {
  const std::string stats = ::testing::TempDir() + "mainserver_stats_" +
                            std::to_string(platform::CurrentProcessId()) + ".jsonl";
  platform::RemoveFile(stats);
  const InetAddress server = FreeLoopbackPort();
  platform::ProcessId pid = 0;
  ASSERT_EQ(platform::SpawnProcess({kProgram, "--listen", server.ToString(), "--stats-file", stats},
                                   {}, &pid),
            0);
  const auto kill = [](platform::ProcessId* p) {  // when an assertion ends the test early
    int ignored = 0;
    if (platform::KillProcess(*p) == 0) (void)platform::WaitProcess(*p, &ignored);
  };
  std::unique_ptr<platform::ProcessId, decltype(kill)> reaper(&pid, kill);
  platform::DatagramSocket socket;
  ASSERT_TRUE(platform::DatagramSocket::Open(InetAddress::Loopback(0), &socket).ok());
  testing_util::Client c;
  ASSERT_TRUE(socket.LocalAddress(&c.addr).ok());
  const wire::Login login{7100, c.addr.port, 0, c.addr.port, testing_util::SwarmHash(4)};
  const std::vector<uint8_t> ack = Ask(socket, server, wire::BuildLogin({}, login), wire::kLoginAck);
  ASSERT_EQ(ack.size(), wire::kLoginAckSize);
  ASSERT_EQ(wire::DecodeLoginAck(ack.data()).reply_code, kReplyAccepted);
  std::tie(c.id, c.token) = std::pair(wire::GetI32(ack.data() + 24), wire::GetU32(ack.data() + 28));
  DownloadStat fields;
  fields.p2p_bytes = 123456789;
  const std::vector<uint8_t> stat = testing_util::BuildStatMessage(c, fields);
  ASSERT_TRUE(socket.SendTo(server, stat.data(), stat.size()).ok());
  // Handled in order: once the peer list is back, the statistics line is written.
  const std::vector<uint8_t> list = Ask(
      socket, server, wire::BuildHeaderOnly({0, 2, c.id, c.token, 0}, wire::kGetPeer), wire::kPeerList);
  ASSERT_EQ(list.size(), wire::kPeerListSize);
  EXPECT_EQ(wire::DecodePeerList(list.data()).count, 0);

  ASSERT_EQ(platform::StopProcess(pid), 0);
  int code = -1;
  ASSERT_EQ(platform::WaitProcess(pid, &code), 0);
  reaper.release();
  EXPECT_EQ(code, kExitOk);
  std::ifstream in(stats);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(testing_util::JsonField(line, "user_id"), std::to_string(c.id));
  EXPECT_EQ(testing_util::JsonField(line, "source"), "\"" + c.addr.ToString() + "\"");
  EXPECT_EQ(testing_util::JsonField(line, "p2p_bytes"), "123456789");
  EXPECT_FALSE(std::getline(in, line));
  platform::RemoveFile(stats);
}

TEST(MainServerProgramTest, ExitCodes) {
  const std::string listen = FreeLoopbackPort().ToString();
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--help"}, kExitOk},          {{"--version"}, kExitOk},
      {{}, kExitUsage},               {{"--listen", "127.0.0.1:65536"}, kExitUsage},
      {{"--listen", listen, "--rate-limit", "-1"}, kExitUsage},
      {{"--listen=" + listen, "--bogus"}, kExitUsage},
      {{"--listen", listen, "--stats-file", "/nonexistent-dir/stats.jsonl"}, kExitFailure}};
  for (const auto& [args, expected] : cases) {
    std::vector<std::string> argv{kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    platform::ProcessId pid = 0;
    int code = -1;
    ASSERT_EQ(platform::SpawnProcess(argv, {}, &pid), 0);
    ASSERT_EQ(platform::WaitProcess(pid, &code), 0);
    EXPECT_EQ(code, expected) << ::testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace brelvane::mainserver
