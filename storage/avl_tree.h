// SPDX-License-Identifier: MIT
// Binary tree nodes and the height-balanced (AVL) search tree under RangeSet.
//
// BinaryTreeNode is a node that owns its children: deleting a node deletes its
// whole subtree.  BinaryAVLNode adds a stored height and node count of its
// subtree, refreshed upwards from every node whose children change, so that
// the tree can balance itself without recomputing heights recursively and
// find the node of a given rank in O(log n).  AVLTree<V, Less, Match> keeps
// BinaryAVLNode<V> values ordered by Less (a wholly before b) and finds them
// with Match (a matches b); RangeSet uses it with closed ranges, where
// "before" means "lies wholly below" and "matches" means "overlaps".
//
// Node identity is stable: values never move from one node object to
// another, only nodes move.  A caller holding a node pointer may keep using
// it while other nodes are inserted or removed.
//
// Thread safety: none.  A tree and its nodes must be confined to one thread
// or guarded by the owner's lock.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string>
#include <utility>

namespace brelvane {

// A node of a binary tree.  The parent owns its children; the tree owns the
// root.  A node that is still linked to a parent must be detached before it
// is deleted on its own.
template <typename V>
class BinaryTreeNode {
 public:
  explicit BinaryTreeNode(const V& value) : value_(value) {}
  BinaryTreeNode(const BinaryTreeNode&) = delete;
  BinaryTreeNode& operator=(const BinaryTreeNode&) = delete;

  // Deep copy of the subtree rooted here.  The copy has no parent.
  virtual BinaryTreeNode* Clone() const {
    auto* copy = new BinaryTreeNode(value_);
    copy->CloneChildrenOf(*this);
    return copy;
  }

  // Destroys both child subtrees, then this node.
  virtual ~BinaryTreeNode() {
    delete left_;
    delete right_;
  }

  // Links `child` as the left (right) child.  Refuses when `child` is null,
  // when this node already has a child on that side, or when `child` is
  // still linked to a parent.
  [[nodiscard]] virtual bool SetLeft(BinaryTreeNode* child) { return Adopt(&left_, child); }
  [[nodiscard]] virtual bool SetRight(BinaryTreeNode* child) { return Adopt(&right_, child); }

  // Unlinks this node from its parent, clearing the parent's link.  Returns
  // the former parent, or null.  The caller now owns this subtree.
  virtual BinaryTreeNode* DetachFromParent() {
    BinaryTreeNode* parent = parent_;
    if (parent == nullptr) return nullptr;
    if (parent->left_ == this) {
      parent->left_ = nullptr;
    } else {
      parent->right_ = nullptr;
    }
    parent_ = nullptr;
    return parent;
  }

  // Unlinks and returns the left (right) child, or null when there is none.
  // The caller now owns the returned subtree.
  virtual BinaryTreeNode* DetachLeft() { return Release(&left_); }
  virtual BinaryTreeNode* DetachRight() { return Release(&right_); }

  // Number of nodes in this subtree.
  virtual uint32_t NodeCount() const {
    return 1 + (left_ ? left_->NodeCount() : 0) + (right_ ? right_->NodeCount() : 0);
  }

  // Number of nodes without children in this subtree.
  virtual uint32_t LeafCount() const {
    if (left_ == nullptr && right_ == nullptr) return 1;
    return (left_ ? left_->LeafCount() : 0) + (right_ ? right_->LeafCount() : 0);
  }

  // 1 + the larger of the children's heights; an absent child counts 0.
  virtual uint32_t Height() const { return 1 + std::max(HeightOf(left_), HeightOf(right_)); }

