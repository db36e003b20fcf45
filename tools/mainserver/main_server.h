// SPDX-License-Identifier: MIT
// MainServerCore: everything the reference main server decides, with no
// socket, file or clock of its own.  The caller hands it each received
// datagram with its source address; replies leave through a ServerOutlet
// (a socket in the program, a recorder in tests), statistics lines too, and
// time comes from a ServerClock, so expiry is tested without sleeping.
//
// What it does with a datagram, in order:
//  1. Counts it against its source's per-second allowance (SourceLimiter);
//     over the allowance it is dropped unread.
//  2. Drops it unless it is a client-to-server message of exactly its size.
//  3. CSMessageLogin: joins (or creates) the swarm of its SeedHash and
//     answers SCMessageLoginAck with ReplyCode 0, a fresh user id and a
//     random token.  A login repeated from the same source for the same swarm
//     (its acknowledgement was lost) gets the same id and token again, unless
//     its header already carries them (the client's login loop sent again
//     before it read the answer; it ignores a second one).  When
//     the swarm is full the answer carries ReplyCode kReplySwarmFull; when a
//     new swarm would pass the cap, kReplyServerFull; when the ids ran out,
//     kReplyNoIds.
//  4. Any other type must carry the user id and token of a member and come
//     from that member's login source address.  An id the server does not
//     hold (never issued by this run, logged out, or silent for more than
//     kExpirySeconds) gets one header-only SCMessageRelogin, at most one per
//     second per source, except id -1 (a client not logged in yet, whose
//     login may be on its way); a wrong token or source is dropped.  A datagram that
//     passes refreshes the member's activity, then:
//     GetPeer answers SCMessagePeerList (up to 16 other members, see
//     SelectPeers); Logout removes the member; KeepAlive only refreshes;
//     Progress records the percentage; ConnectRequest is relayed as
//     SCMessageConnectRequest to the member named by the first record's user
//     id, when it is in the same swarm; DownloadStat is unscrambled and
//     written as one JSON line (download_stat.h).
//
// Peer records name the observed source: udpaddr = source ip:port, tcpaddr =
// source ip and the TCP listen port given at login.  The relayed connect
// request's first record is the requester's (its user id, observed udpaddr
// and tcpaddr as above); the second is the requester's own record, byte for
// byte as it sent it.
//
// Server messages carry in their header the server's running counter, the
// recipient's user id and token (-1 and 0 for a re-login).
//
// Thread safety: none.  One thread calls everything (the server loop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "tools/mainserver/registry.h"
#include "tools/mainserver/source_limiter.h"

namespace brelvane::mainserver {

struct ServerLimits {
  uint32_t max_swarms = 4096;          // swarms at once
  uint32_t max_members = 8192;         // members of one swarm
  uint32_t rate_limit = 50;            // datagrams per second per source; 0: no limit
  uint32_t source_table_log2 = 15;     // SourceLimiter sets (4 sources each)
};

// Reply codes of a refused login (the client treats every non-zero code as
// a refusal and tries again later).
inline constexpr int32_t kReplyAccepted = 0;
inline constexpr int32_t kReplySwarmFull = 1;
inline constexpr int32_t kReplyServerFull = 2;
inline constexpr int32_t kReplyNoIds = 3;

class ServerClock {
 public:
  virtual ~ServerClock() = default;
  // Monotonic milliseconds (any origin).
  virtual uint64_t MonotonicMs() const = 0;
  // Seconds since the epoch, for the statistics lines.
  virtual int64_t WallSeconds() const = 0;
};

// The process clock (platform/clock.h).
class SystemClock : public ServerClock {
 public:
  uint64_t MonotonicMs() const override;
  int64_t WallSeconds() const override;
};

class ServerOutlet {
 public:
  virtual ~ServerOutlet() = default;
  virtual void SendDatagram(const platform::InetAddress& to, const uint8_t* data, size_t length) = 0;
  // One statistics line, without its line end.
  virtual void WriteStatLine(std::string_view line) = 0;
};

struct ServerCounters {
  uint64_t received = 0;        // every datagram handed in
  uint64_t rate_limited = 0;    // dropped: source over its allowance
  uint64_t invalid = 0;         // dropped: failed validation
  uint64_t mismatched = 0;      // dropped: wrong token or source address
  uint64_t unknown = 0;         // id not held (answered with a re-login or not)
  uint64_t relogins_sent = 0;
  uint64_t logins_accepted = 0;
  uint64_t logins_refused = 0;
  uint64_t relays = 0;          // connect requests relayed
  uint64_t relays_dropped = 0;  // target unknown, in another swarm, or the sender itself
  uint64_t stat_lines = 0;
  uint64_t expired = 0;         // members dropped for silence
};

class MainServerCore {
 public:
  static constexpr uint32_t kExpirySeconds = 60;
  static constexpr size_t kPeersPerList = 16;
  // A peer list looks at no more than this many members of a swarm (from a
  // random place), so its cost does not grow with the swarm.
  static constexpr size_t kPeerScanWindow = 256;

  // `clock` and `outlet` must outlive the core.  `seed` seeds the token,
  // id and peer-choice randomness and the hash tables.
  MainServerCore(const ServerLimits& limits, const ServerClock* clock, ServerOutlet* outlet,
                 uint64_t seed);

  void HandleDatagram(const uint8_t* data, size_t length, const platform::InetAddress& from);

  // Drops every member silent for more than kExpirySeconds; returns how many.
  // Call about once a second (members past the limit are also refused when
  // they next send, so this only bounds memory).
  size_t DropSilent();

  size_t swarm_count() const { return registry_.swarm_count(); }
  size_t member_count() const { return registry_.member_count(); }
  const ServerCounters& counters() const { return counters_; }
  const Registry& registry() const { return registry_; }
  // Heap bytes of the tables (for diagnostics and the benchmark's report).
  size_t MemoryBytes() const { return registry_.MemoryBytes() + limiter_.MemoryBytes(); }

  // The up to kPeersPerList other members of `slot`'s swarm a peer list
  // names, best first.  Among at most kPeerScanWindow members starting at a
  // random place in the swarm, the order is: completion in steps of 10
  // points, highest first; then time since last activity in steps of 15
  // seconds (the keep-alive period), most recent first; then at random.
  std::vector<uint32_t> SelectPeers(uint32_t slot);

 private:
  uint32_t NowSeconds() const;
  void HandleLogin(const uint8_t* data, const platform::InetAddress& from);
  void HandleMemberMessage(const uint8_t* data, const platform::InetAddress& from);
  void SendPeerList(uint32_t slot);
  void RelayConnectRequest(uint32_t slot, const uint8_t* data);
  void WriteStat(uint32_t slot, const uint8_t* data);
  void SendLoginAck(const platform::InetAddress& to, int32_t reply, int32_t user_id, uint32_t token);
  void MaybeRelogin(const platform::InetAddress& to);
  bool Expired(const Member& m, uint32_t now) const { return now - m.last_active > kExpirySeconds; }
  wire::MsgHeader ReplyHeader(int32_t user_id, uint32_t token);
  wire::PeerRecord RecordOf(const Member& m) const;

  const ServerLimits limits_;
  const ServerClock* const clock_;
  ServerOutlet* const outlet_;
  std::mt19937_64 rng_;
  Registry registry_;
  SourceLimiter limiter_;
  int32_t next_user_id_;
  uint32_t message_index_ = 0;
  ServerCounters counters_;
};

}  // namespace brelvane::mainserver
