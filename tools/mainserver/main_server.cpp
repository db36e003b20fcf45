// SPDX-License-Identifier: MIT
#include "tools/mainserver/main_server.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "tools/mainserver/download_stat.h"

namespace brelvane::mainserver {

using platform::InetAddress;

uint64_t SystemClock::MonotonicMs() const { return platform::TickMs(); }

int64_t SystemClock::WallSeconds() const { return platform::NowSeconds(); }

MainServerCore::MainServerCore(const ServerLimits& limits, const ServerClock* clock,
                               ServerOutlet* outlet, uint64_t seed)
    : limits_(limits),
      clock_(clock),
      outlet_(outlet),
      rng_(seed),
      registry_(MixHash(seed ^ 0x5245474953545259ull)),
      limiter_(limits.rate_limit, limits.source_table_log2, MixHash(seed ^ 0x4C494D4954455253ull)),
      // Ids start at a random place so that a restarted server is unlikely to
      // hand out an id its predecessor's members still use.
      next_user_id_(1 + static_cast<int32_t>(rng_() % (1u << 30))) {}

uint32_t MainServerCore::NowSeconds() const {
  return static_cast<uint32_t>(clock_->MonotonicMs() / 1000);
}

wire::MsgHeader MainServerCore::ReplyHeader(int32_t user_id, uint32_t token) {
  wire::MsgHeader h;
  h.index = message_index_++;
  h.user_id = user_id;
  h.token = token;
  return h;
}

wire::PeerRecord MainServerCore::RecordOf(const Member& m) const {
  wire::PeerRecord r;
  r.user_id = m.user_id;
  r.udp.ip = m.ip;
  r.udp.port = m.port;
  r.tcp.ip = m.ip;
  r.tcp.port = m.tcp_port;
  return r;
}

void MainServerCore::HandleDatagram(const uint8_t* data, size_t length, const InetAddress& from) {
  ++counters_.received;
  if (!limiter_.Admit(from.ip, from.port, clock_->MonotonicMs())) {
    ++counters_.rate_limited;
    return;
  }
  if (!wire::ValidateForServer(data, length)) {
    ++counters_.invalid;
    return;
  }
  if (wire::GetI32(data) == wire::kLogin) {
    HandleLogin(data, from);
  } else {
    HandleMemberMessage(data, from);
  }
}

void MainServerCore::SendLoginAck(const InetAddress& to, int32_t reply, int32_t user_id,
                                  uint32_t token) {
  std::array<uint8_t, wire::kLoginAckSize> out{};
  wire::MsgHeader h = ReplyHeader(user_id, token);
  h.type = wire::kLoginAck;
  h.length = wire::kLoginAckSize - wire::kHeaderSize;
  wire::EncodeHeader(h, out.data());
  wire::PutU32(out.data() + 20, static_cast<uint32_t>(reply));
  wire::PutU32(out.data() + 24, static_cast<uint32_t>(user_id));
  wire::PutU32(out.data() + 28, token);
  outlet_->SendDatagram(to, out.data(), out.size());
  if (reply == kReplyAccepted) {
    ++counters_.logins_accepted;
  } else {
    ++counters_.logins_refused;
  }
}

void MainServerCore::HandleLogin(const uint8_t* data, const InetAddress& from) {
  const wire::Login login = wire::DecodeLogin(data);
  const uint32_t now = NowSeconds();
  uint32_t swarm = registry_.FindSwarm(login.seed_hash);
  if (swarm != kNoSlot) {
    const uint32_t existing = registry_.FindMemberAt(swarm, from.ip, from.port);
    if (existing != kNoSlot) {
      Member& m = registry_.member(existing);
      if (!Expired(m, now)) {
        // The same client again.  Its acknowledgement was lost: same answer.
        // Or it already holds it (its header says so) and only sent again
        // before it read it: it would ignore a second one.
        m.tcp_port = login.tcp_port;
        m.last_active = now;
        const wire::MsgHeader h = wire::DecodeHeader(data);
        if (h.user_id != m.user_id || h.token != m.token) {
          SendLoginAck(from, kReplyAccepted, m.user_id, m.token);
        }
        return;
      }
      registry_.RemoveMember(existing);
      ++counters_.expired;
      swarm = registry_.FindSwarm(login.seed_hash);
    }
  }
  if (swarm != kNoSlot && registry_.swarm_members(swarm).size() >= limits_.max_members) {
    SendLoginAck(from, kReplySwarmFull, -1, 0);
    return;
  }
  if (swarm == kNoSlot && registry_.swarm_count() >= limits_.max_swarms) {
    SendLoginAck(from, kReplyServerFull, -1, 0);
    return;
  }
  if (next_user_id_ == INT32_MAX) {
    SendLoginAck(from, kReplyNoIds, -1, 0);
    return;
  }
  if (swarm == kNoSlot) swarm = registry_.AddSwarm(login.seed_hash);

  Member m;
  m.user_id = next_user_id_++;
  do {
    m.token = static_cast<uint32_t>(rng_());
  } while (m.token == 0);  // 0 is what a client sends before any login
  m.ip = from.ip;
  m.port = from.port;
  m.tcp_port = login.tcp_port;
  m.last_active = now;
  m.swarm = swarm;
  registry_.AddMember(m);
  SendLoginAck(from, kReplyAccepted, m.user_id, m.token);
}

void MainServerCore::MaybeRelogin(const InetAddress& to) {
  if (!limiter_.TakeRelogin(to.ip, to.port, clock_->MonotonicMs())) return;
  std::array<uint8_t, wire::kHeaderSize> out{};
  wire::MsgHeader h = ReplyHeader(-1, 0);
  h.type = wire::kRelogin;
  wire::EncodeHeader(h, out.data());
  outlet_->SendDatagram(to, out.data(), out.size());
  ++counters_.relogins_sent;
}

void MainServerCore::HandleMemberMessage(const uint8_t* data, const InetAddress& from) {
  const wire::MsgHeader h = wire::DecodeHeader(data);
  const uint32_t now = NowSeconds();
  uint32_t slot = registry_.FindMember(h.user_id);
  if (slot != kNoSlot && Expired(registry_.member(slot), now)) {
    registry_.RemoveMember(slot);
    ++counters_.expired;
    slot = kNoSlot;
  }
  if (slot == kNoSlot) {
    ++counters_.unknown;
    // Id -1 is a client that is not logged in (its login may be on its way,
    // its acknowledgement not yet read): a re-login would only cut that short.
    if (h.user_id != -1) MaybeRelogin(from);
    return;
  }
  Member& m = registry_.member(slot);
  if (m.token != h.token || m.ip != from.ip || m.port != from.port) {
    ++counters_.mismatched;
    return;
  }
  m.last_active = now;
  switch (h.type) {
    case wire::kGetPeer:
      SendPeerList(slot);
      break;
    case wire::kLogout:
      registry_.RemoveMember(slot);
      break;
    case wire::kProgress:
      m.progress = std::min<uint8_t>(wire::DecodeProgress(data), 100);
      break;
    case wire::kConnectRequestCS:
      RelayConnectRequest(slot, data);
      break;
    case wire::kDownloadStat:
      WriteStat(slot, data);
      break;
    default:  // keep-alive: the refresh above is all
      break;
  }
}

std::vector<uint32_t> MainServerCore::SelectPeers(uint32_t slot) {
  const Member& self = registry_.member(slot);
  const std::vector<uint32_t>& list = registry_.swarm_members(self.swarm);
  const size_t n = list.size();
  const size_t window = std::min(n, kPeerScanWindow);
  const size_t start = n > window ? static_cast<size_t>(rng_() % n) : 0;
  const uint32_t now = NowSeconds();

  std::array<std::pair<uint64_t, uint32_t>, kPeerScanWindow> ranked;
  size_t count = 0;
  for (size_t i = 0; i < window; ++i) {
    const uint32_t other = list[(start + i) % n];
    if (other == slot) continue;
    const Member& m = registry_.member(other);
    if (Expired(m, now)) continue;
    const uint64_t completion = m.progress / 10;
    const uint64_t freshness = 15 - std::min<uint32_t>((now - m.last_active) / 15, 15);
    const uint64_t key = (completion << 40) | (freshness << 32) | (rng_() & 0xFFFFFFFFu);
    ranked[count++] = {key, other};
  }
  const size_t take = std::min(count, kPeersPerList);
  std::partial_sort(ranked.begin(), ranked.begin() + take, ranked.begin() + count,
                    [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<uint32_t> out(take);
  for (size_t i = 0; i < take; ++i) out[i] = ranked[i].second;
  return out;
}

void MainServerCore::SendPeerList(uint32_t slot) {
  const std::vector<uint32_t> peers = SelectPeers(slot);
  const Member& self = registry_.member(slot);
  std::array<uint8_t, wire::kPeerListSize> out{};
  wire::MsgHeader h = ReplyHeader(self.user_id, self.token);
  h.type = wire::kPeerList;
  h.length = wire::kPeerListSize - wire::kHeaderSize;
  wire::EncodeHeader(h, out.data());
  wire::PutU32(out.data() + 20, static_cast<uint32_t>(peers.size()));
  for (size_t i = 0; i < peers.size(); ++i) {
    wire::EncodePeerRecord(RecordOf(registry_.member(peers[i])), out.data() + 24 + 20 * i);
  }
  outlet_->SendDatagram(InetAddress{self.ip, self.port}, out.data(), out.size());
}

void MainServerCore::RelayConnectRequest(uint32_t slot, const uint8_t* data) {
  const Member& from = registry_.member(slot);
  const uint32_t target = registry_.FindMember(wire::GetI32(data + 20));
  if (target == kNoSlot || target == slot || registry_.member(target).swarm != from.swarm ||
      Expired(registry_.member(target), NowSeconds())) {
    ++counters_.relays_dropped;
    return;
  }
  const Member& to = registry_.member(target);
  std::array<uint8_t, wire::kConnectRequestSize> out{};
  wire::MsgHeader h = ReplyHeader(to.user_id, to.token);
  h.type = wire::kConnectRequestSC;
  h.length = wire::kConnectRequestSize - wire::kHeaderSize;
  wire::EncodeHeader(h, out.data());
  wire::EncodePeerRecord(RecordOf(from), out.data() + 20);
  std::memcpy(out.data() + 40, data + 40, 20);  // the requester's record as sent
  outlet_->SendDatagram(InetAddress{to.ip, to.port}, out.data(), out.size());
  ++counters_.relays;
}

void MainServerCore::WriteStat(uint32_t slot, const uint8_t* data) {
  const Member& m = registry_.member(slot);
  StatOrigin origin;
  origin.time = clock_->WallSeconds();
  origin.ip = m.ip;
  origin.port = m.port;
  origin.user_id = m.user_id;
  origin.swarm = registry_.swarm_hash(m.swarm);
  outlet_->WriteStatLine(DownloadStatJson(DecodeDownloadStat(data), origin));
  ++counters_.stat_lines;
}

size_t MainServerCore::DropSilent() {
  const uint32_t now = NowSeconds();
  size_t dropped = 0;
  for (uint32_t slot = 0; slot < registry_.slot_bound(); ++slot) {
    const Member& m = registry_.member(slot);
    if (m.user_id != Member::kFreeId && Expired(m, now)) {
      registry_.RemoveMember(slot);
      ++dropped;
    }
  }
  counters_.expired += dropped;
  return dropped;
}

}  // namespace brelvane::mainserver