  // Exchanges the positions of this node and `other` in their tree(s):
  // parents, children and the parents' links are exchanged, also when one
  // node is the other's parent.  Values stay with their node objects.  A
  // tree whose root is one of the two must update its root pointer.
  virtual void SwapWith(BinaryTreeNode* other) {
    if (other == nullptr || other == this) return;
    if (other->parent_ == this) {
      SwapWithChild(other);
      return;
    }
    if (parent_ == other) {
      other->SwapWithChild(this);
      return;
    }
    // Unrelated nodes (possibly siblings): find both parent slots before
    // writing either, since siblings share a parent.
    BinaryTreeNode** my_slot = ParentSlot();
    BinaryTreeNode** other_slot = other->ParentSlot();
    if (my_slot != nullptr) *my_slot = other;
    if (other_slot != nullptr) *other_slot = this;
    std::swap(parent_, other->parent_);
    std::swap(left_, other->left_);
    std::swap(right_, other->right_);
    AdoptChildren();
    other->AdoptChildren();
  }

  V& value() { return value_; }
  const V& value() const { return value_; }
  BinaryTreeNode* parent() const { return parent_; }
  BinaryTreeNode* left() const { return left_; }
  BinaryTreeNode* right() const { return right_; }
  // True for nodes that store their height (BinaryAVLNode and kin).
  bool keeps_height() const { return keeps_height_; }

  static uint32_t HeightOf(const BinaryTreeNode* node) { return node ? node->Height() : 0; }

 protected:
  // For node kinds that store their height (BinaryAVLNode): the tag lets a
  // height refresh tell, without a type query, where it must stop climbing.
  BinaryTreeNode(const V& value, bool keeps_height) : value_(value), keeps_height_(keeps_height) {}

  // Links deep copies of `from`'s children under this childless node.
  void CloneChildrenOf(const BinaryTreeNode& from) {
    if (from.left_ != nullptr) {
      left_ = from.left_->Clone();
      left_->parent_ = this;
    }
    if (from.right_ != nullptr) {
      right_ = from.right_->Clone();
      right_->parent_ = this;
    }
  }

 private:
  bool Adopt(BinaryTreeNode** slot, BinaryTreeNode* child) {
    if (child == nullptr || *slot != nullptr || child->parent_ != nullptr || child == this) {
      return false;
    }
    *slot = child;
    child->parent_ = this;
    return true;
  }

  static BinaryTreeNode* Release(BinaryTreeNode** slot) {
    BinaryTreeNode* child = *slot;
    if (child != nullptr) {
      *slot = nullptr;
      child->parent_ = nullptr;
    }
    return child;
  }

  // The parent's link that points at this node, or null at a root.
  BinaryTreeNode** ParentSlot() {
    if (parent_ == nullptr) return nullptr;
    return parent_->left_ == this ? &parent_->left_ : &parent_->right_;
  }

  void AdoptChildren() {
    if (left_ != nullptr) left_->parent_ = this;
    if (right_ != nullptr) right_->parent_ = this;
  }

  // Swap with a direct child: the child takes this node's place and this
  // node takes the child's place, keeping the child's side.
  void SwapWithChild(BinaryTreeNode* child) {
    BinaryTreeNode** my_slot = ParentSlot();
    if (my_slot != nullptr) *my_slot = child;
    BinaryTreeNode* child_left = child->left_;
    BinaryTreeNode* child_right = child->right_;
    if (left_ == child) {
      child->left_ = this;
      child->right_ = right_;
    } else {
      child->left_ = left_;
      child->right_ = this;
    }
    left_ = child_left;
    right_ = child_right;
    child->parent_ = parent_;
    parent_ = child;
    AdoptChildren();
    child->AdoptChildren();
  }

  V value_;
  BinaryTreeNode* parent_ = nullptr;
  BinaryTreeNode* left_ = nullptr;
  BinaryTreeNode* right_ = nullptr;
  const bool keeps_height_ = false;
};

template <typename V, typename Less, typename Match>
class AVLTree;

// A node that stores the height of its subtree (1 for a node without
// children) and the number of nodes in it.  Every detach and every Link*
// refreshes both upwards from the node that gained or lost a child, stopping
// at the first node where neither changed.  The refresh climbs only through
// height-keeping nodes.
template <typename V>
class BinaryAVLNode : public BinaryTreeNode<V> {
  using Base = BinaryTreeNode<V>;

