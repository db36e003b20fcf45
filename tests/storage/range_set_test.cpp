// SPDX-License-Identifier: MIT
// RangeSet against a plain std::set model: many thousands of random steps of
// every operation, for both key widths, in windows of keys at the bottom of
// the key space, at the top, and straddling the wrap from max to 0.  After
// every step the invariants, the value count, the stored ranges (which must
// be the maximal runs of the model) and the value walk are compared; the
// invariants include the tree's balance, so a wider window with a deeper tree
// checks that too; self-aliased Merge, Intersect and assignment, copies and
// moves are steps too.  A hand case counts the whole key space.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storage/avl_tree.h"
#include "storage/range_set.h"

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
    set_.Merge(set_), set_.Intersect(set_, set_), set_ = static_cast<const Set&>(set_);  // aliased: no change
    Set copy = set_, target;
    Set moved(std::move(copy));
    target.Insert(Key(q));
    target = std::move(moved);
    if (!Matches(set_, model_) || !Matches(target, model_) || !copy.Empty() || !moved.Empty()) {
      wrong_ = "aliased, copied or moved";
    }
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

// The tree under RangeSet: node linking, swapping and height keeping, and
// the AVL tree's balance and node stability.  Search and insertion are left
// to the model test above, which checks every answer they lead to.

using Plain = BinaryTreeNode<int>;
using IntTree = AVLTree<int, std::less<int>, std::equal_to<int>>;

// "(left value right)", "-" for an absent child, a bare value for a leaf;
// "!" marks a child whose parent link is wrong.
std::string Shape(const Plain* node) {
  if (node == nullptr) return "-";
  if (node->left() == nullptr && node->right() == nullptr) return std::to_string(node->value());
  const auto child = [node](const Plain* c) {
    return (c != nullptr && c->parent() != node ? "!" : "") + Shape(c);
  };
  return "(" + child(node->left()) + " " + std::to_string(node->value()) + " " +
         child(node->right()) + ")";
}

const Plain* RootOf(const Plain* node) {
  while (node->parent() != nullptr) node = node->parent();
  return node;
}

TEST(BinaryTreeNodeTest, SwapsAnyTwoNodesLinksOnlyFreeChildrenAndDetaches) {
  // ((1 2 3) 4 (5 6 7)); nodes[v] holds value v.
  Plain* nodes[8] = {};
  for (int v = 1; v <= 7; ++v) nodes[v] = new Plain(v);
  for (int parent : {2, 6, 4}) {
    const int step = parent == 4 ? 2 : 1;
    ASSERT_TRUE(nodes[parent]->SetLeft(nodes[parent - step]));
    ASSERT_TRUE(nodes[parent]->SetRight(nodes[parent + step]));
  }
  std::unique_ptr<Plain> owner(nodes[4]);
  const auto shape = [&] { return Shape(RootOf(nodes[1])); };
  const struct { int a, b; const char* shape; } swaps[] = {
      {1, 7, "((7 2 3) 4 (5 6 1))"}, {7, 1, "((1 2 3) 4 (5 6 7))"},  // unrelated leaves
      {2, 6, "((1 6 3) 4 (5 2 7))"}, {6, 2, "((1 2 3) 4 (5 6 7))"},  // siblings
      {4, 2, "((1 4 3) 2 (5 6 7))"}, {2, 4, "((1 2 3) 4 (5 6 7))"},  // root, left child
      {6, 4, "((1 2 3) 6 (5 4 7))"}, {5, 4, "((1 2 3) 6 (4 5 7))"},  // child with parent
      {4, 5, "((1 2 3) 6 (5 4 7))"}, {4, 6, "((1 2 3) 4 (5 6 7))"},
      {4, 1, "((4 2 3) 1 (5 6 7))"}, {4, 1, "((1 2 3) 4 (5 6 7))"},  // distant descendant
      {4, 4, "((1 2 3) 4 (5 6 7))"},
  };
  for (const auto& s : swaps) {
    nodes[s.a]->SwapWith(nodes[s.b]);
    EXPECT_EQ(shape(), s.shape) << s.a << " with " << s.b;
  }
  EXPECT_EQ(RootOf(nodes[1]), nodes[4]);
  nodes[3]->SwapWith(nullptr);
  // Refused: no child, an occupied place, a child with a parent, itself.
  EXPECT_FALSE(nodes[1]->SetLeft(nullptr));
  EXPECT_FALSE(nodes[2]->SetLeft(nodes[5]));
  EXPECT_FALSE(nodes[1]->SetRight(nodes[5]));
  EXPECT_FALSE(nodes[1]->SetRight(nodes[1]));
  EXPECT_EQ(shape(), "((1 2 3) 4 (5 6 7))");

  std::unique_ptr<Plain> left(nodes[4]->DetachLeft());
  EXPECT_EQ(Shape(left.get()), "(1 2 3)");
  EXPECT_EQ(left->parent(), nullptr);
  EXPECT_EQ(nodes[4]->DetachLeft(), nullptr);
  EXPECT_EQ(nodes[6]->DetachFromParent(), nodes[4]);
  std::unique_ptr<Plain> right(nodes[6]);
  EXPECT_EQ(nodes[6]->DetachFromParent(), nullptr);
  EXPECT_EQ(nodes[4]->DetachRight(), nullptr);
  EXPECT_EQ(Shape(nodes[4]), "4");
  ASSERT_TRUE(nodes[4]->SetRight(left.release()));
  EXPECT_EQ(Shape(nodes[4]), "(- 4 (1 2 3))");
}

