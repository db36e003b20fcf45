// SPDX-License-Identifier: MIT
// CommitWrite takes the write observer on every path, so that a caller can
// never leak it or destroy it twice.
#include <gtest/gtest.h>

#include "storage/file_system.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using testing::MakeEntry;
using testing::PatternBytes;
using testing::TempDir;

struct CountingObserver : IWriteObserver {
  int* verified;
  int* nothing;
  int* destroyed;
  CountingObserver(int* v, int* n, int* d) : verified(v), nothing(n), destroyed(d) {}
  void OnVerifiedBytes(uint32_t) override { ++*verified; }
  void OnNothingVerified() override { ++*nothing; }
  void Destroy() override {
    ++*destroyed;
    delete this;
  }
};

TEST(CommitOwnershipTest, RefusedBlocksStillEndTheirObserver) {
  TempDir dir;
  FileSystem fs;
  fs.SetPaths(FileEntry(), dir.path(), "");
  const std::vector<uint8_t> content = PatternBytes(200, 1);
  ASSERT_TRUE(fs.RegisterFile(dir.File("f"), MakeEntry(1, "f", content, 100), true, RangeSet32()));
  int verified = 0, nothing = 0, destroyed = 0;

  // Unknown file.
  EXPECT_FALSE(fs.CommitWrite(9, content.data(), 100, 0,
                              new CountingObserver(&verified, &nothing, &destroyed)));
  EXPECT_EQ(nothing, 1);
  EXPECT_EQ(destroyed, 1);

  // No worker running.
  EXPECT_FALSE(fs.CommitWrite(1, content.data(), 100, 0,
                              new CountingObserver(&verified, &nothing, &destroyed)));
  EXPECT_EQ(nothing, 2);
  EXPECT_EQ(destroyed, 2);

  // Accepted: the worker verifies the part and ends the observer.
  ASSERT_TRUE(fs.StartRunner(4));
  EXPECT_TRUE(fs.CommitWrite(1, content.data(), 100, 0,
                             new CountingObserver(&verified, &nothing, &destroyed)));
  ASSERT_TRUE(fs.Drain());
  EXPECT_EQ(verified, 1);
  EXPECT_EQ(destroyed, 3);
}

}  // namespace
}  // namespace brelvane
