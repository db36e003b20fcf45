// SPDX-License-Identifier: MIT
// HttpMirrorTable: the HTTP mirrors the download manager may use, with a
// score each, and a count of data blocks received per server address.
//
// A mirror is never dropped for failing; its score grows instead (+1 each
// time it is picked, +5 for a connection or transfer failure, +10 for an
// unacceptable answer), and PickMirror always takes the lowest score, the
// earliest entry on a tie.  So the manager, which picks one mirror per
// Restart, drifts away from a failing mirror and takes turns between equal
// ones.  Entries get the ids -1, -2, -3, ... in insertion order.
//
// The address counts feed the statistics report (TopAddresses).
//
// Thread safety: every operation takes the table's one lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace brelvane {

struct MirrorEntry {
  int32_t id = 0;
  std::string url;  // base URL of the mirror
  int32_t score = 0;
};

class HttpMirrorTable {
 public:
  // Appends a mirror with score 0 and returns its id.
  int32_t Add(const std::string& url);
  // Appends every URL in order.
  void AddAll(const std::vector<std::string>& urls);
  // Removes the entry with `id`; false when there is none.
  [[nodiscard]] bool Remove(int32_t id);
  void Clear();

  // Takes the entry with the smallest score (the first such in insertion
  // order), adds 1 to its score and copies it, as it is now, to `*out`.
  // False when the table is empty.
  [[nodiscard]] bool PickMirror(MirrorEntry* out);
  // Adds `amount` to the score of entry `id` (nothing when there is none).
  void Penalize(int32_t id, int32_t amount);

  // Counts one data block received from the IPv4 address (host order).
  void CountAddress(uint32_t ip);
  // Up to `maximum` addresses, most blocks first (earliest seen first on a
  // tie).
  std::vector<uint32_t> TopAddresses(size_t maximum) const;
  // Every address counted, with its count, in the order first seen.
  std::vector<std::pair<uint32_t, uint32_t>> AddressCounts() const;

  std::vector<MirrorEntry> Entries() const;
  size_t size() const;

 private:
  struct AddressHits {
    uint32_t ip;
    uint32_t count;
  };

  mutable std::mutex mu_;
  std::vector<MirrorEntry> entries_;     // guarded by mu_, insertion order
  std::vector<AddressHits> address_hits_;  // guarded by mu_, first-seen order
  int32_t next_id_ = -1;                 // guarded by mu_
};

}  // namespace brelvane