TEST(AVLTreeTest, RemovalKeepsOtherNodesBalanceAndBothWalksAndLeavesACopyWhole) {
  std::mt19937 random(3);
  IntTree tree;
  std::map<int, IntTree::Node*> nodes;
  std::vector<int> values(2000);
  std::iota(values.begin(), values.end(), 0);
  std::shuffle(values.begin(), values.end(), random);
  for (int v : values) nodes[v] = tree.Insert(v);
  EXPECT_EQ(tree.Insert(values[5]), nullptr);  // matches a stored value
  const IntTree copy(tree);
  std::string why;
  ASSERT_TRUE(tree.CheckInvariants(&why)) << why;

  std::shuffle(values.begin(), values.end(), random);
  for (size_t i = 0; i < values.size(); ++i) {
    tree.Remove(nodes[values[i]]);
    nodes.erase(values[i]);
    ASSERT_TRUE(tree.CheckInvariants(&why)) << "after removing " << values[i] << ": " << why;
    ASSERT_EQ(tree.Count(), nodes.size());
    if (i % 97 == 0) {
      // Every remaining node object still holds its own value, in order.
      auto expected = nodes.begin();
      for (IntTree::Node* node = tree.First(); node != nullptr; node = IntTree::Next(node)) {
        ASSERT_EQ(node, expected->second);
        ASSERT_EQ(node->value(), (expected++)->first);
      }
      ASSERT_EQ(expected, nodes.end());
      auto back = nodes.rbegin();
      for (IntTree::Node* node = tree.Last(); node != nullptr; node = IntTree::Prev(node)) {
        ASSERT_EQ(node, (back++)->second);
      }
      ASSERT_EQ(back, nodes.rend());
    }
  }
  EXPECT_TRUE(tree.Empty());
  EXPECT_EQ(tree.root(), nullptr);
  EXPECT_EQ(copy.Count(), 2000u);
  EXPECT_TRUE(copy.CheckInvariants());
  int next = 0;
  for (auto* n = copy.First(); n != nullptr; n = IntTree::Next(n)) EXPECT_EQ(n->value(), next++);
  EXPECT_EQ(next, 2000);
}

TEST(AVLTreeTest, CheckInvariantsCatchesWrongHeight) {
  IntTree tree;
  for (int v : {2, 1, 3}) ASSERT_NE(tree.Insert(v), nullptr);
  ASSERT_TRUE(tree.CheckInvariants());
  // Unbalance the tree behind its back: hang a chain under a leaf with the
  // plain-node link, which keeps no heights.
  ASSERT_TRUE(IntTree::Next(tree.root())->SetRight(new IntTree::Node(4)));
  std::string why;
  EXPECT_FALSE(tree.CheckInvariants(&why));
  EXPECT_NE(why.find("height"), std::string::npos) << why;
}

}  // namespace
}  // namespace brelvane
