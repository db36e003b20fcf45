// SPDX-License-Identifier: MIT
// RangeSet against a plain std::set model: many thousands of random steps of
// every operation, for both key widths, in windows of keys at the bottom of
// the key space, at the top, and straddling the wrap from max to 0.  After
// every step the invariants, the value count, the stored ranges (which must
// be the maximal runs of the model) and the value walk are compared.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "storage/range_set.h"
#include "tests/storage/range_set_test_util.h"

namespace brelvane {
namespace {

using testing_util::RangesOf;

template <typename Set>
class RandomRun {
 public:
  using K = testing_util::KeyOf<Set>;
  using Model = std::set<K>;
  using Ranges = testing_util::RangeList<Set>;
  static constexpr K kMax = std::numeric_limits<K>::max();

  // Keys are base + offset (modulo the key width) for offset < width; a
  // span of offsets [p, q] with p <= q is passed to the set as
  // [key(p), key(q)], which is a reversed (wrapped) range when it crosses
  // from max to 0.
  RandomRun(K base, uint32_t width, uint32_t seed) : base_(base), width_(width), random_(seed) {}

  void Run(int steps) {
    for (int step = 0; step < steps; ++step) {
      std::string op = Step();
      ASSERT_TRUE(wrong_.empty()) << "step " << step << ": " << op << ": " << wrong_;
      ASSERT_TRUE(Matches(set_, model_, &op)) << "step " << step << ": " << op;
      if (HasFatalFailure()) return;
    }
  }

 private:
  static bool HasFatalFailure() { return ::testing::Test::HasFatalFailure(); }

  K Key(uint32_t offset) const { return static_cast<K>(base_ + offset); }
  uint32_t Offset() { return std::uniform_int_distribution<uint32_t>(0, width_ - 1)(random_); }
  // A span of offsets, mostly short.
  std::pair<uint32_t, uint32_t> Span() {
    uint32_t first = Offset();
    uint32_t length = std::uniform_int_distribution<uint32_t>(0, 3)(random_) == 0
                          ? Offset()
                          : std::uniform_int_distribution<uint32_t>(0, 8)(random_);
    return {first, std::min(width_ - 1, first + length)};
  }

  static std::string Describe(const char* name, uint64_t a, uint64_t b) {
    std::ostringstream out;
    out << name << "(" << a << ", " << b << ")";
    return out.str();
  }

  // The maximal runs of consecutive keys in numeric order.
  static Ranges Runs(const Model& model) {
    Ranges runs;
    for (K v : model) {
      if (!runs.empty() && runs.back().second != kMax && runs.back().second + 1 == v) {
        runs.back().second = v;
      } else {
        runs.emplace_back(v, v);
      }
    }
    return runs;
  }

  static bool Matches(const Set& set, const Model& model, std::string* op) {
    std::string why;
    if (!set.CheckInvariants(&why)) {
      *op += " broke an invariant: " + why;
      return false;
    }
    if (set.Size() != model.size() || set.Empty() != model.empty()) {
      *op += " size " + std::to_string(set.Size()) + ", model " + std::to_string(model.size());
      return false;
    }
    if (RangesOf(set) != Runs(model)) {
      *op += " ranges differ from the model's runs";
      return false;
    }
    if (!std::equal(set.begin(), set.end(), model.begin(), model.end())) {
      *op += " value walk differs from the model";
      return false;
    }
    return true;
  }

  // A second random set of the same window, with its model.
  std::pair<Set, Model> RandomOther() {
    Set other;
    Model model;
    const int pieces = std::uniform_int_distribution<int>(0, 12)(random_);
    for (int i = 0; i < pieces; ++i) {
      const auto [p, q] = Span();
      other.InsertRange(Key(p), Key(q));
      for (uint32_t o = p; o <= q; ++o) model.insert(Key(o));
    }
    return {other, model};
  }

