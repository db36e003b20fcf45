// SPDX-License-Identifier: MIT
#include "storage/task.h"

#include <gtest/gtest.h>

#include <thread>

#include "catalogue/download_info.h"
#include "storage/file.h"
#include "storage/file_system.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using namespace testing;  // NOLINT(google-build-using-namespace): the storage test helpers

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
    auto file = File::Create(dir_.File("f.bin"), MakeEntry(3, "f.bin", content_, 100), RangeSet32(),
                             &fs_.block_states(), disk_.get());
    ASSERT_NE(file_ = file.get(), nullptr);
    ASSERT_TRUE(fs_.AddFile(std::move(file)));
    fs_.RecomputeCounters();
    fs_.set_clock([this] { return now_; });
    SetLastResumeWrite(0);
  }
  void RunResumeWrite() { TaskWriteDownloadInfo(fs_.resume_path()).Run(&fs_); }
  // The resume file as read back; all_file_complete stays false when there is none.
  DownloadInfoData Resume() {
    DownloadInfoData data;
    EXPECT_TRUE(ReadDownloadInfo(fs_.resume_path(), &data));
    return data;
  }

  TempDir dir_;
  std::unique_ptr<WatchedDisk> disk_;  // outlives the file system that writes to it
  FileSystem fs_;
  const std::vector<uint8_t> content_ = PatternBytes(1000, 21);
  File* file_ = nullptr;
  uint32_t now_ = 100000;
};

// The resume file is rewritten only after more than fifteen seconds; at the
// end it is written whatever the time, but only once the data is on the
// device: a failed flush leaves it alone until the next try.
TEST_F(TaskTest, ResumeFileWaitsFifteenSecondsAndTheFinalOneASuccessfulFlush) {
  RunResumeWrite();
  ASSERT_TRUE(PathExists(fs_.resume_path()));
  EXPECT_EQ(LastResumeWrite(), now_);
  for (const uint32_t step : {10u, 5u, 1u}) {  // the third step passes fifteen seconds
    platform::RemoveFile(fs_.resume_path());
    now_ += step;
    RunResumeWrite();
    EXPECT_EQ(PathExists(fs_.resume_path()), step == 1) << now_;
  }
  EXPECT_FALSE(Resume().all_file_complete);
  EXPECT_EQ(Resume().not_complete.at(3).Size(), 10u);
  EXPECT_EQ(disk_->syncs, 0);  // nothing written yet, nothing to flush
  platform::RemoveFile(fs_.resume_path());
  for (uint32_t p = 0; p < 10; ++p) {
    auto copy = std::make_unique<uint8_t[]>(100);
    std::copy_n(content_.begin() + p * 100, 100, copy.get());
    TaskWriteBlock(file_, p * 100, 100, std::move(copy), nullptr).Run(&fs_);
  }
  ASSERT_TRUE(fs_.AllWritten());
  disk_->fail_sync_ = true;
  RunResumeWrite();  // same second as the previous write
  EXPECT_FALSE(PathExists(fs_.resume_path()));
  EXPECT_EQ(LastResumeWrite(), now_);
  disk_->fail_sync_ = false;
  now_ += 1;
  RunResumeWrite();
  EXPECT_EQ(disk_->syncs, 1);
  EXPECT_FALSE(disk_->resume_existed_at_sync_);
  EXPECT_TRUE(Resume().all_file_complete);
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
  EXPECT_EQ(log.Tally(), "0 verified, 5 nothing, 5 destroyed");
  EXPECT_EQ(file_->VerifiedCount(), 0u);
}

}  // namespace
}  // namespace brelvane
