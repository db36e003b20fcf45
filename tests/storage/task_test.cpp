// SPDX-License-Identifier: MIT
#include "storage/task.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <vector>

#include "catalogue/download_info.h"
#include "storage/file.h"
#include "storage/file_system.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using testing::Gate;
using testing::MakeEntry;
using testing::MemoryFile;
using testing::ObserverLog;
using testing::PatternBytes;
using testing::TempDir;

// A disk that notes, at each flush, whether the resume file existed yet.
class WatchedDisk : public MemoryFile {
 public:
  explicit WatchedDisk(std::string resume) : resume_(std::move(resume)) {}
  bool Sync() override {
    resume_existed_at_sync_ = PathExists(resume_);
    return fail_sync_ ? false : MemoryFile::Sync();
  }
  std::string resume_;
  bool resume_existed_at_sync_ = false;
  bool fail_sync_ = false;
};

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.SetPaths(FileEntry(), dir_.path(), "");
    ASSERT_TRUE(CreateDirectories(fs_.info_directory()));
    disk_ = std::make_unique<WatchedDisk>(fs_.resume_path());
    content_ = PatternBytes(1000, 21);
    entry_ = MakeEntry(3, "f.bin", content_, 100);
    auto file =
        File::Create(dir_.File("f.bin"), entry_, RangeSet32(), &fs_.block_states(), disk_.get());
    ASSERT_NE(file, nullptr);
    file_ = file.get();
    ASSERT_TRUE(fs_.AddFile(std::move(file)));
    fs_.RecomputeCounters();
    fs_.set_clock([this] { return now_; });
    SetLastResumeWrite(0);
  }
  void RunBlock(size_t from, size_t to) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[to - from]);
    std::memcpy(copy.get(), content_.data() + from, to - from);
    TaskWriteBlock(file_, from, static_cast<uint32_t>(to - from), std::move(copy), nullptr)
        .Run(&fs_);
  }
  void RunResumeWrite() { TaskWriteDownloadInfo(fs_.resume_path()).Run(&fs_); }

  TempDir dir_;
  std::unique_ptr<WatchedDisk> disk_;  // outlives the file system that writes to it
  FileSystem fs_;
  std::vector<uint8_t> content_;
  FileEntry entry_;
  File* file_ = nullptr;
  uint32_t now_ = 100000;
};

TEST_F(TaskTest, ResumeFileIsRewrittenOnlyAfterMoreThanFifteenSeconds) {
  RunResumeWrite();
  ASSERT_TRUE(PathExists(fs_.resume_path()));
  EXPECT_EQ(LastResumeWrite(), now_);
  platform::RemoveFile(fs_.resume_path());
  now_ += 10;
  RunResumeWrite();
  EXPECT_FALSE(PathExists(fs_.resume_path()));
  now_ += 5;  // exactly 15 seconds: not yet
  RunResumeWrite();
  EXPECT_FALSE(PathExists(fs_.resume_path()));
  now_ += 1;
  RunResumeWrite();
  EXPECT_TRUE(PathExists(fs_.resume_path()));
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(fs_.resume_path(), &data));
  EXPECT_FALSE(data.all_file_complete);
  EXPECT_EQ(data.not_complete.at(3).Size(), 10u);
}

// At the end the resume file is written whatever the time, but only once the
// data is on the device: a failed flush leaves it alone until the next try.
TEST_F(TaskTest, FinalResumeWriteFollowsASuccessfulFlush) {
  RunResumeWrite();
  EXPECT_EQ(disk_->syncs, 0);  // nothing written yet, nothing to flush
  const uint32_t first = LastResumeWrite();
  platform::RemoveFile(fs_.resume_path());
  for (uint32_t p = 0; p < 10; ++p) RunBlock(p * 100, p * 100 + 100);
  ASSERT_TRUE(fs_.AllWritten());
  disk_->fail_sync_ = true;
  RunResumeWrite();  // same second as the previous write
  EXPECT_FALSE(PathExists(fs_.resume_path()));
  EXPECT_EQ(LastResumeWrite(), first);
  disk_->fail_sync_ = false;
  now_ += 1;
  RunResumeWrite();
  EXPECT_EQ(disk_->syncs, 1);
  EXPECT_FALSE(disk_->resume_existed_at_sync_);
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(fs_.resume_path(), &data));
  EXPECT_TRUE(data.all_file_complete);
  EXPECT_EQ(LastResumeWrite(), now_);
}

TEST_F(TaskTest, StopDestroysQueuedBlocksAndTellsTheirObservers) {
  ASSERT_TRUE(fs_.StartRunner(8));
  Gate gate;
  ASSERT_TRUE(gate.Hold(fs_.runner()));
  ObserverLog log;
  for (uint32_t p = 0; p < 5; ++p) {
    ASSERT_TRUE(fs_.CommitWrite(3, content_.data() + p * 100, 100, p * 100, log.New()));
  }
  std::thread stopper([&] { fs_.StopRunner(); });
  while (fs_.runner().PendingCount() < 6) std::this_thread::yield();  // Stop's wake-up is queued
  gate.Open();
  stopper.join();
  EXPECT_EQ(log.Tally(), "0 verified (0), 5 nothing, 5 destroyed");
  EXPECT_EQ(file_->VerifiedCount(), 0u);
}

}  // namespace
}  // namespace brelvane