 public:
  explicit BinaryAVLNode(const V& value) : Base(value, /*keeps_height=*/true) {}

  // Deep copy made of height-keeping nodes carrying the copied heights.
  BinaryAVLNode* Clone() const override {
    auto* copy = new BinaryAVLNode(this->value());
    copy->height_ = height_;
    copy->nodes_ = nodes_;
    copy->CloneChildrenOf(*this);
    return copy;
  }

  ~BinaryAVLNode() override = default;

  Base* DetachFromParent() override {
    Base* parent = Base::DetachFromParent();
    RefreshHeights(parent);
    return parent;
  }
  Base* DetachLeft() override {
    Base* child = Base::DetachLeft();
    if (child != nullptr) RefreshHeights(this);
    return child;
  }
  Base* DetachRight() override {
    Base* child = Base::DetachRight();
    if (child != nullptr) RefreshHeights(this);
    return child;
  }

  // The stored height and node count; no recursion.
  uint32_t Height() const override { return height_; }
  uint32_t NodeCount() const override { return nodes_; }

  // SetLeft (SetRight), then a height refresh upwards from this node.
  [[nodiscard]] virtual bool LinkLeft(Base* child) {
    if (!this->SetLeft(child)) return false;
    RefreshHeights(this);
    return true;
  }
  [[nodiscard]] virtual bool LinkRight(Base* child) {
    if (!this->SetRight(child)) return false;
    RefreshHeights(this);
    return true;
  }

 private:
  template <typename, typename, typename>
  friend class AVLTree;

  // The stored figures of a child without a virtual call when it keeps them
  // (every node of an AVLTree does); the climb below runs to the root on
  // every link and detach.
  static uint32_t HeightOf(const Base* node) {
    if (node == nullptr) return 0;
    return node->keeps_height() ? static_cast<const BinaryAVLNode*>(node)->height_ : node->Height();
  }
  static uint32_t NodesOf(const Base* node) {
    if (node == nullptr) return 0;
    return node->keeps_height() ? static_cast<const BinaryAVLNode*>(node)->nodes_ : node->NodeCount();
  }

  static void RefreshHeights(Base* start) {
    for (Base* node = start; node != nullptr; node = node->parent()) {
      if (!node->keeps_height()) return;
      auto* keeper = static_cast<BinaryAVLNode*>(node);
      const uint32_t height = 1 + std::max(HeightOf(node->left()), HeightOf(node->right()));
      const uint32_t nodes = 1 + NodesOf(node->left()) + NodesOf(node->right());
      if (height == keeper->height_ && nodes == keeper->nodes_) return;
      keeper->height_ = height;
      keeper->nodes_ = nodes;
    }
  }

  uint32_t height_ = 1;
  uint32_t nodes_ = 1;
};

// An AVL search tree of V.  Less(a, b) is true when a lies wholly before b;
// Match(a, b) is true when a search for a should stop at b.  The tree never
// holds two values that match each other.
template <typename V, typename Less, typename Match>
class AVLTree {
 public:
  using Node = BinaryAVLNode<V>;
  using BaseNode = BinaryTreeNode<V>;

  // Outcome of a search.  When found, `node` is the matching node.  When not
  // found, `node` is where a new value would hang (on its left when
  // `hang_left`), and `predecessor` / `successor` are the nearest nodes
  // wholly before / after the key (null when there is none).  On an empty
  // tree the search reports found with no node; callers test for the empty
  // tree first.
  struct SearchResult {
    bool found = false;
    Node* node = nullptr;
    bool hang_left = false;
    Node* predecessor = nullptr;
    Node* successor = nullptr;
  };

