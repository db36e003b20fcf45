// SPDX-License-Identifier: MIT
#include "storage/byte_budget.h"

#include <gtest/gtest.h>

#include <thread>

namespace brelvane {
namespace {

TEST(ByteBudgetTest, HoldsAtMostTheLimitExceptOneOversizedRequest) {
  ByteBudget budget(100);
  ASSERT_TRUE(budget.Acquire(60, 0));
  ASSERT_TRUE(budget.Acquire(40, 0));
  EXPECT_FALSE(budget.Acquire(1, 0));  // full: the time limit runs out
  EXPECT_EQ(budget.held(), 100u);
  // A waiter gets its room as soon as enough is released.
  std::thread releaser([&] { budget.Release(60); });
  EXPECT_TRUE(budget.Acquire(50, 10000));
  releaser.join();
  EXPECT_EQ(budget.held(), 90u);
  budget.Release(90);
  EXPECT_TRUE(budget.Acquire(500, 0));  // larger than the whole budget, alone
  EXPECT_FALSE(budget.Acquire(1, 0));
}

}  // namespace
}  // namespace brelvane
