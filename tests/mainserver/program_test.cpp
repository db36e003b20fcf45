// SPDX-License-Identifier: MIT
// The real brelvane-mainserver on loopback.
#include <fstream>

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

std::string FreeLoopbackPort() {
  platform::DatagramSocket probe;
  InetAddress bound;
  (void)platform::DatagramSocket::Open(InetAddress::Loopback(0), &probe);
  (void)probe.LocalAddress(&bound);
  return bound.ToString();
}

// Sends `request` until a datagram of `type` comes back (the server may still
// be starting); the answer, or nothing.
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
  const std::string listen = FreeLoopbackPort();
  const InetAddress server = InetAddress::Loopback(static_cast<uint16_t>(std::stoi(listen.substr(10))));
  platform::ProcessId pid = 0;
  ASSERT_EQ(platform::SpawnProcess({kProgram, "--listen", listen, "--stats-file", stats}, {}, &pid), 0);
  platform::DatagramSocket socket;
  ASSERT_TRUE(platform::DatagramSocket::Open(InetAddress::Loopback(0), &socket).ok());
  testing_util::Client c;
  ASSERT_TRUE(socket.LocalAddress(&c.addr).ok());
  const wire::Login login{7100, c.addr.port, 0, c.addr.port, testing_util::SwarmHash(4)};
  const std::vector<uint8_t> ack = Ask(socket, server, wire::BuildLogin({}, login), wire::kLoginAck);
  ASSERT_EQ(ack.size(), wire::kLoginAckSize);
  ASSERT_EQ(wire::DecodeLoginAck(ack.data()).reply_code, kReplyAccepted);
  c.id = wire::DecodeLoginAck(ack.data()).user_id;
  c.token = wire::DecodeLoginAck(ack.data()).token;

  DownloadStat fields;
  fields.p2p_bytes = 123456789;
  fields.disk_caption = "Loopback Disk";
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
  EXPECT_EQ(code, kExitOk);
  std::ifstream in(stats);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(testing_util::JsonField(line, "user_id"), std::to_string(c.id));
  EXPECT_EQ(testing_util::JsonField(line, "source"), "\"" + c.addr.ToString() + "\"");
  EXPECT_EQ(testing_util::JsonField(line, "p2p_bytes"), "123456789");
  EXPECT_EQ(testing_util::JsonField(line, "disk_caption"), "\"Loopback Disk\"");
  EXPECT_FALSE(std::getline(in, line));
  platform::RemoveFile(stats);
}

TEST(MainServerProgramTest, ExitCodes) {
  const std::string listen = FreeLoopbackPort();
  const struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {{"--help"}, kExitOk},
      {{"--version"}, kExitOk},
      {{}, kExitUsage},
      {{"--listen", "127.0.0.1:65536"}, kExitUsage},
      {{"--listen", listen, "--rate-limit", "-1"}, kExitUsage},
      {{"--listen=" + listen, "--bogus"}, kExitUsage},
      {{"--listen", listen, "--stats-file", "/nonexistent-dir/stats.jsonl"}, kExitFailure},
  };
  for (const auto& k : cases) {
    std::vector<std::string> argv{kProgram};
    argv.insert(argv.end(), k.args.begin(), k.args.end());
    platform::ProcessId pid = 0;
    int code = -1;
    ASSERT_EQ(platform::SpawnProcess(argv, {}, &pid), 0);
    ASSERT_EQ(platform::WaitProcess(pid, &code), 0);
    EXPECT_EQ(code, k.code) << ::testing::PrintToString(k.args);
  }
}

}  // namespace
}  // namespace brelvane::mainserver
