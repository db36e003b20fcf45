// SPDX-License-Identifier: MIT
#include "storage/block_allocator.h"

#include "storage/range_pick.h"
#include "storage/storage_random.h"

namespace brelvane {

void FileBlockAllocator::Init(uint32_t part_count) {
  free_.Clear();
  requested_.Clear();
  done_.Clear();
  part_count_ = part_count;
  if (part_count > 0) free_.InsertRange(0, part_count - 1);
}

bool FileBlockAllocator::Take(uint32_t p) {
  if (!free_.Contains(p)) return false;
  free_.Erase(p);
  requested_.Insert(p);
  return true;
}

void FileBlockAllocator::Release(uint32_t p) {
  if (!requested_.Contains(p)) return;
  requested_.Erase(p);
  free_.Insert(p);
}

void FileBlockAllocator::Complete(uint32_t p) {
  if (free_.Contains(p)) {
    free_.Erase(p);
    done_.Insert(p);
  } else if (requested_.Contains(p)) {
    requested_.Erase(p);
    done_.Insert(p);
  }
}

void FileBlockAllocator::Reopen(uint32_t p) {
  if (!done_.Contains(p)) return;
  done_.Erase(p);
  free_.Insert(p);
}

void FileBlockAllocator::ReleaseAll() {
  free_.Merge(requested_);
  requested_.Clear();
}

void FileBlockAllocator::HandOut(uint32_t first, uint32_t last) {
  requested_.InsertRange(first, last);
  free_.EraseRange(first, last);
}

uint32_t FileBlockAllocator::Allocate(uint32_t* n, bool fallback) {
  const uint32_t want = *n;
  if (free_.Empty() || want == 0) return kNoPart;
  const uint32_t k = free_.RangeCount();
  auto it = free_.RangeAt(StorageRandom() % k);

  RangeSet32::Range longest{1, 0};
  uint64_t longest_length = 0;
  for (uint32_t visited = 0; visited < k; ++visited) {
    const RangeSet32::Range range = *it;
    const uint64_t length = static_cast<uint64_t>(range.hi) - range.lo + 1;
    if (length >= want) {
      uint32_t start = range.lo;
      // Never the last possible start (lo + length - want): the range's end
      // stays free for a neighbour's request.
      if (length > want) start += static_cast<uint32_t>(StorageRandom() % (length - want));
      HandOut(start, start + want - 1);
      return start;
    }
    if (length > longest_length) {
      longest = range;
      longest_length = length;
    }
    if (++it == free_.RangeEnd()) it = free_.RangeBegin();
  }
  if (!fallback) return kNoPart;
  HandOut(longest.lo, longest.hi);
  *n = static_cast<uint32_t>(longest_length);
  return longest.lo;
}

uint32_t FileBlockAllocator::AllocateRandom(uint32_t n) { return Allocate(&n, false); }

uint32_t FileBlockAllocator::AllocateUpTo(uint32_t* n) { return Allocate(n, true); }

uint32_t FileBlockAllocator::PickRandomFree(uint32_t maximum, uint32_t* out) const {
  if (free_.Empty() || maximum == 0) return 0;
  auto it = NthValue(free_, static_cast<uint64_t>(StorageRandom()) % free_.Size());
  const auto start = it;
  uint32_t count = 0;
  do {
    out[count++] = *it;
    if (++it == free_.end()) it = free_.begin();
  } while (it != start && count < maximum);
  return count;
}

bool FileBlockAllocator::CheckInvariants(std::string* why) const {
  RangeSet32 both;
  both.Intersect(free_, requested_);
  RangeSet32 with_done;
  with_done.Intersect(free_, done_);
  RangeSet32 requested_done;
  requested_done.Intersect(requested_, done_);
  if (!both.Empty() || !with_done.Empty() || !requested_done.Empty()) {
    *why = "a part is in two states";
    return false;
  }
  RangeSet32 all = free_;
  all.Merge(requested_);
  all.Merge(done_);
  const bool covers = part_count_ == 0 ? all.Empty()
                                       : all.Size() == part_count_ && all.RangeCount() == 1 &&
                                             all.Contains(0, part_count_ - 1);
  if (!covers) {
    *why = "the states do not cover [0, part count - 1]";
    return false;
  }
  return true;
}

}  // namespace brelvane
