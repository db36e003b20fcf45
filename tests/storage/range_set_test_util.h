// SPDX-License-Identifier: MIT
// Helpers for the range set tests: sets drawn as string pictures ("xx__x___",
// one character per value from a base key, 'x' present, '_' absent), the
// stored ranges as a plain list, and an invariant check as a gtest assertion.
//
// Thread safety: test code, single-threaded.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/range_set.h"

namespace brelvane::testing_util {

template <typename Set>
using KeyOf = std::remove_cvref_t<decltype(std::declval<typename Set::Range>().lo)>;

template <typename Set>
using RangeList = std::vector<std::pair<KeyOf<Set>, KeyOf<Set>>>;

// Builds a set from a picture; character i stands for the value base + i.
template <typename Set>
Set FromPicture(std::string_view picture, KeyOf<Set> base = 0) {
  Set set;
  for (size_t i = 0; i < picture.size(); ++i) {
    if (picture[i] == 'x') set.Insert(static_cast<KeyOf<Set>>(base + i));
  }
  return set;
}

// Draws the values base .. base + width - 1 of a set.
template <typename Set>
std::string ToPicture(const Set& set, size_t width, KeyOf<Set> base = 0) {
  std::string picture;
  for (size_t i = 0; i < width; ++i) {
    picture += set.Contains(static_cast<KeyOf<Set>>(base + i)) ? 'x' : '_';
  }
  return picture;
}

template <typename Set>
RangeList<Set> RangesOf(const Set& set) {
  RangeList<Set> ranges;
  for (const auto& range : set.Ranges()) ranges.emplace_back(range.lo, range.hi);
  return ranges;
}

template <typename Set>
::testing::AssertionResult Valid(const Set& set) {
  std::string why;
  if (set.CheckInvariants(&why)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "invariant broken: " << why;
}

}  // namespace brelvane::testing_util
