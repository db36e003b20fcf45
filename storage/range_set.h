// SPDX-License-Identifier: MIT
// RangeSet: a set of unsigned integers stored as disjoint, non-adjacent
// closed ranges [lo, hi] in an AVL tree (storage/avl_tree.h), one range per
// node.  It is how the program records which numbers of a series it holds:
// verified or written parts of a file, free / requested / finished blocks,
// the bytes of a part still missing, the files and parts of the resume file.
//
// Every maximal run of consecutive values is exactly one stored range, so
// "is [a, b] wholly in the set" is answered by looking at one range.  The
// number of values is kept incrementally: Size() and Empty() are O(1), which
// matters because the 64-bit set of a part under assembly is tested for
// emptiness after every received chunk.  Single-value and range operations
// are O(log n) in the number of stored ranges, plus the ranges removed.
//
// A range given with lo > hi wraps around the key space: it means
// [lo, max] together with [min, max's successor = min .. hi].
//
// The value count is 64-bit.  For 64-bit keys a set holding all 2^64 values
// has a count that wraps to 0; Empty() still answers false for it because it
// also looks at the tree.
//
// Thread safety: none.  Confine a set to one thread or guard it with the
// owner's lock; distinct sets are independent.
#pragma once

#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "storage/avl_tree.h"

namespace brelvane {

template <typename K, typename Less = std::less<K>, typename Equal = std::equal_to<K>,
          typename Limits = std::numeric_limits<K>>
class RangeSet {
  static_assert(std::is_integral_v<K> && std::is_unsigned_v<K>,
                "RangeSet keys are unsigned integers");

 public:
  // One stored range; both ends inclusive, lo <= hi.
  struct _Range {
    K lo;
    K hi;
    bool operator==(const _Range&) const = default;
  };
  using Range = _Range;

  // a lies wholly below b.
  struct RangeLt {
    bool operator()(const Range& a, const Range& b) const { return Less()(a.hi, b.lo); }
  };
  // a and b overlap.
  struct RangeEq {
    bool operator()(const Range& a, const Range& b) const {
      return !Less()(b.hi, a.lo) && !Less()(a.hi, b.lo);
    }
  };

  using Tree = AVLTree<Range, RangeLt, RangeEq>;
  using Node = typename Tree::Node;

  static constexpr K kMin = Limits::min();
  static constexpr K kMax = Limits::max();

  // Walks the stored ranges in ascending order.
  class RangeIterator {
   public:
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::forward_iterator_tag;
    using value_type = Range;
    using difference_type = std::ptrdiff_t;
    using reference = const Range&;
    using pointer = const Range*;

    RangeIterator() = default;
    RangeIterator(const Tree* tree, const Node* node) : tree_(tree), node_(node) {}

    const Range& operator*() const { return node_->value(); }
    const Range* operator->() const { return &node_->value(); }
    RangeIterator& operator++() {
      node_ = Tree::Next(node_);
      return *this;
    }
    RangeIterator operator++(int) {
      RangeIterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const RangeIterator& other) const {
      return tree_ == other.tree_ && node_ == other.node_;
    }

   private:
    const Tree* tree_ = nullptr;
    const Node* node_ = nullptr;
  };

  // Walks every value in ascending order: the current node plus a 64-bit
  // offset into its range.  The end iterator has no node and offset 0.
  class ValueIterator {
   public:
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::input_iterator_tag;
    using value_type = K;
    using difference_type = std::ptrdiff_t;
    using reference = K;
    using pointer = void;

    ValueIterator() = default;
    ValueIterator(const RangeSet* set, const Node* node, uint64_t offset)
        : set_(set), node_(node), offset_(offset) {}

    K operator*() const { return static_cast<K>(node_->value().lo + offset_); }
    ValueIterator& operator++() {
      const Range& range = node_->value();
      if (offset_ == static_cast<uint64_t>(range.hi - range.lo)) {
        node_ = Tree::Next(node_);
        offset_ = 0;
      } else {
        ++offset_;
      }
      return *this;
    }
    ValueIterator operator++(int) {
      ValueIterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const ValueIterator& other) const {
      return set_ == other.set_ && node_ == other.node_ && offset_ == other.offset_;
    }

   private:
    const RangeSet* set_ = nullptr;
    const Node* node_ = nullptr;
    uint64_t offset_ = 0;
  };

