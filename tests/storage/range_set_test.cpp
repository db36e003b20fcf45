// SPDX-License-Identifier: MIT
// RangeSet against a plain std::set model: many thousands of random steps of
// every operation, for both key widths, in windows of keys at the bottom of
// the key space, at the top, and straddling the wrap from max to 0.  After
// every step the invariants, the value count, the stored ranges (which must
// be the maximal runs of the model) and the value walk are compared; the
// invariants include the tree's balance, so a wider window with a deeper tree
// checks that too; self-aliased Merge, Intersect and assignment, copies and
// moves are steps too.  A hand case counts the whole key space.

#include "storage/range_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace brelvane {
namespace {

template <typename Set>
using KeyOf = std::remove_cvref_t<decltype(std::declval<typename Set::Range>().lo)>;
template <typename Set>
using RangeList = std::vector<std::pair<KeyOf<Set>, KeyOf<Set>>>;

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

template <typename Set>
class RandomRun {
 public:
  using K = KeyOf<Set>;
  using Model = std::set<K>;
  static constexpr K kMax = std::numeric_limits<K>::max();

  // Keys are base + offset (modulo the key width) for offset < width; a span
  // of offsets [p, q] is passed as [key(p), key(q)], a reversed (wrapped)
  // range when it crosses from max to 0.
  RandomRun(K base, uint32_t width, uint32_t seed) : base_(base), width_(width), random_(seed) {}

  void Run(int steps) {
    for (int step = 0; step < steps; ++step) {
      const std::string op = Step();
      ASSERT_TRUE(wrong_.empty() && Matches(set_, model_)) << "step " << step << ": " << op << " " << wrong_;
    }
  }

 private:
  K Key(uint32_t offset) const { return static_cast<K>(base_ + offset); }
  uint32_t Draw(uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(random_); }
  // A span of offsets, mostly short, and its keys.
  std::pair<uint32_t, uint32_t> Span() {
    const uint32_t first = Draw(width_), length = Draw(4) == 0 ? Draw(width_) : Draw(9);
    return {first, std::min(width_ - 1, first + length)};
  }
  Model Keys(uint32_t p, uint32_t q) const {
    Model keys;
    for (uint32_t o = p; o <= q; ++o) keys.insert(Key(o));
    return keys;
  }

  // The maximal runs of consecutive keys in numeric order.
  static RangeList<Set> Runs(const Model& model) {
    RangeList<Set> runs;
    for (K v : model) {
      if (!runs.empty() && runs.back().second != kMax && runs.back().second + 1 == v) {
        runs.back().second = v;
      } else {
        runs.emplace_back(v, v);
      }
    }
    return runs;
  }

  static ::testing::AssertionResult Matches(const Set& set, const Model& model) {
    const RangeList<Set> runs = Runs(model);
    bool ranked = set.RangeAt(static_cast<uint32_t>(runs.size())) == set.RangeEnd();
    for (uint32_t i = 0; i < runs.size(); ++i)
      ranked = ranked && std::make_pair(set.RangeAt(i)->lo, set.RangeAt(i)->hi) == runs[i];
    if (set.Size() == model.size() && set.Empty() == model.empty() && RangesOf(set) == runs && ranked &&
        std::equal(set.begin(), set.end(), model.begin(), model.end())) {
      return Valid(set);
    }
    return ::testing::AssertionFailure() << "size, ranges (in order or by rank) or value walk differ";
  }

