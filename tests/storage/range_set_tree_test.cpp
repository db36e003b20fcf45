// SPDX-License-Identifier: MIT
// The tree under RangeSet: node linking, swapping and height keeping, and
// the AVL tree's balance, search results and node stability.

#include "storage/avl_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace brelvane {
namespace {

using Plain = BinaryTreeNode<int>;
using IntTree = AVLTree<int, std::less<int>, std::equal_to<int>>;

// "(left value right)", "-" for an absent child, a bare value for a leaf.
std::string Shape(const Plain* node) {
  if (node == nullptr) return "-";
  if (node->left() == nullptr && node->right() == nullptr) return std::to_string(node->value());
  return "(" + Shape(node->left()) + " " + std::to_string(node->value()) + " " +
         Shape(node->right()) + ")";
}

bool LinksConsistent(const Plain* node) {
  if (node == nullptr) return true;
  for (const Plain* child : {node->left(), node->right()}) {
    if (child != nullptr && child->parent() != node) return false;
  }
  return LinksConsistent(node->left()) && LinksConsistent(node->right());
}

const Plain* RootOf(const Plain* node) {
  while (node->parent() != nullptr) node = node->parent();
  return node;
}

// The tree ((1 2 3) 4 (5 6 7)) of plain nodes; nodes[v] holds value v.
class SwapTest : public ::testing::Test {
 protected:
  SwapTest() {
    for (int v = 1; v <= 7; ++v) nodes_[v] = new Plain(v);
    EXPECT_TRUE(nodes_[2]->SetLeft(nodes_[1]));
    EXPECT_TRUE(nodes_[2]->SetRight(nodes_[3]));
    EXPECT_TRUE(nodes_[6]->SetLeft(nodes_[5]));
    EXPECT_TRUE(nodes_[6]->SetRight(nodes_[7]));
    EXPECT_TRUE(nodes_[4]->SetLeft(nodes_[2]));
    EXPECT_TRUE(nodes_[4]->SetRight(nodes_[6]));
  }
  ~SwapTest() override { delete RootOf(nodes_[1]); }

  std::string TreeShape() const {
    const Plain* root = RootOf(nodes_[1]);
    EXPECT_TRUE(LinksConsistent(root));
    return Shape(root);
  }

  Plain* nodes_[8] = {};
};

// Each swap, applied to ((1 2 3) 4 (5 6 7)) in turn; nodes keep their values.
TEST_F(SwapTest, SwapsAnyTwoNodesWhateverTheirRelation) {
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
    nodes_[s.a]->SwapWith(nodes_[s.b]);
    EXPECT_EQ(TreeShape(), s.shape) << s.a << " with " << s.b;
  }
  EXPECT_EQ(RootOf(nodes_[1]), nodes_[4]);
  EXPECT_EQ(nodes_[1]->parent(), nodes_[2]);
  nodes_[3]->SwapWith(nullptr);
  EXPECT_EQ(TreeShape(), "((1 2 3) 4 (5 6 7))");
}

TEST(BinaryTreeNodeTest, SetChildRefusesNullOccupiedAndParentedChildren) {
  auto root = std::make_unique<Plain>(1);
  auto* child = new Plain(2);
  EXPECT_FALSE(root->SetLeft(nullptr));
  EXPECT_TRUE(root->SetLeft(child));
  auto spare = std::make_unique<Plain>(3);
  EXPECT_FALSE(root->SetLeft(spare.get()));  // Left already taken.
  EXPECT_FALSE(spare->SetRight(child));      // child already has a parent.
  EXPECT_FALSE(root->SetRight(root.get()));  // Not its own child.
  EXPECT_TRUE(root->SetRight(spare.release()));
  EXPECT_EQ(Shape(root.get()), "(2 1 3)");
}

TEST(BinaryTreeNodeTest, DetachUnlinksAndHandsBackOwnership) {
  auto root = std::make_unique<Plain>(1);
  ASSERT_TRUE(root->SetLeft(new Plain(2)));
  ASSERT_TRUE(root->SetRight(new Plain(3)));
  ASSERT_TRUE(root->left()->SetLeft(new Plain(4)));

  std::unique_ptr<Plain> left(root->DetachLeft());
  EXPECT_EQ(Shape(left.get()), "(4 2 -)");
  EXPECT_EQ(left->parent(), nullptr);
  EXPECT_EQ(root->DetachLeft(), nullptr);

  Plain* right = root->right();
  EXPECT_EQ(right->DetachFromParent(), root.get());
  std::unique_ptr<Plain> owned_right(right);
  EXPECT_EQ(root->right(), nullptr);
  EXPECT_EQ(right->DetachFromParent(), nullptr);
  EXPECT_EQ(root->DetachRight(), nullptr);
  EXPECT_EQ(Shape(root.get()), "1");
}

