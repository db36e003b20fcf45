// SPDX-License-Identifier: MIT
#include "tools/mainserver/source_limiter.h"

#include "tools/mainserver/slot_index.h"

namespace brelvane::mainserver {

SourceLimiter::SourceLimiter(uint32_t per_second, uint32_t sets_log2, uint64_t hash_seed)
    : per_second_(per_second),
      seed_(hash_seed),
      set_mask_((size_t{1} << sets_log2) - 1),
      entries_((size_t{1} << sets_log2) * kWays) {}

SourceLimiter::Entry& SourceLimiter::Lookup(uint32_t ip, uint16_t port, uint32_t window) {
  const uint64_t key = (static_cast<uint64_t>(ip) << 16) | port;
  Entry* set = &entries_[(MixHash(key ^ seed_) & set_mask_) * kWays];
  Entry* victim = &set[0];
  for (size_t way = 0; way < kWays; ++way) {
    Entry& e = set[way];
    if (e.window != 0 && e.ip == ip && e.port == port) {
      if (e.window != window) {
        e.window = window;
        e.count = 0;
      }
      return e;
    }
    if (e.window < victim->window) victim = &e;
  }
  *victim = Entry{};
  victim->ip = ip;
  victim->port = port;
  victim->window = window;
  return *victim;
}

bool SourceLimiter::Admit(uint32_t ip, uint16_t port, uint64_t now_ms) {
  Entry& e = Lookup(ip, port, static_cast<uint32_t>(now_ms / 1000 + 1));
  if (e.count != UINT32_MAX) ++e.count;
  return per_second_ == 0 || e.count <= per_second_;
}

bool SourceLimiter::TakeRelogin(uint32_t ip, uint16_t port, uint64_t now_ms) {
  Entry& e = Lookup(ip, port, static_cast<uint32_t>(now_ms / 1000 + 1));
  const uint32_t now = static_cast<uint32_t>(now_ms);
  if (e.relogin_sent && now - e.relogin_ms < kReloginIntervalMs) return false;
  e.relogin_sent = true;
  e.relogin_ms = now;
  return true;
}

}  // namespace brelvane::mainserver
