// SPDX-License-Identifier: MIT
// SourceLimiter: what the main server remembers per source address (IPv4
// address and port): how many datagrams came in the current second, and when
// the last SCMessageRelogin went there.
//
// The memory is fixed at construction: a table of 4-way sets addressed by a
// seeded hash of the source.  A source not found in its set takes the way
// used longest ago.  So a flood from many addresses cannot grow the table; it
// can only make the limiter forget quiet sources (which then start afresh,
// erring towards admitting them).  A busy source is the most recently used of
// its set and is not forgotten.
//
// Times are the server's monotonic milliseconds.
//
// Thread safety: none; owned by the server core's one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brelvane::mainserver {

class SourceLimiter {
 public:
  static constexpr uint32_t kReloginIntervalMs = 1000;

  // `per_second`: datagrams admitted per source in one second, 0 for no
  // limit.  The table holds 4 << `sets_log2` sources.
  SourceLimiter(uint32_t per_second, uint32_t sets_log2, uint64_t hash_seed);

  // Counts one datagram from ip:port; false when the source has already had
  // its `per_second` datagrams in the current second.
  [[nodiscard]] bool Admit(uint32_t ip, uint16_t port, uint64_t now_ms);

  // True when no re-login went to ip:port in the last kReloginIntervalMs;
  // then it records one as sent now.
  [[nodiscard]] bool TakeRelogin(uint32_t ip, uint16_t port, uint64_t now_ms);

  size_t MemoryBytes() const { return entries_.capacity() * sizeof(Entry); }

 private:
  struct Entry {
    uint32_t ip = 0;
    uint32_t window = 0;      // second (now_ms / 1000 + 1) the count belongs to; 0: empty
    uint32_t count = 0;
    uint32_t relogin_ms = 0;  // low 32 bits of the last re-login time
    uint16_t port = 0;
    bool relogin_sent = false;
  };
  static constexpr size_t kWays = 4;

  Entry& Lookup(uint32_t ip, uint16_t port, uint32_t window);

  const uint32_t per_second_;
  const uint64_t seed_;
  const size_t set_mask_;
  std::vector<Entry> entries_;
};

}  // namespace brelvane::mainserver