TEST(AVLTreeTest, SearchReportsNeighboursAndWhereToHang) {
  IntTree tree;
  const IntTree::SearchResult on_empty = tree.Search(5);
  EXPECT_TRUE(on_empty.found);  // Callers test for the empty tree first.
  EXPECT_EQ(on_empty.node, nullptr);
  for (int v : {10, 20, 30, 40, 50}) ASSERT_NE(tree.Insert(v), nullptr);
  EXPECT_EQ(tree.Insert(30), nullptr);  // matches a stored value
  EXPECT_EQ(tree.Count(), 5u);

  const IntTree::SearchResult hit = tree.Search(30);
  ASSERT_TRUE(hit.found);
  EXPECT_EQ(hit.node->value(), 30);

  const IntTree::SearchResult miss = tree.Search(35);
  EXPECT_FALSE(miss.found);
  ASSERT_NE(miss.predecessor, nullptr);
  ASSERT_NE(miss.successor, nullptr);
  EXPECT_EQ(miss.predecessor->value(), 30);
  EXPECT_EQ(miss.successor->value(), 40);
  EXPECT_TRUE(miss.node == miss.predecessor || miss.node == miss.successor);
  EXPECT_EQ(miss.hang_left, miss.node == miss.successor);

  const IntTree::SearchResult below_all = tree.Search(1);
  EXPECT_EQ(below_all.predecessor, nullptr);
  EXPECT_EQ(below_all.successor->value(), 10);
  const IntTree::SearchResult above_all = tree.Search(99);
  EXPECT_EQ(above_all.predecessor->value(), 50);
  EXPECT_EQ(above_all.successor, nullptr);
}

TEST(AVLTreeTest, RemovalKeepsOtherNodesAndBalance) {
  std::mt19937 random(3);
  IntTree tree;
  std::map<int, IntTree::Node*> nodes;
  std::vector<int> values(2000);
  for (int i = 0; i < 2000; ++i) values[i] = i;
  std::shuffle(values.begin(), values.end(), random);
  for (int v : values) nodes[v] = tree.Insert(v);
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
        ASSERT_EQ(node->value(), expected->first);
        ++expected;
      }
      ASSERT_EQ(expected, nodes.end());
    }
  }
  EXPECT_TRUE(tree.Empty());
  EXPECT_EQ(tree.root(), nullptr);
}

TEST(AVLTreeTest, WalksBothWaysAndCopiesDeeply) {
  IntTree tree;
  for (int v : {5, 3, 8, 1, 4, 7, 9, 2, 6}) ASSERT_NE(tree.Insert(v), nullptr);
  std::vector<int> forward;
  for (auto* n = tree.First(); n != nullptr; n = IntTree::Next(n)) forward.push_back(n->value());
  std::vector<int> backward;
  for (auto* n = tree.Last(); n != nullptr; n = IntTree::Prev(n)) backward.push_back(n->value());
  EXPECT_EQ(forward, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(backward, (std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, 1}));

  IntTree copy(tree);
  copy.Remove(copy.First());
  EXPECT_EQ(copy.Count(), 8u);
  EXPECT_EQ(tree.Count(), 9u);
  EXPECT_EQ(tree.First()->value(), 1);
  EXPECT_TRUE(copy.CheckInvariants());
  EXPECT_TRUE(tree.CheckInvariants());
}

TEST(AVLTreeTest, CheckInvariantsCatchesWrongHeight) {
  IntTree tree;
  for (int v : {2, 1, 3}) ASSERT_NE(tree.Insert(v), nullptr);
  ASSERT_TRUE(tree.CheckInvariants());
  // Unbalance the tree behind its back: hang a chain under a leaf with the
  // plain-node link, which keeps no heights.
  IntTree::Node* leaf = IntTree::Next(tree.root());
  auto* extra = new IntTree::Node(4);
  ASSERT_TRUE(leaf->SetRight(extra));
  std::string why;
  EXPECT_FALSE(tree.CheckInvariants(&why));
  EXPECT_NE(why.find("height"), std::string::npos) << why;
}

}  // namespace
}  // namespace brelvane
