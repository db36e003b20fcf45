// SPDX-License-Identifier: MIT
// RangeSet behaviour on hand-drawn cases, for both key widths.

#include "storage/range_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "tests/storage/range_set_test_util.h"

namespace brelvane {
namespace {

using testing_util::FromPicture;
using testing_util::RangesOf;
using testing_util::ToPicture;
using testing_util::Valid;

template <typename Set>
class RangeSetTest : public ::testing::Test {
 protected:
  using K = testing_util::KeyOf<Set>;
  using Ranges = testing_util::RangeList<Set>;
  static constexpr K kMax = std::numeric_limits<K>::max();

  static Set Make(std::initializer_list<std::pair<K, K>> ranges) {
    Set set;
    for (const auto& [lo, hi] : ranges) set.InsertRange(lo, hi);
    return set;
  }
};

using KeyWidths = ::testing::Types<RangeSet32, RangeSet64>;
TYPED_TEST_SUITE(RangeSetTest, KeyWidths);

TYPED_TEST(RangeSetTest, StartsEmpty) {
  TypeParam set;
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.Size(), 0u);
  EXPECT_EQ(set.RangeCount(), 0u);
  EXPECT_FALSE(set.Contains(0));
  EXPECT_FALSE(set.Contains(0, this->kMax));
  EXPECT_TRUE(set.begin() == set.end());
  EXPECT_TRUE(set.RangeBegin() == set.RangeEnd());
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, InsertFillingGapJoinsBothNeighbours) {
  TypeParam set = this->Make({{1, 4}, {6, 9}});
  set.Insert(5);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{1, 9}}));
  EXPECT_EQ(set.Size(), 9u);
  EXPECT_EQ(set.RangeCount(), 1u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, InsertOfPresentValueChangesNothing) {
  TypeParam set = this->Make({{1, 9}});
  set.Insert(5);
  set.Insert(1);
  set.Insert(9);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{1, 9}}));
  EXPECT_EQ(set.Size(), 9u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, InsertJoinsOneSideOrStandsAlone) {
  auto set = FromPicture<TypeParam>("_xx___xx__");
  set.Insert(3);  // Extends [1, 2] upwards.
  EXPECT_EQ(ToPicture(set, 10), "_xxx__xx__");
  set.Insert(5);  // Extends [6, 7] downwards.
  EXPECT_EQ(ToPicture(set, 10), "_xxx_xxx__");
  set.Insert(9);  // Alone.
  EXPECT_EQ(ToPicture(set, 10), "_xxx_xxx_x");
  set.Insert(0);
  EXPECT_EQ(ToPicture(set, 10), "xxxx_xxx_x");
  EXPECT_EQ(set.RangeCount(), 3u);
  EXPECT_EQ(set.Size(), 8u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, InsertAtEndsOfKeySpaceDoesNotWrap) {
  const auto kMax = this->kMax;
  TypeParam top = this->Make({{kMax, kMax}});
  top.Insert(0);
  EXPECT_EQ(RangesOf(top), (typename TestFixture::Ranges{{0, 0}, {kMax, kMax}}));
  top.Insert(kMax - 1);
  top.Insert(1);
  EXPECT_EQ(RangesOf(top), (typename TestFixture::Ranges{{0, 1}, {kMax - 1, kMax}}));
  EXPECT_EQ(top.Size(), 4u);
  EXPECT_TRUE(Valid(top));

  TypeParam bottom = this->Make({{0, 0}});
  bottom.Insert(kMax);
  EXPECT_EQ(RangesOf(bottom), (typename TestFixture::Ranges{{0, 0}, {kMax, kMax}}));
  EXPECT_EQ(bottom.Size(), 2u);
  EXPECT_TRUE(Valid(bottom));
}

TYPED_TEST(RangeSetTest, InsertRangeDoesNotCountOverlapTwice) {
  TypeParam set = this->Make({{1, 4}, {6, 9}});
  set.InsertRange(3, 7);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{1, 9}}));
  EXPECT_EQ(set.Size(), 9u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, InsertRangeJoinsTouchingNeighbours) {
  auto set = FromPicture<TypeParam>("xx_____xx___x");
  set.InsertRange(2, 3);  // Joins below only.
  EXPECT_EQ(ToPicture(set, 13), "xxxx___xx___x");
  set.InsertRange(5, 6);  // Joins above only.
  EXPECT_EQ(ToPicture(set, 13), "xxxx_xxxx___x");
  set.InsertRange(10, 10);  // Alone.
  EXPECT_EQ(ToPicture(set, 13), "xxxx_xxxx_x_x");
  set.InsertRange(4, 4);  // Joins both.
  EXPECT_EQ(ToPicture(set, 13), "xxxxxxxxx_x_x");
  set.InsertRange(9, 12);  // Swallows [10, 10] and joins both.
  EXPECT_EQ(ToPicture(set, 13), "xxxxxxxxxxxxx");
  EXPECT_EQ(set.RangeCount(), 1u);
  EXPECT_EQ(set.Size(), 13u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, InsertRangeAtEndsOfKeySpaceDoesNotWrap) {
  const auto kMax = this->kMax;
  TypeParam set = this->Make({{kMax - 1, kMax}});
  set.InsertRange(0, 3);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{0, 3}, {kMax - 1, kMax}}));
  set.InsertRange(kMax - 5, kMax - 2);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{0, 3}, {kMax - 5, kMax}}));
  EXPECT_EQ(set.Size(), 10u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, ReversedInsertRangeWrapsAroundKeySpace) {
  const auto kMax = this->kMax;
  TypeParam set;
  set.InsertRange(10, 2);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{0, 2}, {10, kMax}}));
  EXPECT_EQ(set.Size(), static_cast<uint64_t>(kMax - 10) + 1 + 3);
  EXPECT_TRUE(set.Contains(kMax - 1, 1));
  EXPECT_FALSE(set.Contains(kMax - 1, 3));
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, EraseRangeInsideOneRangeSplitsIt) {
  TypeParam set = this->Make({{1, 9}});
  set.EraseRange(3, 6);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{1, 2}, {7, 9}}));
  EXPECT_EQ(set.Size(), 5u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, EraseRangeTrimsOrRemovesOneRange) {
  auto set = FromPicture<TypeParam>("_xxxxxxxx_");
  set.EraseRange(1, 2);  // Cuts the start.
  EXPECT_EQ(ToPicture(set, 10), "___xxxxxx_");
  set.EraseRange(7, 8);  // Cuts the end.
  EXPECT_EQ(ToPicture(set, 10), "___xxxx___");
  EXPECT_EQ(set.Size(), 4u);
  set.EraseRange(3, 6);  // Exactly the range.
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.RangeCount(), 0u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, EraseRangeCoveringEverythingEmptiesSet) {
  TypeParam set = this->Make({{10, 20}});
  set.EraseRange(0, 100);
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.Size(), 0u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, EraseRangeAcrossSeveralRangesKeepsOutsideParts) {
  TypeParam set = this->Make({{1, 5}, {10, 20}, {30, 40}});
  set.EraseRange(3, 35);
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{1, 2}, {36, 40}}));
  EXPECT_EQ(set.Size(), 7u);
  EXPECT_TRUE(Valid(set));

  TypeParam other = this->Make({{1, 10}, {20, 25}});
  other.EraseRange(22, 30);
  EXPECT_EQ(RangesOf(other), (typename TestFixture::Ranges{{1, 10}, {20, 21}}));
  EXPECT_EQ(other.Size(), 12u);
  EXPECT_TRUE(Valid(other));
}

