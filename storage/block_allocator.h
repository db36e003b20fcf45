// SPDX-License-Identifier: MIT
// Per-file block allocation: every part of a file is in exactly one of three
// states, free (nobody fetches it, not done), requested (handed to a
// downloader) or done (verified).  Downloaders get free parts at random, so
// that many clients of one release spread their requests; abandoned parts go
// back to free; parts found bad go from done back to free.
//
//   free --Take/allocation--> requested --Complete--> done --Reopen--> free
//   requested --Release--> free;   free --Complete--> done (data unasked)
//
// Invariant: the three sets are disjoint; after Init their union is
// [0, part count - 1].  Operations on parts outside that range change nothing.
//
// Thread safety: none; BlockStates (storage/block_states.h) guards every
// allocator with its lock.
#pragma once

#include <cstdint>
#include <string>

#include "storage/range_set.h"
#include "storage/uid.h"

namespace brelvane {

class IAllocator {
 public:
  virtual ~IAllocator() = default;
  // Hands out a run of exactly `n` free parts (moved to requested) and
  // returns its first part, or kNoPart (changing nothing) when no free run
  // is that long.
  virtual uint32_t AllocateRandom(uint32_t n) = 0;
  // Free -> requested; false when `p` was not free.
  [[nodiscard]] virtual bool Take(uint32_t p) = 0;
  // Requested -> free; anything else unchanged.
  virtual void Release(uint32_t p) = 0;
  // Free or requested -> done.
  virtual void Complete(uint32_t p) = 0;
  // Done -> free.
  virtual void Reopen(uint32_t p) = 0;
  // Every part [0, part_count - 1] free; nothing requested or done.
  virtual void Init(uint32_t part_count) = 0;
  virtual bool IsRequested(uint32_t p) const = 0;
};

class FileBlockAllocator : public IAllocator {
 public:
  uint32_t AllocateRandom(uint32_t n) override;
  [[nodiscard]] bool Take(uint32_t p) override;
  void Release(uint32_t p) override;
  void Complete(uint32_t p) override;
  void Reopen(uint32_t p) override;
  void Init(uint32_t part_count) override;
  bool IsRequested(uint32_t p) const override { return requested_.Contains(p); }

  bool IsDone(uint32_t p) const { return done_.Contains(p); }
  bool IsFree(uint32_t p) const { return free_.Contains(p); }
  bool HasFree() const { return !free_.Empty(); }
  uint32_t part_count() const { return part_count_; }

  // Hands out a run of up to `*n` free parts: the first free range (from a
  // random one on) that is long enough, at a random start inside it, else
  // the whole longest free range, with `*n` set to its length.  Returns the
  // first part, or kNoPart when nothing is free (or `*n` is 0).
  uint32_t AllocateUpTo(uint32_t* n);
  uint32_t AllocateUpTo() {
    uint32_t n = 1;
    return AllocateUpTo(&n);
  }

  // Every requested part becomes free.
  void ReleaseAll();

  // Writes up to `maximum` free parts to `out`, starting at a random free
  // part and wrapping; changes nothing.  Returns the count.
  uint32_t PickRandomFree(uint32_t maximum, uint32_t* out) const;

  const RangeSet32& free_parts() const { return free_; }
  const RangeSet32& requested_parts() const { return requested_; }
  const RangeSet32& done_parts() const { return done_; }

  // The invariant above; describes the first fault in `why`.
  [[nodiscard]] bool CheckInvariants(std::string* why) const;

 private:
  // The walk shared by both allocations; with `fallback`, a run shorter than
  // asked is handed out when nothing longer exists.
  uint32_t Allocate(uint32_t* n, bool fallback);
  void HandOut(uint32_t first, uint32_t last);

  RangeSet32 free_;
  RangeSet32 requested_;
  RangeSet32 done_;
  uint32_t part_count_ = 0;
};

}  // namespace brelvane