  // A begin/end pair so that `for (const auto& r : set.Ranges())` works.
  struct RangeView {
    RangeIterator first;
    RangeIterator last;
    RangeIterator begin() const { return first; }
    RangeIterator end() const { return last; }
  };

  RangeSet() = default;
  RangeSet(const RangeSet&) = default;
  RangeSet& operator=(const RangeSet&) = default;
  RangeSet(RangeSet&& other) noexcept
      : tree_(std::move(other.tree_)), count_(std::exchange(other.count_, 0)) {}
  RangeSet& operator=(RangeSet&& other) noexcept {
    if (this != &other) {
      tree_ = std::move(other.tree_);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  ~RangeSet() = default;

  // Adds one value, joining it to the ranges on either side.
  void Insert(K v) {
    if (tree_.Empty()) {
      tree_.Insert(Range{v, v});
      ++count_;
      return;
    }
    // Look for the value itself or a range that it touches; never past the
    // ends of the key space.
    const Range key{IsMin(v) ? v : K(v - 1), IsMax(v) ? v : K(v + 1)};
    const typename Tree::SearchResult found = tree_.Search(key);
    if (!found.found) {
      tree_.InsertAt(found, Range{v, v});
      ++count_;
      return;
    }
    Range& range = found.node->value();
    if (Less()(v, range.lo)) {
      // The range starts at v + 1: extend it down, then join the range
      // ending at v - 1, if any.
      range.lo = v;
      if (!IsMin(v)) {
        const typename Tree::SearchResult below = tree_.Search(Range{K(v - 1), K(v - 1)});
        if (below.found && below.node != nullptr &&
            Equal()(K(range.lo - below.node->value().hi), K(1))) {
          range.lo = below.node->value().lo;
          tree_.Remove(below.node);
        }
      }
    } else if (Less()(range.hi, v)) {
      // The range ends at v - 1: extend it up, then join the range starting
      // at v + 1, if any.
      range.hi = v;
      if (!IsMax(v)) {
        const typename Tree::SearchResult above = tree_.Search(Range{K(v + 1), K(v + 1)});
        if (above.found && above.node != nullptr &&
            Equal()(K(above.node->value().lo - range.hi), K(1))) {
          range.hi = above.node->value().hi;
          tree_.Remove(above.node);
        }
      }
    } else {
      return;  // Already present: nothing changes, the count included.
    }
    ++count_;
  }

  // Removes one value.  Returns an iterator at the next value of the set, or
  // end() when v was the last value or was absent (then nothing changes).
  ValueIterator Erase(K v) {
    if (tree_.Empty()) return end();
    const typename Tree::SearchResult found = tree_.Search(Range{v, v});
    if (!found.found) return end();
    Node* node = found.node;
    Range& range = node->value();
    ValueIterator next = end();
    if (Equal()(range.lo, v) && Equal()(range.hi, v)) {
      Node* successor = Tree::Next(node);  // Stays valid: values never move.
      tree_.Remove(node);
      if (successor != nullptr) next = ValueIterator(this, successor, 0);
    } else if (Equal()(range.lo, v)) {
      range.lo = K(v + 1);
      next = ValueIterator(this, node, 0);
    } else if (Equal()(range.hi, v)) {
      range.hi = K(v - 1);
      Node* successor = Tree::Next(node);
      if (successor != nullptr) next = ValueIterator(this, successor, 0);
    } else {
      const K upper = range.hi;
      range.hi = K(v - 1);
      next = ValueIterator(this, tree_.Insert(Range{K(v + 1), upper}), 0);
    }
    --count_;
    return next;
  }

  // Adds every value of [lo, hi]; lo > hi means the wrapped range.
  void InsertRange(K lo, K hi) {
    if (Less()(hi, lo)) {
      InsertRange(lo, kMax);
      InsertRange(kMin, hi);
      return;
    }
    // Clear the span first so that values already present are not counted
    // twice; afterwards nothing lies between the neighbours of [lo, hi].
    EraseRange(lo, hi);
    if (tree_.Empty()) {
      tree_.Insert(Range{lo, hi});
    } else {
      const typename Tree::SearchResult around = tree_.Search(Range{lo, hi});
      Node* below = around.predecessor;
      Node* above = around.successor;
      const bool join_below =
          below != nullptr && !IsMin(lo) && Equal()(below->value().hi, K(lo - 1));
      const bool join_above =
          above != nullptr && !IsMax(hi) && Equal()(above->value().lo, K(hi + 1));
      if (join_below && join_above) {
        below->value().hi = above->value().hi;
        tree_.Remove(above);
      } else if (join_below) {
        below->value().hi = hi;
      } else if (join_above) {
        above->value().lo = lo;
      } else {
        tree_.InsertAt(around, Range{lo, hi});
      }
    }
    count_ += SpanSize(lo, hi);
  }

  // Removes every value of [lo, hi]; lo > hi means the wrapped range.
  // Ranges outside [lo, hi] are never touched.
  void EraseRange(K lo, K hi) {
    if (Less()(hi, lo)) {
      EraseRange(lo, kMax);
      EraseRange(kMin, hi);
      return;
    }
    if (tree_.Empty() || !tree_.Search(Range{lo, hi}).found) return;
    const typename Tree::SearchResult at_lo = tree_.Search(Range{lo, lo});
    const typename Tree::SearchResult at_hi = tree_.Search(Range{hi, hi});
    if (at_lo.found && at_hi.found && at_lo.node == at_hi.node) {
      Node* node = at_lo.node;
      Range& range = node->value();
      const bool cut_start = Equal()(range.lo, lo);
      const bool cut_end = Equal()(range.hi, hi);
      if (cut_start && cut_end) {
        tree_.Remove(node);
      } else if (cut_start) {
        range.lo = K(hi + 1);
      } else if (cut_end) {
        range.hi = K(lo - 1);
      } else {
        const K upper = range.hi;
        range.hi = K(lo - 1);
        tree_.Insert(Range{K(hi + 1), upper});
      }
      count_ -= SpanSize(lo, hi);
      return;
    }
    // Trim the ranges that stick out on either side, then remove the ranges
    // left wholly inside [lo, hi] from the lowest up.
    Node* inside = at_lo.found ? at_lo.node : at_lo.successor;
    if (at_lo.found) {
      Range& range = at_lo.node->value();
      if (Less()(range.lo, lo)) {
        count_ -= SpanSize(lo, range.hi);
        range.hi = K(lo - 1);
        inside = Tree::Next(at_lo.node);
      }
    }
    if (at_hi.found) {
      Range& range = at_hi.node->value();
      if (Less()(hi, range.hi)) {
        count_ -= SpanSize(range.lo, hi);
        range.lo = K(hi + 1);
      }
    }
    while (inside != nullptr && !Less()(hi, inside->value().hi)) {
      Node* next = Tree::Next(inside);  // Stays valid across the removal.
      count_ -= SpanSize(inside->value().lo, inside->value().hi);
      tree_.Remove(inside);
      inside = next;
    }
  }

  // True when every value of [lo, hi] is in the set; lo > hi means the
  // wrapped range.  Contains(v, v) tests one value.
  [[nodiscard]] bool Contains(K lo, K hi) const {
    if (Less()(hi, lo)) return Contains(lo, kMax) && Contains(kMin, hi);
    if (tree_.Empty()) return false;
    const typename Tree::SearchResult found = tree_.Search(Range{lo, hi});
    return found.found && !Less()(lo, found.node->value().lo) &&
           !Less()(found.node->value().hi, hi);
  }
  [[nodiscard]] bool Contains(K v) const { return Contains(v, v); }

  [[nodiscard]] bool Empty() const { return count_ == 0 && tree_.Empty(); }
  // Number of values (modulo 2^64, see the header comment).
  [[nodiscard]] uint64_t Size() const { return count_; }
  [[nodiscard]] uint32_t RangeCount() const { return tree_.Count(); }

  void Clear() {
    tree_.Clear();
    count_ = 0;
  }

  // Replaces the set by its complement within [kMin, kMax].  Each stored
  // range is rewritten in place as the gap before it.
  void Invert() {
    const uint64_t new_count = SpanSize(kMin, kMax) - count_;
    K next_free = kMin;  // The lowest value not yet covered by the walk.
    bool reached_max = false;
    Node* node = tree_.First();
    while (node != nullptr) {
      Node* next = Tree::Next(node);
      const Range range = node->value();
      if (Equal()(range.lo, next_free)) {
        tree_.Remove(node);
      } else {
        node->value() = Range{next_free, K(range.lo - 1)};
      }
      if (IsMax(range.hi)) {
        reached_max = true;
        break;
      }
      next_free = K(range.hi + 1);
      node = next;
    }
    if (!reached_max) tree_.Insert(Range{next_free, kMax});
    count_ = new_count;
  }

  // Adds every range of `other` (union).
  void Merge(const RangeSet& other) {
    if (&other == this) return;
    for (const Range& range : other.Ranges()) InsertRange(range.lo, range.hi);
  }

  // Replaces this set by the intersection of `a` and `b` (either may be
  // this set).
  void Intersect(const RangeSet& a, const RangeSet& b) {
    if (&a == this || &b == this) {
      RangeSet result;
      result.Intersect(a, b);
      *this = std::move(result);
      return;
    }
    Clear();
    RangeIterator in_a = a.RangeBegin();
    RangeIterator in_b = b.RangeBegin();
    while (in_a != a.RangeEnd() && in_b != b.RangeEnd()) {
      if (Less()(in_a->hi, in_b->lo)) {
        ++in_a;
      } else if (Less()(in_b->hi, in_a->lo)) {
        ++in_b;
      } else {
        const K lo = Less()(in_a->lo, in_b->lo) ? in_b->lo : in_a->lo;
        const K hi = Less()(in_a->hi, in_b->hi) ? in_a->hi : in_b->hi;
        InsertRange(lo, hi);
        if (Less()(in_a->hi, in_b->hi)) {
          ++in_a;
        } else {
          ++in_b;
        }
      }
    }
  }

  RangeIterator RangeBegin() const { return RangeIterator(&tree_, tree_.First()); }
  RangeIterator RangeEnd() const { return RangeIterator(&tree_, nullptr); }
  // The range of rank `n` in ascending order (RangeEnd() when n >= RangeCount()), in O(log n).
  RangeIterator RangeAt(uint32_t n) const { return RangeIterator(&tree_, tree_.NodeAt(n)); }
  RangeView Ranges() const { return RangeView{RangeBegin(), RangeEnd()}; }

  ValueIterator begin() const { return ValueIterator(this, tree_.First(), 0); }
  ValueIterator end() const { return ValueIterator(this, nullptr, 0); }
  // An iterator at v, or end() when v is absent.
  ValueIterator Find(K v) const {
    if (tree_.Empty()) return end();
    const typename Tree::SearchResult found = tree_.Search(Range{v, v});
    if (!found.found) return end();
    return ValueIterator(this, found.node, static_cast<uint64_t>(v - found.node->value().lo));
  }

  // Same values (hence, by the invariants, the same ranges).
  bool operator==(const RangeSet& other) const {
    if (count_ != other.count_ || RangeCount() != other.RangeCount()) return false;
    RangeIterator mine = RangeBegin();
    for (const Range& range : other.Ranges()) {
      if (!(*mine == range)) return false;
      ++mine;
    }
    return true;
  }

  const Tree& tree() const { return tree_; }

  // Verifies the tree (links, heights, balance, order) and that ranges are
  // well formed, disjoint, not adjacent and add up to the value count.  On
  // failure describes the first fault in `why`.
  [[nodiscard]] bool CheckInvariants(std::string* why = nullptr) const {
    std::string fault;
    if (tree_.CheckInvariants(&fault)) fault = CheckRanges();
    if (why != nullptr) *why = fault;
    return fault.empty();
  }

 private:
  static bool IsMin(K v) { return Equal()(v, kMin); }
  static bool IsMax(K v) { return Equal()(v, kMax); }
  // Values in [lo, hi], computed modulo 2^64.
  static uint64_t SpanSize(K lo, K hi) { return static_cast<uint64_t>(hi - lo) + 1; }

  std::string CheckRanges() const {
    uint64_t values = 0;
    const Range* previous = nullptr;
    for (const Range& range : Ranges()) {
      if (Less()(range.hi, range.lo)) {
        return "range [" + std::to_string(range.lo) + ", " + std::to_string(range.hi) +
               "] is reversed";
      }
      if (previous != nullptr && !Less()(K(previous->hi + 1), range.lo)) {
        return "ranges ending at " + std::to_string(previous->hi) + " and starting at " +
               std::to_string(range.lo) + " overlap or touch";
      }
      values += SpanSize(range.lo, range.hi);
      previous = &range;
    }
    if (values != count_) {
      return "value count " + std::to_string(count_) + " but ranges hold " +
             std::to_string(values);
    }
    return std::string();
  }

  Tree tree_;
  uint64_t count_ = 0;  // Number of values, maintained by every operation.
};

using RangeSet32 = RangeSet<uint32_t>;
using RangeSet64 = RangeSet<uint64_t>;

}  // namespace brelvane
