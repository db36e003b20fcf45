// SPDX-License-Identifier: MIT
// Positioning inside a RangeSet by rank, for the random picks of the storage
// engine (a random free part, a random verified part).
//
// Thread safety: reads the set only; the caller guards it.
#pragma once

#include <cstdint>

#include "storage/range_set.h"

namespace brelvane {

// An iterator at the value of rank `n` (0-based, ascending) of `set`: the
// place a value iterator reaches from begin() after n steps, found by skipping
// whole ranges.  REQUIRES: n < set.Size().
template <typename Set>
typename Set::ValueIterator NthValue(const Set& set, uint64_t n) {
  auto range = set.RangeBegin();
  while (n > static_cast<uint64_t>(range->hi - range->lo)) {
    n -= static_cast<uint64_t>(range->hi - range->lo) + 1;
    ++range;
  }
  return set.Find(static_cast<decltype(range->lo)>(range->lo + n));
}

}  // namespace brelvane
