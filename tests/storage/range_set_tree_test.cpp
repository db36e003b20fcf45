// SPDX-License-Identifier: MIT
// The tree under RangeSet: node linking, swapping and height keeping, and
// the AVL tree's balance and node stability.  Search and insertion are left
// to the RangeSet model test, which checks every answer they lead to.

#include "storage/avl_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace brelvane {
namespace {

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
  const struct {
    int a, b;
    const char* shape;
  } swaps[] = {
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
