// SPDX-License-Identifier: MIT
// Registry: the swarms of the main server and their members, kept compact.
//
// A member is one fixed 32-byte record in a flat array of slots (freed slots
// are reused through a free list); it is found by user id, or by swarm and
// observed source address, through two SlotIndex tables of 4-byte cells.  A
// swarm (one per SeedHash) holds the slot numbers of its members in one
// vector, so a member costs about 32 + 2 x 8 + 4 bytes plus vector slack.
// A swarm disappears with its last member, and its slot is reused.
//
// Invariants: every used member slot appears exactly once in its swarm's
// list, at `swarm_pos`, and once in each index; every used swarm has at
// least one member.  CheckInvariants() verifies them (tests).
//
// Thread safety: none; owned by the server core's one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "p2p/wire/wire_format.h"
#include "tools/mainserver/slot_index.h"

namespace brelvane::mainserver {

struct Member {
  static constexpr int32_t kFreeId = -1;

  int32_t user_id = kFreeId;  // kFreeId while the slot is unused
  uint32_t token = 0;
  uint32_t ip = 0;            // observed source address, host order
  uint16_t port = 0;          // observed source port
  uint16_t tcp_port = 0;      // TCP listen port from the login
  uint32_t last_active = 0;   // server seconds of the last datagram acted on
  uint32_t swarm = 0;         // swarm index
  uint32_t swarm_pos = 0;     // position in the swarm's list; free-list link when unused
  uint8_t progress = 0;       // percentage from CSMessageProgress, 0..100
};
static_assert(sizeof(Member) == 32, "a member record stays at 32 bytes");

class Registry {
 public:
  explicit Registry(uint64_t hash_seed) : seed_(hash_seed) {}

  // The index of the swarm of `hash`, or kNoSlot.
  uint32_t FindSwarm(const wire::Md5Bytes& hash) const;
  // Creates the swarm of `hash`.  REQUIRES: FindSwarm(hash) == kNoSlot.
  uint32_t AddSwarm(const wire::Md5Bytes& hash);

  // The slot of the member with `user_id`, or kNoSlot.
  uint32_t FindMember(int32_t user_id) const;
  // The slot of the member of `swarm` whose observed address is ip:port.
  uint32_t FindMemberAt(uint32_t swarm, uint32_t ip, uint16_t port) const;
  // Adds `m` to swarm `m.swarm` (which must exist) and returns its slot.
  // REQUIRES: no member has m.user_id.
  uint32_t AddMember(const Member& m);
  // Removes the member in `slot`, and its swarm when it was the last member.
  void RemoveMember(uint32_t slot);

  Member& member(uint32_t slot) { return slots_[slot]; }
  const Member& member(uint32_t slot) const { return slots_[slot]; }
  // Slots are numbered below this bound; unused ones have user_id kFreeId.
  uint32_t slot_bound() const { return static_cast<uint32_t>(slots_.size()); }

  const std::vector<uint32_t>& swarm_members(uint32_t swarm) const { return swarms_[swarm].members; }
  const wire::Md5Bytes& swarm_hash(uint32_t swarm) const { return swarms_[swarm].hash; }

  size_t member_count() const { return members_; }
  size_t swarm_count() const { return swarm_count_; }

  // Heap bytes held by the tables (capacities, not sizes).
  size_t MemoryBytes() const;
  // True when every invariant above holds.
  bool CheckInvariants() const;

 private:
  struct Swarm {
    wire::Md5Bytes hash{};
    bool used = false;
    std::vector<uint32_t> members;  // slots
  };

  uint64_t IdHash(int32_t id) const;
  uint64_t AddressHash(uint32_t swarm, uint32_t ip, uint16_t port) const;
  uint64_t SwarmHash(const wire::Md5Bytes& hash) const;
  uint64_t IdHashOfSlot(uint32_t slot) const { return IdHash(slots_[slot].user_id); }
  uint64_t AddressHashOfSlot(uint32_t slot) const;

  const uint64_t seed_;
  std::vector<Member> slots_;
  uint32_t free_slot_ = kNoSlot;
  size_t members_ = 0;
  SlotIndex by_id_;
  SlotIndex by_address_;

  std::vector<Swarm> swarms_;
  std::vector<uint32_t> free_swarms_;
  size_t swarm_count_ = 0;
  SlotIndex by_hash_;
};

}  // namespace brelvane::mainserver