TYPED_TEST(RangeSetTest, EraseRangeOverPicturesRemovesExactlyTheSpan) {
  struct Case {
    const char* before;
    int lo, hi;
    const char* after;
  };
  const Case cases[] = {
      {"xxx_xxx_xxx_xxx", 2, 12, "xx___________xx"},  // Trims both ends, drops two.
      {"xxx_xxx_xxx_xxx", 3, 11, "xxx_________xxx"},  // Gaps at both ends.
      {"xxx_xxx_xxx_xxx", 4, 10, "xxx_________xxx"},  // Exact whole ranges.
      {"xxx_xxx_xxx_xxx", 0, 14, "_______________"},
      {"xxx_____xxx____", 4, 6, "xxx_____xxx____"},   // Nothing in between.
      {"xxx_____xxx____", 3, 8, "xxx______xx____"},
      {"x_x_x_x_x_x_x_x", 1, 13, "x_____________x"},
  };
  for (const Case& c : cases) {
    auto set = FromPicture<TypeParam>(c.before);
    set.EraseRange(c.lo, c.hi);
    EXPECT_EQ(ToPicture(set, 15), c.after) << c.before << " erase " << c.lo << ".." << c.hi;
    const auto expected = FromPicture<TypeParam>(c.after);
    EXPECT_EQ(set.Size(), expected.Size()) << c.before;
    EXPECT_EQ(set.RangeCount(), expected.RangeCount()) << c.before;
    EXPECT_TRUE(Valid(set)) << c.before;
  }
}