  AVLTree() = default;
  AVLTree(const AVLTree& other)
      : root_(other.root_ ? other.root_->Clone() : nullptr), count_(other.count_) {}
  AVLTree(AVLTree&& other) noexcept
      : root_(std::exchange(other.root_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  AVLTree& operator=(const AVLTree& other) {
    if (this != &other) {
      AVLTree copy(other);
      Swap(copy);
    }
    return *this;
  }
  AVLTree& operator=(AVLTree&& other) noexcept {
    if (this != &other) {
      Clear();
      Swap(other);
    }
    return *this;
  }
  virtual ~AVLTree() { delete root_; }

  void Swap(AVLTree& other) noexcept {
    std::swap(root_, other.root_);
    std::swap(count_, other.count_);
  }

  Node* root() const { return root_; }
  bool Empty() const { return root_ == nullptr; }
  // Number of nodes, kept incrementally.
  uint32_t Count() const { return count_; }

  SearchResult Search(const V& key) const { return Search(key, root_); }

  // Descends from `start`: left while the key lies before the node, stop on
  // a match, otherwise right.
  SearchResult Search(const V& key, Node* start) const {
    SearchResult result;
    if (start == nullptr) {
      result.found = true;
      return result;
    }
    Node* node = start;
    for (;;) {
      if (less_(key, node->value())) {
        result.successor = node;
        if (node->left() == nullptr) {
          result.node = node;
          result.hang_left = true;
          return result;
        }
        node = AsNode(node->left());
      } else if (match_(key, node->value())) {
        result.found = true;
        result.node = node;
        return result;
      } else {
        result.predecessor = node;
        if (node->right() == nullptr) {
          result.node = node;
          return result;
        }
        node = AsNode(node->right());
      }
    }
  }

  // Inserts `value` and returns its node, or returns null and inserts
  // nothing when a stored value matches it.
  Node* Insert(const V& value) {
    if (root_ == nullptr) {
      root_ = new Node(value);
      count_ = 1;
      return root_;
    }
    const SearchResult where = Search(value);
    if (where.found) return nullptr;
    auto* node = new Node(value);
    Attach(where.node, node, where.hang_left);
    RebalanceAfterInsert(node);
    ++count_;
    return node;
  }

  // Inserts `value` where a search that found nothing said it would hang,
  // saving a second descent.  REQUIRES: `where` is a not-found result of a
  // search, on this non-empty tree unchanged since, for a key that contains
  // `value` (so `value` takes the same path down).
  Node* InsertAt(const SearchResult& where, const V& value) {
    assert(!where.found && where.node != nullptr);
    auto* node = new Node(value);
    Attach(where.node, node, where.hang_left);
    RebalanceAfterInsert(node);
    ++count_;
    return node;
  }

  // Removes and destroys `node`, which must belong to this tree.  Other
  // nodes keep their values and stay valid.
  void Remove(Node* node) {
    // Sink the node to a leaf by swapping it with its in-order neighbour
    // from the taller side.
    while (node->left() != nullptr || node->right() != nullptr) {
      Node* replacement;
      if (node->left() != nullptr && node->right() != nullptr) {
        replacement = BaseNode::HeightOf(node->left()) > BaseNode::HeightOf(node->right())
                          ? Rightmost(AsNode(node->left()))
                          : Leftmost(AsNode(node->right()));
      } else if (node->left() != nullptr) {
        replacement = Rightmost(AsNode(node->left()));
      } else {
        replacement = Leftmost(AsNode(node->right()));
      }
      if (node == root_) root_ = replacement;
      node->SwapWith(replacement);
      std::swap(node->height_, replacement->height_);
      std::swap(node->nodes_, replacement->nodes_);
    }
    Node* parent = AsNode(node->parent());
    if (parent == nullptr) {
      root_ = nullptr;
    } else {
      node->DetachFromParent();
    }
    delete node;
    --count_;
    RebalanceUpwards(parent);
  }

  void Clear() {
    delete root_;
    root_ = nullptr;
    count_ = 0;
  }

  Node* First() const { return root_ ? Leftmost(root_) : nullptr; }

  // The node of rank `n` (0-based, in order), or null when n >= Count().
  Node* NodeAt(uint32_t n) const {
    Node* node = root_;
    while (node != nullptr) {
      const uint32_t left = Node::NodesOf(node->left());
      if (n == left) return node;
      if (n < left) {
        node = AsNode(node->left());
      } else {
        n -= left + 1;
        node = AsNode(node->right());
      }
    }
    return nullptr;
  }
  Node* Last() const { return root_ ? Rightmost(root_) : nullptr; }

  // In-order successor (predecessor), or null at the end.
  static Node* Next(const Node* node) {
    if (node->right() != nullptr) return Leftmost(AsNode(node->right()));
    const BaseNode* child = node;
    BaseNode* parent = node->parent();
    while (parent != nullptr && parent->right() == child) {
      child = parent;
      parent = parent->parent();
    }
    return AsNode(parent);
  }
  static Node* Prev(const Node* node) {
    if (node->left() != nullptr) return Rightmost(AsNode(node->left()));
    const BaseNode* child = node;
    BaseNode* parent = node->parent();
    while (parent != nullptr && parent->left() == child) {
      child = parent;
      parent = parent->parent();
    }
    return AsNode(parent);
  }

  // Verifies links, stored heights and node counts, balance, in-order
  // ordering under Less and the node count.  On failure describes the first fault in `why`.
  [[nodiscard]] bool CheckInvariants(std::string* why = nullptr) const {
    std::string fault;
    uint32_t nodes = 0;
    const Node* previous = nullptr;
    if (root_ != nullptr && root_->parent() != nullptr) {
      fault = "root has a parent";
    } else {
      CheckSubtree(root_, &nodes, &previous, &fault);
    }
    if (fault.empty() && nodes != count_) {
      fault = "node count " + std::to_string(count_) + " but " + std::to_string(nodes) + " nodes";
    }
    if (why != nullptr) *why = fault;
    return fault.empty();
  }

 private:
  // Every node of the tree was created by the tree, so every link holds a
  // height-keeping node.
  static Node* AsNode(BaseNode* node) { return static_cast<Node*>(node); }
  static const Node* AsNode(const BaseNode* node) { return static_cast<const Node*>(node); }

  static Node* Leftmost(Node* node) {
    while (node->left() != nullptr) node = AsNode(node->left());
    return node;
  }
  static Node* Rightmost(Node* node) {
    while (node->right() != nullptr) node = AsNode(node->right());
    return node;
  }

  static void Attach(Node* parent, Node* child, bool as_left) {
    const bool linked = as_left ? parent->LinkLeft(child) : parent->LinkRight(child);
    assert(linked);
    (void)linked;
  }

  // Puts `child` where `old` hung under `parent` (or at the root).
  void Replace(Node* parent, bool was_left, Node* child) {
    if (parent == nullptr) {
      root_ = child;
    } else {
      Attach(parent, child, was_left);
    }
  }

  // X's left child L takes X's place; L's right subtree becomes X's left.
  void RotateRight(Node* x) {
    Node* parent = AsNode(x->parent());
    const bool was_left = parent != nullptr && parent->left() == x;
    x->DetachFromParent();
    Node* pivot = AsNode(x->DetachLeft());
    BaseNode* inner = pivot->DetachRight();
    if (inner != nullptr) Attach(x, AsNode(inner), true);
    Attach(pivot, x, false);
    Replace(parent, was_left, pivot);
  }

  // Mirror image of RotateRight.
  void RotateLeft(Node* x) {
    Node* parent = AsNode(x->parent());
    const bool was_left = parent != nullptr && parent->left() == x;
    x->DetachFromParent();
    Node* pivot = AsNode(x->DetachRight());
    BaseNode* inner = pivot->DetachLeft();
    if (inner != nullptr) Attach(x, AsNode(inner), false);
    Attach(pivot, x, true);
    Replace(parent, was_left, pivot);
  }

  // Climbs from the new leaf with h, the height the subtree of P has after
  // the insertion; the first grandparent whose other side is more than one
  // lower gets one single or double rotation, which restores balance.
  // Once P's height is not h the insertion stopped raising heights there, so
  // every ancestor keeps the balance it had and the climb can end; this
  // spares reading the siblings (cache misses) all the way to the root.
  void RebalanceAfterInsert(Node* node) {
    Node* parent = AsNode(node->parent());
    if (parent == nullptr) return;
    Node* grand = AsNode(parent->parent());
    uint32_t height = 2;
    while (grand != nullptr && parent->Height() == height) {
      const bool parent_is_left = grand->left() == parent;
      const BaseNode* sibling = parent_is_left ? grand->right() : grand->left();
      if (height > BaseNode::HeightOf(sibling) + 1) {
        if (parent_is_left) {
          if (parent->right() == node) RotateLeft(parent);
          RotateRight(grand);
        } else {
          if (parent->left() == node) RotateRight(parent);
          RotateLeft(grand);
        }
        return;
      }
      node = parent;
      parent = grand;
      grand = AsNode(grand->parent());
      ++height;
    }
  }

  // Walks from `node` to the root; a node whose sides differ by more than
  // one is rotated away from its taller side (after a first rotation at the
  // taller child when that child leans inwards) and examined again.
  void RebalanceUpwards(Node* node) {
    while (node != nullptr) {
      const uint32_t left = BaseNode::HeightOf(node->left());
      const uint32_t right = BaseNode::HeightOf(node->right());
      if (right > left + 1) {
        Node* taller = AsNode(node->right());
        if (BaseNode::HeightOf(taller->left()) > BaseNode::HeightOf(taller->right())) {
          RotateRight(taller);
        }
        RotateLeft(node);
      } else if (left > right + 1) {
        Node* taller = AsNode(node->left());
        if (BaseNode::HeightOf(taller->right()) > BaseNode::HeightOf(taller->left())) {
          RotateLeft(taller);
        }
        RotateRight(node);
      } else {
        node = AsNode(node->parent());
      }
    }
  }

  void CheckSubtree(const Node* node, uint32_t* nodes, const Node** previous,
                    std::string* fault) const {
    if (node == nullptr || !fault->empty()) return;
    ++*nodes;
    for (const BaseNode* child : {node->left(), node->right()}) {
      if (child != nullptr && child->parent() != node) {
        *fault = "child does not point back at its parent";
        return;
      }
    }
    CheckSubtree(AsNode(node->left()), nodes, previous, fault);
    if (!fault->empty()) return;
    if (*previous != nullptr && !less_((*previous)->value(), node->value())) {
      *fault = "values out of order";
      return;
    }
    *previous = node;
    CheckSubtree(AsNode(node->right()), nodes, previous, fault);
    if (!fault->empty()) return;
    const uint32_t left = BaseNode::HeightOf(node->left());
    const uint32_t right = BaseNode::HeightOf(node->right());
    const uint32_t subtree = 1 + Node::NodesOf(node->left()) + Node::NodesOf(node->right());
    if (node->height_ != 1 + std::max(left, right)) {
      *fault = "stored height " + std::to_string(node->height_) + " but subtree height " +
               std::to_string(1 + std::max(left, right));
    } else if (node->nodes_ != subtree) {
      *fault = "stored node count " + std::to_string(node->nodes_) + " but " + std::to_string(subtree) +
               " nodes in the subtree";
    } else if (left > right + 1 || right > left + 1) {
      *fault = "subtree heights " + std::to_string(left) + " and " + std::to_string(right) +
               " out of balance";
    }
  }

  Node* root_ = nullptr;
  uint32_t count_ = 0;
  [[no_unique_address]] Less less_{};
  [[no_unique_address]] Match match_{};
};

}  // namespace brelvane