  std::string Step() {
    const uint32_t choice = Draw(100);
    const auto [p, q] = Span();
    const K v = Key(p);
    Model keys = Keys(p, q);
    const std::string span = std::to_string(Key(p)) + ".." + std::to_string(Key(q));
    if (choice < 22) {
      set_.Insert(v);
      model_.insert(v);
      return "Insert " + span;
    }
    if (choice < 40) {
      auto next = set_.Erase(v);
      auto expected = model_.erase(v) == 1 ? model_.upper_bound(v) : model_.end();
      if (expected == model_.end() ? next != set_.end() : next == set_.end() || *next != *expected) {
        wrong_ = "returned a wrong next value";
      }
      return "Erase " + span;
    }
    if (choice < 60) {
      set_.InsertRange(Key(p), Key(q));
      model_.merge(keys);
      return "InsertRange " + span;
    }
    if (choice < 78) {
      set_.EraseRange(Key(p), Key(q));
      for (K k : keys) model_.erase(k);
      return "EraseRange " + span;
    }
    if (choice < 88) {
      const bool present = model_.count(v) == 1;
      const auto found = set_.Find(v);
      const bool all = std::includes(model_.begin(), model_.end(), keys.begin(), keys.end());
      if (set_.Contains(Key(p), Key(q)) != all || set_.Contains(v) != present ||
          (found != set_.end()) != present || (present && *found != v)) {
        wrong_ = "answered wrongly";
      }
      return "Contains/Find " + span;
    }
    if (choice < 91) return CheckInvert();
    if (choice < 99) {  // with a second random set of the same window
      Set other;
      Model other_model;
      for (uint32_t i = Draw(13); i > 0; --i) {
        const auto [a, b] = Span();
        other.InsertRange(Key(a), Key(b));
        other_model.merge(Keys(a, b));
      }
      if (choice < 95) {
        set_.Merge(other);
        model_.merge(other_model);
        return "Merge";
      }
      Model common;
      std::set_intersection(model_.begin(), model_.end(), other_model.begin(), other_model.end(),
                            std::inserter(common, common.end()));
      const Set copy = set_;
      choice % 2 == 0 ? set_.Intersect(set_, other) : set_.Intersect(other, copy);  // either may be this set
      model_ = common;
      return "Intersect";
    }
    Set copy = set_, target;
    copy.Merge(copy), copy.Intersect(copy, copy), copy = static_cast<const Set&>(copy);  // aliased: no change
    Set moved(std::move(copy));
    target.Insert(Key(q));
    target = std::move(moved);
    if (!Matches(target, model_) || !copy.Empty() || !moved.Empty()) wrong_ = "aliased, copied or moved";
    set_.Clear();
    model_.clear();
    return "Aliasing, copy, move and Clear";
  }

  // Inverts and compares with the gaps of the model (too many values to
  // enumerate), then inverts back, which must restore the set exactly.
  std::string CheckInvert() {
    RangeList<Set> gaps;
    K next_free = 0;
    bool open = true;  // no run reaches the maximum
    for (const auto& [lo, hi] : Runs(model_)) {
      if (lo != next_free) gaps.emplace_back(next_free, static_cast<K>(lo - 1));
      open = hi != kMax, next_free = static_cast<K>(hi + 1);
    }
    if (open) gaps.emplace_back(next_free, kMax);
    const Set before = set_;
    set_.Invert();
    const uint64_t all = static_cast<uint64_t>(kMax) + 1;  // wraps to 0 for 64 bits
    if (!Valid(set_) || RangesOf(set_) != gaps || set_.Size() != all - model_.size() || set_.Empty()) {
      wrong_ = "inverted wrongly";
    }
    set_.Invert();
    if (wrong_.empty() && !(set_ == before)) wrong_ = "twice did not restore the set";
    return "Invert";
  }

  const K base_;
  const uint32_t width_;
  std::mt19937 random_;
  Set set_;
  Model model_;
  std::string wrong_;  // set when an operation answered wrongly
};

template <typename Set>
class RangeSetTest : public ::testing::Test {};
using KeyWidths = ::testing::Types<RangeSet32, RangeSet64>;
TYPED_TEST_SUITE(RangeSetTest, KeyWidths);

TYPED_TEST(RangeSetTest, MatchesModelInWindowsAtBottomTopAndAcrossTheWrap) {
  using K = KeyOf<TypeParam>;
  constexpr K kMax = std::numeric_limits<K>::max();
  constexpr uint32_t kWidth = 300;
  const struct { K base; uint32_t width; int steps; } windows[] = {
      {0, kWidth, 20000}, {static_cast<K>(kMax - (kWidth - 1)), kWidth, 20000},
      {static_cast<K>(kMax - (kWidth / 2 - 1)), kWidth, 20000}, {K{1} << 20, 4000, 10000}};  // wider: deeper
  uint32_t seed = 101;
  for (const auto& w : windows) {
    SCOPED_TRACE("base " + std::to_string(w.base));
    RandomRun<TypeParam>(w.base, w.width, seed += 101).Run(w.steps);
  }
}

TEST(RangeSetTest, CountsOfTheWholeKeySpace) {
  RangeSet64 wide;
  wide.InsertRange(0, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(std::pair(wide.Empty(), wide.Size()), std::pair(false, uint64_t{0}));  // 2^64, modulo 2^64
  wide.EraseRange(10, 19);
  EXPECT_EQ(wide.Size(), 0u - uint64_t{10});
  RangeSet32 narrow;
  narrow.Invert();
  EXPECT_EQ(narrow.Size(), uint64_t{1} << 32);
  narrow.Erase(0), narrow.Erase(0xFFFFFFFFu);
  EXPECT_EQ(narrow.Size(), (uint64_t{1} << 32) - 2);
  narrow.Invert();
  EXPECT_EQ(RangesOf(narrow), (RangeList<RangeSet32>{{0, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu}}));
  EXPECT_TRUE(Valid(wide) && Valid(narrow));
}

}  // namespace
}  // namespace brelvane
