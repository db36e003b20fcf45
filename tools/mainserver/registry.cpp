// SPDX-License-Identifier: MIT
#include "tools/mainserver/registry.h"

#include <cstring>

namespace brelvane::mainserver {

uint64_t Registry::IdHash(int32_t id) const {
  return MixHash(static_cast<uint64_t>(static_cast<uint32_t>(id)) ^ seed_);
}

uint64_t Registry::AddressHash(uint32_t swarm, uint32_t ip, uint16_t port) const {
  const uint64_t key = (static_cast<uint64_t>(ip) << 16) | port;
  return MixHash(MixHash(key ^ seed_) + swarm);
}

uint64_t Registry::SwarmHash(const wire::Md5Bytes& hash) const {
  uint64_t low = 0;
  uint64_t high = 0;
  std::memcpy(&low, hash.data(), 8);
  std::memcpy(&high, hash.data() + 8, 8);
  return MixHash(MixHash(low ^ seed_) ^ high);
}

uint64_t Registry::AddressHashOfSlot(uint32_t slot) const {
  const Member& m = slots_[slot];
  return AddressHash(m.swarm, m.ip, m.port);
}

uint32_t Registry::FindSwarm(const wire::Md5Bytes& hash) const {
  return by_hash_.Find(SwarmHash(hash), [&](uint32_t s) { return swarms_[s].hash == hash; });
}

uint32_t Registry::AddSwarm(const wire::Md5Bytes& hash) {
  uint32_t index;
  if (!free_swarms_.empty()) {
    index = free_swarms_.back();
    free_swarms_.pop_back();
  } else {
    index = static_cast<uint32_t>(swarms_.size());
    swarms_.emplace_back();
  }
  swarms_[index].hash = hash;
  swarms_[index].used = true;
  by_hash_.Insert(index, SwarmHash(hash), [&](uint32_t s) { return SwarmHash(swarms_[s].hash); });
  ++swarm_count_;
  return index;
}

uint32_t Registry::FindMember(int32_t user_id) const {
  return by_id_.Find(IdHash(user_id), [&](uint32_t s) { return slots_[s].user_id == user_id; });
}

uint32_t Registry::FindMemberAt(uint32_t swarm, uint32_t ip, uint16_t port) const {
  return by_address_.Find(AddressHash(swarm, ip, port), [&](uint32_t s) {
    const Member& m = slots_[s];
    return m.swarm == swarm && m.ip == ip && m.port == port;
  });
}

uint32_t Registry::AddMember(const Member& m) {
  uint32_t slot;
  if (free_slot_ != kNoSlot) {
    slot = free_slot_;
    free_slot_ = slots_[slot].swarm_pos;
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Member& stored = slots_[slot];
  stored = m;
  std::vector<uint32_t>& list = swarms_[m.swarm].members;
  stored.swarm_pos = static_cast<uint32_t>(list.size());
  list.push_back(slot);
  by_id_.Insert(slot, IdHash(m.user_id), [&](uint32_t s) { return IdHashOfSlot(s); });
  by_address_.Insert(slot, AddressHashOfSlot(slot), [&](uint32_t s) { return AddressHashOfSlot(s); });
  ++members_;
  return slot;
}

void Registry::RemoveMember(uint32_t slot) {
  Member& m = slots_[slot];
  by_id_.Erase(slot, IdHash(m.user_id), [&](uint32_t s) { return IdHashOfSlot(s); });
  by_address_.Erase(slot, AddressHashOfSlot(slot), [&](uint32_t s) { return AddressHashOfSlot(s); });

  Swarm& swarm = swarms_[m.swarm];
  const uint32_t moved = swarm.members.back();
  swarm.members[m.swarm_pos] = moved;
  slots_[moved].swarm_pos = m.swarm_pos;
  swarm.members.pop_back();
  if (swarm.members.empty()) {
    const uint32_t index = m.swarm;
    by_hash_.Erase(index, SwarmHash(swarm.hash), [&](uint32_t s) { return SwarmHash(swarms_[s].hash); });
    swarm.used = false;
    std::vector<uint32_t>().swap(swarm.members);  // give the memory back
    free_swarms_.push_back(index);
    --swarm_count_;
  } else if (swarm.members.capacity() > 64 && swarm.members.size() * 4 < swarm.members.capacity()) {
    swarm.members.shrink_to_fit();
  }

  m = Member{};
  m.swarm_pos = free_slot_;
  free_slot_ = slot;
  --members_;
}

size_t Registry::MemoryBytes() const {
  size_t bytes = slots_.capacity() * sizeof(Member) + by_id_.MemoryBytes() +
                 by_address_.MemoryBytes() + by_hash_.MemoryBytes() +
                 swarms_.capacity() * sizeof(Swarm) + free_swarms_.capacity() * sizeof(uint32_t);
  for (const Swarm& s : swarms_) bytes += s.members.capacity() * sizeof(uint32_t);
  return bytes;
}

bool Registry::CheckInvariants() const {
  size_t used = 0;
  for (uint32_t slot = 0; slot < slots_.size(); ++slot) {
    const Member& m = slots_[slot];
    if (m.user_id == Member::kFreeId) continue;
    ++used;
    if (m.swarm >= swarms_.size() || !swarms_[m.swarm].used) return false;
    const std::vector<uint32_t>& list = swarms_[m.swarm].members;
    if (m.swarm_pos >= list.size() || list[m.swarm_pos] != slot) return false;
    if (FindMember(m.user_id) != slot || FindMemberAt(m.swarm, m.ip, m.port) != slot) return false;
  }
  if (used != members_ || by_id_.size() != members_ || by_address_.size() != members_) return false;
  size_t swarms = 0;
  size_t listed = 0;
  for (uint32_t index = 0; index < swarms_.size(); ++index) {
    const Swarm& s = swarms_[index];
    if (!s.used) continue;
    ++swarms;
    listed += s.members.size();
    if (s.members.empty() || FindSwarm(s.hash) != index) return false;
  }
  return swarms == swarm_count_ && by_hash_.size() == swarm_count_ && listed == members_;
}

}  // namespace brelvane::mainserver