TYPED_TEST(RangeSetTest, ReversedEraseRangeWrapsAroundKeySpace) {
  const auto kMax = this->kMax;
  TypeParam set = this->Make({{0, 10}, {100, 200}, {kMax - 10, kMax}});
  set.EraseRange(kMax - 4, 4);
  EXPECT_EQ(RangesOf(set),
            (typename TestFixture::Ranges{{5, 10}, {100, 200}, {kMax - 10, kMax - 5}}));
  EXPECT_EQ(set.Size(), 6u + 101u + 6u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, EraseOfAbsentValueReturnsEndAndChangesNothing) {
  TypeParam set = this->Make({{1, 4}, {6, 9}});
  EXPECT_TRUE(set.Erase(5) == set.end());
  EXPECT_TRUE(set.Erase(100) == set.end());
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{1, 4}, {6, 9}}));
  EXPECT_EQ(set.Size(), 8u);
  TypeParam empty;
  EXPECT_TRUE(empty.Erase(0) == empty.end());
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, EraseReturnsIteratorAtNextValue) {
  auto set = FromPicture<TypeParam>("_xxxxx__xx_x");
  auto next = set.Erase(3);  // Splits [1, 5].
  ASSERT_TRUE(next != set.end());
  EXPECT_EQ(*next, 4u);
  EXPECT_EQ(ToPicture(set, 12), "_xx_xx__xx_x");
  next = set.Erase(5);  // End of a range: next is the following range.
  ASSERT_TRUE(next != set.end());
  EXPECT_EQ(*next, 8u);
  next = set.Erase(8);  // Start of a range.
  ASSERT_TRUE(next != set.end());
  EXPECT_EQ(*next, 9u);
  next = set.Erase(9);  // A single-value range disappears.
  ASSERT_TRUE(next != set.end());
  EXPECT_EQ(*next, 11u);
  next = set.Erase(11);  // The last value.
  EXPECT_TRUE(next == set.end());
  EXPECT_EQ(ToPicture(set, 12), "_xx_x_______");
  EXPECT_EQ(set.Size(), 3u);
  EXPECT_TRUE(Valid(set));
  // The returned iterator walks on through the rest of the set.
  next = set.Erase(1);
  std::vector<uint64_t> rest;
  for (; next != set.end() && rest.size() < 10; ++next) rest.push_back(*next);
  EXPECT_EQ(rest, (std::vector<uint64_t>{2, 4}));
}

TYPED_TEST(RangeSetTest, ContainsNeedsOneRangeCoveringTheSpan) {
  TypeParam joined;
  joined.InsertRange(1, 4);
  joined.InsertRange(5, 9);
  EXPECT_EQ(joined.RangeCount(), 1u);
  EXPECT_TRUE(joined.Contains(2, 8));
  EXPECT_TRUE(joined.Contains(1, 9));
  EXPECT_FALSE(joined.Contains(0, 9));
  EXPECT_FALSE(joined.Contains(1, 10));

  TypeParam split = this->Make({{1, 4}, {6, 9}});
  EXPECT_FALSE(split.Contains(2, 8));
  EXPECT_TRUE(split.Contains(6, 9));
  EXPECT_TRUE(split.Contains(4, 4));
  EXPECT_FALSE(split.Contains(5, 5));
}

TYPED_TEST(RangeSetTest, InvertOfEmptySetIsWholeKeySpaceAndBack) {
  const auto kMax = this->kMax;
  TypeParam set;
  set.Invert();
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{0, kMax}}));
  EXPECT_FALSE(set.Empty());
  EXPECT_TRUE(set.Contains(0, kMax));
  EXPECT_TRUE(Valid(set));
  set.Invert();
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.Size(), 0u);
  EXPECT_EQ(set.RangeCount(), 0u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, InvertReplacesRangesByGaps) {
  const auto kMax = this->kMax;
  TypeParam inner = this->Make({{3, 5}, {9, 9}});
  inner.Invert();
  EXPECT_EQ(RangesOf(inner), (typename TestFixture::Ranges{{0, 2}, {6, 8}, {10, kMax}}));
  EXPECT_EQ(inner.Size(), static_cast<uint64_t>(kMax) + 1 - 4);  // Wraps for 64 bits.
  EXPECT_TRUE(Valid(inner));

  TypeParam at_ends = this->Make({{0, 2}, {7, 7}, {kMax - 1, kMax}});
  at_ends.Invert();
  EXPECT_EQ(RangesOf(at_ends), (typename TestFixture::Ranges{{3, 6}, {8, kMax - 2}}));
  EXPECT_TRUE(Valid(at_ends));
  at_ends.Invert();
  EXPECT_EQ(RangesOf(at_ends), (typename TestFixture::Ranges{{0, 2}, {7, 7}, {kMax - 1, kMax}}));
  EXPECT_EQ(at_ends.Size(), 6u);
  EXPECT_TRUE(Valid(at_ends));
}

