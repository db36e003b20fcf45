// SPDX-License-Identifier: MIT
// The real brelvane-mainserver on loopback.
#include <fstream>

#include <gmock/gmock.h>

#include "mainserver/mainserver_test_util.h"
#include "platform/child_process.h"
#include "platform/datagram.h"
#include "platform/file_io.h"
#include "platform/thread.h"
#include "tools/mainserver/server_options.h"

namespace brelvane::mainserver {
namespace {

using platform::InetAddress;

int Program(std::vector<std::string> args, platform::ProcessId* pid = nullptr) {
  args.insert(args.begin(), std::string(BRELVANE_BINARY_DIR) + "/tools/mainserver/brelvane-mainserver");
  platform::ProcessId own = 0;
  int code = -1;
  if (platform::SpawnProcess(args, {}, pid ? pid : &own) != 0) return -2;
  return pid || platform::WaitProcess(own, &code) != 0 ? 0 : code;
}

// Sends `request` until an answer of `type` comes (the server may be starting).
std::vector<uint8_t> Ask(const platform::DatagramSocket& s, const InetAddress& server,
                         const std::vector<uint8_t>& request, int32_t type) {
  std::vector<uint8_t> answer(512);
  size_t n = 0;
  InetAddress from;
  for (int attempt = 0; attempt < 50; ++attempt) {
    (void)s.SendTo(server, request.data(), request.size());
    if (s.ReceiveFrom(answer.data(), answer.size(), 100, &n, &from).ok() && from == server &&
        n >= 20 && wire::GetI32(answer.data()) == type) {
      return std::vector<uint8_t>(answer.begin(), answer.begin() + n);
    }
  }
  return {};
}

TEST(MainServerProgramTest, ServesOnLoopbackAndFlushesStatisticsOnStop) {
  const std::string stats = ::testing::TempDir() + "mainserver_stats_" +
                            std::to_string(platform::CurrentProcessId()) + ".jsonl";
  platform::RemoveFile(stats);
  platform::DatagramSocket socket, probe;  // the probe finds a free port
  InetAddress server;
  testing_util::Client c;
  ASSERT_TRUE(platform::DatagramSocket::Open(InetAddress::Loopback(0), &probe).ok() &&
              probe.LocalAddress(&server).ok());
  probe.Close();
  platform::ProcessId pid = 0;
  ASSERT_EQ(Program({"--listen", server.ToString(), "--stats-file", stats}, &pid), 0);
  [&] {  // returns early on a failed assertion; the server is stopped below in any case
    ASSERT_TRUE(platform::DatagramSocket::Open(InetAddress::Loopback(0), &socket).ok() &&
                socket.LocalAddress(&c.addr).ok());
    const wire::Login login{7100, c.addr.port, 0, c.addr.port, testing_util::SwarmHash(4)};
    const std::vector<uint8_t> ack = Ask(socket, server, wire::BuildLogin({}, login), wire::kLoginAck);
    ASSERT_EQ(ack.size(), wire::kLoginAckSize);
    ASSERT_EQ(wire::DecodeLoginAck(ack.data()).reply_code, kReplyAccepted);
    std::tie(c.id, c.token) = std::pair(wire::GetI32(&ack[24]), wire::GetU32(&ack[28]));
    DownloadStat fields;
    fields.p2p_bytes = 123456789;
    const std::vector<uint8_t> stat = testing_util::BuildStatMessage(c, fields);
    ASSERT_TRUE(socket.SendTo(server, stat.data(), stat.size()).ok());
    // Handled in order: once the peer list is back, the statistics line is written.
    const std::vector<uint8_t> list = Ask(socket, server, wire::BuildHeaderOnly(
        {0, 2, c.id, c.token, 0}, wire::kGetPeer), wire::kPeerList);
    ASSERT_EQ(list.size(), wire::kPeerListSize);
    EXPECT_EQ(wire::DecodePeerList(list.data()).count, 0);
  }();
  int code = -1;
  EXPECT_EQ(platform::StopProcess(pid) + platform::WaitProcess(pid, &code), 0);
  EXPECT_EQ(code, kExitOk);
  std::ifstream in(stats);
  std::string line, extra;
  EXPECT_TRUE(std::getline(in, line) && !std::getline(in, extra));
  EXPECT_THAT(line, ::testing::HasSubstr("\"source\":\"" + c.addr.ToString() + "\",\"user_id\":" +
                                         std::to_string(c.id) + ",\"swarm\""));
  EXPECT_THAT(line, ::testing::HasSubstr(",\"p2p_bytes\":123456789,"));
  platform::RemoveFile(stats);
}

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
