// SPDX-License-Identifier: MIT
// SlotIndex: an open-addressing hash index over slot numbers of a table kept
// elsewhere.  Each cell holds only a slot number (4 bytes); the key lives in
// the slot itself, so the caller passes a predicate to compare it and a
// function that recomputes the hash of any stored slot (needed to grow and to
// close the gap a removal leaves).  Linear probing, load at most one half,
// removal by backward shift (no tombstones, so lookups never slow down after
// many removals).
//
// The hashes given must be seeded by the caller (MixHash with a random seed)
// so that remote parties cannot aim their keys at one probe chain.
//
// Thread safety: none; the owner serialises all use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brelvane::mainserver {

inline constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

// A 64-bit finaliser (splitmix64): every input bit reaches every output bit.
inline uint64_t MixHash(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

class SlotIndex {
 public:
  // The slot whose key `match(slot)` accepts among those stored under
  // `hash`, or kNoSlot.
  template <typename Match>
  uint32_t Find(uint64_t hash, Match&& match) const {
    if (cells_.empty()) return kNoSlot;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const uint32_t cell = cells_[i];
      if (cell == 0) return kNoSlot;
      if (match(cell - 1)) return cell - 1;
    }
  }

  // Stores `slot` under `hash`; `hash_of(slot)` must give the hash of any
  // stored slot.
  template <typename HashOf>
  void Insert(uint32_t slot, uint64_t hash, HashOf&& hash_of) {
    if ((count_ + 1) * 2 > cells_.size()) Grow(hash_of);
    Place(slot, hash);
    ++count_;
  }

  // Removes `slot`, stored under `hash`.  Nothing happens when it is absent.
  template <typename HashOf>
  void Erase(uint32_t slot, uint64_t hash, HashOf&& hash_of) {
    if (cells_.empty()) return;
    size_t hole = hash & mask_;
    for (;; hole = (hole + 1) & mask_) {
      if (cells_[hole] == 0) return;
      if (cells_[hole] == slot + 1) break;
    }
    // Shift later members of the chain back unless their home lies
    // cyclically in (hole, j]: there they are still reachable.
    for (size_t j = (hole + 1) & mask_; cells_[j] != 0; j = (j + 1) & mask_) {
      const size_t home = hash_of(cells_[j] - 1) & mask_;
      const bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
      if (reachable) continue;
      cells_[hole] = cells_[j];
      hole = j;
    }
    cells_[hole] = 0;
    --count_;
  }

  size_t size() const { return count_; }
  size_t MemoryBytes() const { return cells_.capacity() * sizeof(uint32_t); }

 private:
  void Place(uint32_t slot, uint64_t hash) {
    size_t i = hash & mask_;
    while (cells_[i] != 0) i = (i + 1) & mask_;
    cells_[i] = slot + 1;
  }

  template <typename HashOf>
  void Grow(HashOf&& hash_of) {
    std::vector<uint32_t> old;
    old.swap(cells_);
    cells_.assign(old.empty() ? 16 : old.size() * 2, 0);
    mask_ = cells_.size() - 1;
    for (uint32_t cell : old) {
      if (cell != 0) Place(cell - 1, hash_of(cell - 1));
    }
  }

  std::vector<uint32_t> cells_;  // slot + 1; 0 is an empty cell
  size_t mask_ = 0;
  size_t count_ = 0;
};

}  // namespace brelvane::mainserver