  std::string Step() {
    const int choice = std::uniform_int_distribution<int>(0, 99)(random_);
    if (choice < 22) {
      const K v = Key(Offset());
      set_.Insert(v);
      model_.insert(v);
      return Describe("Insert", v, v);
    }
    if (choice < 40) {
      const K v = Key(Offset());
      auto next = set_.Erase(v);
      const bool present = model_.erase(v) == 1;
      auto expected = present ? model_.upper_bound(v) : model_.end();
      const bool at_end = next == set_.end();
      if (at_end != (expected == model_.end()) || (!at_end && *next != *expected)) {
        wrong_ = "returned a wrong next value";
      }
      return Describe("Erase", v, v);
    }
    if (choice < 60) {
      const auto [p, q] = Span();
      set_.InsertRange(Key(p), Key(q));
      for (uint32_t o = p; o <= q; ++o) model_.insert(Key(o));
      return Describe("InsertRange", Key(p), Key(q));
    }
    if (choice < 78) {
      const auto [p, q] = Span();
      set_.EraseRange(Key(p), Key(q));
      for (uint32_t o = p; o <= q; ++o) model_.erase(Key(o));
      return Describe("EraseRange", Key(p), Key(q));
    }
    if (choice < 88) {
      const auto [p, q] = Span();
      bool expected = true;
      for (uint32_t o = p; o <= q && expected; ++o) expected = model_.count(Key(o)) == 1;
      const bool single = set_.Contains(Key(p)) == (model_.count(Key(p)) == 1);
      if (set_.Contains(Key(p), Key(q)) != expected || !single) {
        wrong_ = "answered wrongly";
      }
      return Describe("Contains", Key(p), Key(q));
    }
    if (choice < 91) return CheckInvert();
    if (choice < 95) {
      auto [other, other_model] = RandomOther();
      set_.Merge(other);
      model_.insert(other_model.begin(), other_model.end());
      return "Merge";
    }
    if (choice < 99) {
      auto [other, other_model] = RandomOther();
      Model common;
      for (K v : model_) {
        if (other_model.count(v) == 1) common.insert(v);
      }
      if (choice % 2 == 0) {
        set_.Intersect(set_, other);
      } else {
        Set copy = set_;
        set_.Intersect(other, copy);
      }
      model_ = common;
      return "Intersect";
    }
    const Set copy = set_;
    std::string op = "copy";
    if (!Matches(copy, model_, &op)) wrong_ = op;
    set_.Clear();
    model_.clear();
    return "Copy and Clear";
  }

  // Inverts and compares with the gaps of the model (too many values to
  // enumerate), then inverts back, which must restore the set exactly.
  std::string CheckInvert() {
    Ranges gaps;
    K next_free = 0;
    bool ended_at_max = false;
    for (const auto& [lo, hi] : Runs(model_)) {
      if (lo != next_free) gaps.emplace_back(next_free, static_cast<K>(lo - 1));
      if (hi == kMax) {
        ended_at_max = true;
        break;
      }
      next_free = static_cast<K>(hi + 1);
    }
    if (!ended_at_max) gaps.emplace_back(next_free, kMax);
    const Set before = set_;
    set_.Invert();
    std::string why;
    const uint64_t all = static_cast<uint64_t>(kMax) + 1;  // Wraps to 0 for 64 bits.
    if (!set_.CheckInvariants(&why)) {
      wrong_ = "broke an invariant: " + why;
    } else if (RangesOf(set_) != gaps) {
      wrong_ = "gave the wrong ranges";
    } else if (set_.Size() != all - model_.size() || set_.Empty()) {
      wrong_ = "gave the wrong count";
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
  std::string wrong_;  // Set when an operation answered wrongly.
};

template <typename Set>
class RangeSetRandomTest : public ::testing::Test {};

using KeyWidths = ::testing::Types<RangeSet32, RangeSet64>;
TYPED_TEST_SUITE(RangeSetRandomTest, KeyWidths);

constexpr int kSteps = 20000;
constexpr uint32_t kWidth = 300;

TYPED_TEST(RangeSetRandomTest, MatchesModelAtBottomOfKeySpace) {
  RandomRun<TypeParam>(0, kWidth, 101).Run(kSteps);
}

TYPED_TEST(RangeSetRandomTest, MatchesModelAtTopOfKeySpace) {
  using K = testing_util::KeyOf<TypeParam>;
  RandomRun<TypeParam>(static_cast<K>(std::numeric_limits<K>::max() - (kWidth - 1)), kWidth, 202)
      .Run(kSteps);
}

TYPED_TEST(RangeSetRandomTest, MatchesModelAcrossTheWrapFromMaxToZero) {
  using K = testing_util::KeyOf<TypeParam>;
  RandomRun<TypeParam>(static_cast<K>(std::numeric_limits<K>::max() - (kWidth / 2 - 1)), kWidth,
                       303)
      .Run(kSteps);
}

TYPED_TEST(RangeSetRandomTest, MatchesModelOnWideSparseWindow) {
  // Wider window: more ranges, a deeper tree.
  RandomRun<TypeParam>(1u << 20, 4000, 404).Run(kSteps / 2);
}

}  // namespace
}  // namespace brelvane