TYPED_TEST(RangeSetTest, MergeIsUnion) {
  auto set = FromPicture<TypeParam>("xx___x____x___");
  const auto other = FromPicture<TypeParam>("__x_xx__xxx___");
  set.Merge(other);
  EXPECT_EQ(ToPicture(set, 14), "xxx_xx__xxx___");
  EXPECT_EQ(set.Size(), 8u);
  EXPECT_EQ(set.RangeCount(), 3u);
  EXPECT_TRUE(Valid(set));
  set.Merge(set);  // Union with itself.
  EXPECT_EQ(ToPicture(set, 14), "xxx_xx__xxx___");
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, IntersectKeepsCommonValues) {
  const auto a = FromPicture<TypeParam>("xxxxx__xxxxxx_x_xx");
  const auto b = FromPicture<TypeParam>("_xx_xxxx_x_xxxxx__");
  TypeParam result = this->Make({{100, 200}});  // Replaced, not merged.
  result.Intersect(a, b);
  EXPECT_EQ(ToPicture(result, 40), "_xx_x__x_x_xx_x_________________________");
  EXPECT_EQ(result.Size(), 8u);
  EXPECT_TRUE(Valid(result));

  TypeParam self = a;
  self.Intersect(self, b);  // Either argument may be this set.
  EXPECT_EQ(self, result);
  self = b;
  self.Intersect(a, self);
  EXPECT_EQ(self, result);
  TypeParam none;
  self.Intersect(a, none);
  EXPECT_TRUE(self.Empty());
  EXPECT_TRUE(Valid(self));
}

TYPED_TEST(RangeSetTest, CopiesAreDeepAndMovesEmptyTheSource) {
  auto original = FromPicture<TypeParam>("x_xx_xxx_xxxx");
  TypeParam copy(original);
  copy.Insert(1);
  copy.EraseRange(9, 12);
  EXPECT_EQ(ToPicture(original, 13), "x_xx_xxx_xxxx");
  EXPECT_EQ(ToPicture(copy, 13), "xxxx_xxx_____");
  EXPECT_TRUE(Valid(original));
  EXPECT_TRUE(Valid(copy));

  TypeParam assigned;
  assigned.InsertRange(50, 60);
  assigned = original;
  EXPECT_EQ(assigned, original);
  assigned = static_cast<const TypeParam&>(assigned);
  EXPECT_EQ(assigned, original);
  EXPECT_TRUE(Valid(assigned));

  TypeParam moved(std::move(assigned));
  EXPECT_EQ(moved, original);
  EXPECT_TRUE(assigned.Empty());  // NOLINT(bugprone-use-after-move): moved-from is empty.
  EXPECT_TRUE(Valid(assigned));
  TypeParam target = this->Make({{7, 8}});
  target = std::move(moved);
  EXPECT_EQ(target, original);
  EXPECT_TRUE(Valid(target));
}

TYPED_TEST(RangeSetTest, IteratesValuesAndRangesInOrder) {
  const auto kMax = this->kMax;
  TypeParam set = this->Make({{kMax - 1, kMax}, {5, 7}, {0, 0}});
  std::vector<uint64_t> values(set.begin(), set.end());
  EXPECT_EQ(values, (std::vector<uint64_t>{0, 5, 6, 7, kMax - 1, kMax}));
  EXPECT_EQ(RangesOf(set), (typename TestFixture::Ranges{{0, 0}, {5, 7}, {kMax - 1, kMax}}));

  auto at = set.Find(6);
  ASSERT_TRUE(at != set.end());
  EXPECT_EQ(*at, 6u);
  EXPECT_EQ(*++at, 7u);
  EXPECT_EQ(*++at, kMax - 1);
  EXPECT_TRUE(set.Find(4) == set.end());
  EXPECT_TRUE(set.Find(kMax) != set.end());
  EXPECT_TRUE(++set.Find(kMax) == set.end());
}

