// SPDX-License-Identifier: MIT
#include <cstring>

#include "mainserver/mainserver_test_util.h"

namespace brelvane::mainserver::testing_util {

std::vector<uint8_t> BuildStatMessage(const Client& c, const DownloadStat& f) {
  std::vector<uint8_t> m(wire::kDownloadStatSize, 0);
  wire::EncodeHeader({wire::kDownloadStat, 9, c.id, c.token, wire::kDownloadStatBody}, m.data());
  uint8_t* b = m.data() + wire::kHeaderSize;
  b[0] = static_cast<uint8_t>(f.begin_state);
  b[1] = static_cast<uint8_t>(f.end_state);
  b[2] = f.http_threads;
  wire::PutU32(b + 4, f.dns);
  wire::PutU64(b + 16, f.p2p_bytes);
  wire::PutU64(b + 24, f.http_bytes);
  wire::PutU64(b + 32, static_cast<uint64_t>(f.start_time));
  wire::PutU64(b + 40, static_cast<uint64_t>(f.end_time));
  wire::PutU32(b + 48, f.http_source_count);
  wire::PutU32(b + 52, f.version);
  for (size_t i = 0; i < 8; ++i) wire::PutU32(b + 56 + 4 * i, f.http_sources[i]);
  std::memcpy(b + 88, f.mac.data(), 6);
  wire::PutU16(b + 96, f.memory_mib);
  wire::PutU16(b + 98, f.cpu_mhz);
  std::memcpy(b + 100, f.disk_caption.data(), std::min<size_t>(f.disk_caption.size(), 24));
  std::memcpy(b + 124, f.speeds.data(), 40);
  for (size_t i = 0; i < wire::kDownloadStatBody; ++i) b[i] ^= wire::kReportXorKey;
  return m;
}

wire::Md5Bytes SwarmHash(uint8_t tag) {
  wire::Md5Bytes h{};
  for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint8_t>(tag * 31 + i);
  return h;
}

Client CoreTest::MakeClient(uint32_t n, uint16_t tcp_port) {
  const uint32_t ip = 0x0A000000u | ((n / 250) << 8) | (n % 250 + 1);
  return Client{{ip, static_cast<uint16_t>(4000 + n % 7)}, tcp_port};
}

std::vector<uint8_t> CoreTest::Ask(const Client& c, const std::vector<uint8_t>& bytes,
                                   int32_t type) {
  TakeSent();
  Send(c, bytes);
  const std::vector<Sent> sent = TakeSent();
  const bool one = sent.size() == 1 && sent[0].type() == type && sent[0].to == c.addr;
  return one ? sent[0].bytes : std::vector<uint8_t>{};
}

wire::LoginAck CoreTest::Login(Client* c, uint8_t swarm_tag) {
  // The address inside is what the client believes; the server must ignore it.
  const wire::Login body{c->tcp_port, c->addr.port, 0xC0A80005, c->addr.port, SwarmHash(swarm_tag)};
  const std::vector<uint8_t> a = Ask(*c, wire::BuildLogin({}, body), wire::kLoginAck);
  const wire::LoginAck ack = a.empty() ? wire::LoginAck{-99, -1, 0} : wire::DecodeLoginAck(a.data());
  if (ack.reply_code == kReplyAccepted) c->id = ack.user_id, c->token = ack.token;
  return ack;
}

Client CoreTest::Joined(uint32_t n, uint8_t swarm_tag, uint16_t tcp_port) {
  Client c = MakeClient(n, tcp_port);
  EXPECT_EQ(Login(&c, swarm_tag).reply_code, kReplyAccepted) << "client " << n;
  return c;
}

std::vector<uint8_t> CoreTest::Message(const Client& c, int32_t type) {
  const wire::MsgHeader h{0, 1, c.id, c.token, 0};
  return type == wire::kProgress ? wire::BuildProgress(h, 0) : wire::BuildHeaderOnly(h, type);
}

wire::PeerList CoreTest::GetPeers(const Client& c) {
  const std::vector<uint8_t> a = Ask(c, Message(c, wire::kGetPeer), wire::kPeerList);
  wire::PeerList list;
  list.count = -1;
  return a.empty() ? list : wire::DecodePeerList(a.data());
}

}  // namespace brelvane::mainserver::testing_util
