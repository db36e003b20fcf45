// SPDX-License-Identifier: MIT
// A run given back by a finished download must not free the parts whose
// data is still waiting in the storage queue.
#include <gtest/gtest.h>

#include <future>

#include "storage/file_system.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using testing::MakeEntry;
using testing::PatternBytes;
using testing::TempDir;

// Holds the storage worker inside a task until released, so the test
// controls what the queue holds.
struct Gate : Task {
  explicit Gate(std::shared_future<void> open) : open_(std::move(open)) {}
  void Run(FileSystem*) override { open_.wait(); }
  std::shared_future<void> open_;
};

class ReleaseAfterWritesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.SetPaths(FileEntry(), dir_.path(), "");
    content_ = PatternBytes(1000, 3);
    entry_ = MakeEntry(1, "f", content_, 100);
    ASSERT_TRUE(fs_.RegisterFile(dir_.File("f"), entry_, true, RangeSet32()));
    ASSERT_TRUE(fs_.StartRunner(64));
  }
  void HoldWorker() {
    std::unique_ptr<Task> gate = std::make_unique<Gate>(open_.get_future().share());
    ASSERT_TRUE(fs_.runner().Post(gate, kInfiniteWait));
  }
  void CommitParts(uint32_t first, uint32_t last) {
    for (uint32_t p = first; p <= last; ++p)
      ASSERT_TRUE(fs_.CommitWrite(1, content_.data() + p * 100, 100, p * 100, nullptr));
  }

  TempDir dir_;
  std::vector<uint8_t> content_;
  FileEntry entry_;
  FileSystem fs_;
  std::promise<void> open_;
};

TEST_F(ReleaseAfterWritesTest, QueuedPartsBecomeDoneInsteadOfFree) {
  const UID run = fs_.AllocateRun();
  ASSERT_EQ(run.first_part, 0u);
  ASSERT_EQ(run.last_part, 9u);
  HoldWorker();
  CommitParts(0, 5);  // parts 6..9 never arrived
  fs_.ReleaseUidAfterWrites(run);
  // Still queued: nothing was given back yet.
  EXPECT_FALSE(fs_.IsPartFree(1, 0));
  EXPECT_FALSE(fs_.IsPartFree(1, 9));
  open_.set_value();
  ASSERT_TRUE(fs_.Drain());
  for (uint32_t p = 0; p <= 5; ++p) {
    EXPECT_TRUE(fs_.IsPartVerified(1, p)) << p;
    EXPECT_FALSE(fs_.IsPartFree(1, p)) << p;
  }
  for (uint32_t p = 6; p <= 9; ++p) EXPECT_TRUE(fs_.IsPartFree(1, p)) << p;
  // The next run starts where data is missing.
  const UID next = fs_.AllocateRun();
  EXPECT_EQ(next.first_part, 6u);
  EXPECT_EQ(next.last_part, 9u);
}

TEST_F(ReleaseAfterWritesTest, StoppedWorkerStillGivesTheRunBack) {
  const UID run = fs_.AllocateRun();
  HoldWorker();
  fs_.ReleaseUidAfterWrites(run);  // queued behind the gate
  EXPECT_FALSE(fs_.IsPartFree(1, 0));
  open_.set_value();
  fs_.StopRunner();  // the release ran or was dropped unrun: either way it happened
  for (uint32_t p = 0; p <= 9; ++p) EXPECT_TRUE(fs_.IsPartFree(1, p)) << p;
  // With no worker the release is immediate, and Drain says there is none.
  const UID again = fs_.AllocateRun();
  fs_.ReleaseUidAfterWrites(again);
  EXPECT_TRUE(fs_.IsPartFree(1, again.first_part));
  EXPECT_FALSE(fs_.Drain());
}

}  // namespace
}  // namespace brelvane