TYPED_TEST(RangeSetTest, ClearEmptiesEverything) {
  auto set = FromPicture<TypeParam>("x_x_x_x_x");
  set.Clear();
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.RangeCount(), 0u);
  EXPECT_TRUE(set.begin() == set.end());
  set.Insert(3);
  EXPECT_EQ(set.Size(), 1u);
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, ConsecutiveInsertsCollapseToOneNode) {
  TypeParam set;
  for (uint32_t v = 1; v <= 1000; ++v) set.Insert(v);
  EXPECT_EQ(set.RangeCount(), 1u);
  EXPECT_EQ(set.tree().root()->NodeCount(), 1u);
  EXPECT_EQ(set.Size(), 1000u);
  EXPECT_TRUE(set.Contains(1, 1000));
  EXPECT_TRUE(Valid(set));
}

TYPED_TEST(RangeSetTest, SeparatedInsertsInAnyOrderStayBalanced) {
  std::vector<uint32_t> evens(1001);
  for (uint32_t i = 0; i < evens.size(); ++i) evens[i] = 2 * i;
  std::vector<std::vector<uint32_t>> orders = {evens, {evens.rbegin(), evens.rend()}};
  std::mt19937 random(7);
  for (int i = 0; i < 5; ++i) {
    std::shuffle(evens.begin(), evens.end(), random);
    orders.push_back(evens);
  }
  for (const auto& order : orders) {
    TypeParam set;
    for (uint32_t v : order) set.Insert(v);
    EXPECT_EQ(set.RangeCount(), 1001u);
    EXPECT_EQ(set.tree().root()->NodeCount(), 1001u);
    EXPECT_LE(set.tree().root()->Height(), 14u);
    EXPECT_EQ(set.Size(), 1001u);
    EXPECT_TRUE(Valid(set));
  }
}

// The 64-bit set of a part under assembly: all bytes missing, chunks arrive
// out of order, and only the last chunk makes the set empty.
TEST(RangeSet64Test, PartAssemblyBecomesEmptyOnlyWithLastChunk) {
  constexpr uint64_t kPartLength = 1u << 20;
  constexpr uint64_t kChunk = 4096 + 17;  // Chunks do not line up with anything.
  const uint64_t base = uint64_t{5} << 32;  // Byte offsets beyond 4 GiB.
  RangeSet64 missing;
  missing.InsertRange(base, base + kPartLength - 1);
  std::vector<uint64_t> starts;
  for (uint64_t at = 0; at < kPartLength; at += kChunk) starts.push_back(at);
  std::mt19937_64 random(11);
  std::shuffle(starts.begin(), starts.end(), random);
  uint64_t remaining = kPartLength;
  for (size_t i = 0; i < starts.size(); ++i) {
    const uint64_t length = std::min(kChunk, kPartLength - starts[i]);
    missing.EraseRange(base + starts[i], base + starts[i] + length - 1);
    remaining -= length;
    ASSERT_EQ(missing.Size(), remaining);
    ASSERT_EQ(missing.Empty(), i + 1 == starts.size());
  }
  EXPECT_TRUE(Valid(missing));
}

TEST(RangeSet64Test, FullKeySpaceIsNotEmptyThoughItsCountWraps) {
  RangeSet64 set;
  set.InsertRange(0, std::numeric_limits<uint64_t>::max());
  EXPECT_FALSE(set.Empty());
  EXPECT_EQ(set.Size(), 0u);  // 2^64 values, counted modulo 2^64.
  EXPECT_EQ(set.RangeCount(), 1u);
  EXPECT_TRUE(Valid(set));
  set.EraseRange(10, 19);
  EXPECT_EQ(set.Size(), 0u - uint64_t{10});
  EXPECT_TRUE(Valid(set));
}

TEST(RangeSet32Test, InvertOfEmptySetCountsTwoToThe32) {
  RangeSet32 set;
  set.Invert();
  EXPECT_EQ(set.Size(), uint64_t{1} << 32);
  EXPECT_EQ(set.RangeCount(), 1u);
  set.Erase(0);
  set.Erase(0xFFFFFFFFu);
  EXPECT_EQ(set.Size(), (uint64_t{1} << 32) - 2);
  EXPECT_TRUE(Valid(set));
  set.Invert();
  EXPECT_EQ(RangesOf(set), (testing_util::RangeList<RangeSet32>{{0, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu}}));
  EXPECT_EQ(set.Size(), 2u);
  EXPECT_TRUE(Valid(set));
}

}  // namespace
}  // namespace brelvane
