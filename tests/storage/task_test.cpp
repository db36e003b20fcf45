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

using testing::MakeEntry;
using testing::MemoryFile;
using testing::PatternBytes;
using testing::TempDir;

struct ObserverLog {
  std::atomic<uint32_t> verified_bytes{0};
  std::atomic<int> verified_calls{0};
  std::atomic<int> nothing_calls{0};
  std::atomic<int> destroyed{0};
};

class RecordingObserver : public IWriteObserver {
 public:
  explicit RecordingObserver(ObserverLog* log) : log_(log) {}
  void OnVerifiedBytes(uint32_t count) override {
    log_->verified_bytes.fetch_add(count);
    log_->verified_calls.fetch_add(1);
  }
  void OnNothingVerified() override { log_->nothing_calls.fetch_add(1); }
  void Destroy() override {
    log_->destroyed.fetch_add(1);
    delete this;
  }

 private:
  ObserverLog* log_;
};

std::unique_ptr<uint8_t[]> Copy(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[to - from]);
  std::memcpy(copy.get(), bytes.data() + from, to - from);
  return copy;
}

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
    auto file = File::Create(dir_.File("f.bin"), entry_, RangeSet32(), &fs_.block_states(),
                             disk_.get());
    ASSERT_NE(file, nullptr);
    file_ = file.get();
    ASSERT_TRUE(fs_.AddFile(std::move(file)));
    fs_.RecomputeCounters();
    fs_.set_clock([this] { return now_; });
    SetLastResumeWrite(0);
  }
  void RunBlock(size_t from, size_t to, IWriteObserver* observer = nullptr) {
    TaskWriteBlock task(file_, from, static_cast<uint32_t>(to - from), Copy(content_, from, to),
                        observer);
    task.Run(&fs_);
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

TEST_F(TaskTest, BlockThatCompletesNoPartTellsTheObserverNothingVerified) {
  ObserverLog log;
  RunBlock(0, 60, new RecordingObserver(&log));
  EXPECT_EQ(log.nothing_calls.load(), 1);
  EXPECT_EQ(log.verified_calls.load(), 0);
  EXPECT_EQ(log.destroyed.load(), 1);
}

TEST_F(TaskTest, BlockThatCompletesAPartReportsThePartsLength) {
  ObserverLog log;
  RunBlock(0, 60);
  RunBlock(60, 250, new RecordingObserver(&log));  // completes parts 0 and 1
  EXPECT_EQ(log.verified_calls.load(), 1);
  EXPECT_EQ(log.verified_bytes.load(), 200u);
  EXPECT_EQ(log.nothing_calls.load(), 0);
  EXPECT_EQ(log.destroyed.load(), 1);
}

TEST_F(TaskTest, UnrunBlockTellsItsObserverWhenDestroyed) {
  ObserverLog log;
  { TaskWriteBlock task(file_, 0, 100, Copy(content_, 0, 100), new RecordingObserver(&log)); }
  EXPECT_EQ(log.nothing_calls.load(), 1);
  EXPECT_EQ(log.destroyed.load(), 1);
  EXPECT_FALSE(file_->IsPartVerified(0));
}

TEST_F(TaskTest, WrittenCountersFollowEveryBatchAndFlush) {
  for (uint32_t p = 0; p < 9; ++p) RunBlock(p * 100, p * 100 + 100);
  EXPECT_EQ(fs_.WrittenParts(), 0u);  // nine parts wait in memory
  TaskFlushAll(&fs_).Run(&fs_);
  EXPECT_EQ(fs_.WrittenParts(), 9u);
  EXPECT_EQ(fs_.WrittenBytes(), 900u);
  RunBlock(900, 1000);
  EXPECT_EQ(fs_.WrittenParts(), 10u);
  EXPECT_EQ(fs_.WrittenBytes(), 1000u);
  EXPECT_TRUE(fs_.AllWritten());
  EXPECT_EQ(disk_->bytes(), content_);
}

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

TEST_F(TaskTest, ResumeFileIsWrittenAtTheEndWhateverTheTime) {
  RunResumeWrite();
  platform::RemoveFile(fs_.resume_path());
  for (uint32_t p = 0; p < 10; ++p) RunBlock(p * 100, p * 100 + 100);
  ASSERT_TRUE(fs_.AllWritten());
  RunResumeWrite();  // same second as the previous write
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(fs_.resume_path(), &data));
  EXPECT_TRUE(data.all_file_complete);
}

TEST_F(TaskTest, WrittenDataReachesTheDeviceBeforeTheResumeFileCountsIt) {
  RunResumeWrite();
  EXPECT_EQ(disk_->syncs(), 0);  // nothing written yet, nothing to flush
  platform::RemoveFile(fs_.resume_path());
  for (uint32_t p = 0; p < 10; ++p) RunBlock(p * 100, p * 100 + 100);
  now_ += 16;
  RunResumeWrite();
  EXPECT_EQ(disk_->syncs(), 1);
  EXPECT_FALSE(disk_->resume_existed_at_sync_);
  EXPECT_TRUE(PathExists(fs_.resume_path()));
}

TEST_F(TaskTest, FailedFlushLeavesTheResumeFileAloneAndRetriesNextTime) {
  RunResumeWrite();
  const uint32_t first = LastResumeWrite();
  for (uint32_t p = 0; p < 10; ++p) RunBlock(p * 100, p * 100 + 100);
  disk_->fail_sync_ = true;
  now_ += 16;
  RunResumeWrite();
  EXPECT_EQ(LastResumeWrite(), first);
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(fs_.resume_path(), &data));
  EXPECT_FALSE(data.all_file_complete);  // still the old content
  disk_->fail_sync_ = false;
  now_ += 1;
  RunResumeWrite();
  ASSERT_TRUE(ReadDownloadInfo(fs_.resume_path(), &data));
  EXPECT_TRUE(data.all_file_complete);
  EXPECT_EQ(LastResumeWrite(), now_);
}

TEST_F(TaskTest, DoubleRunsBothHalvesInOrder) {
  std::vector<int> order;
  struct Step : Task {
    Step(std::vector<int>* order, int id) : order_(order), id_(id) {}
    void Run(FileSystem*) override { order_->push_back(id_); }
    std::vector<int>* order_;
    int id_;
  };
  TaskDouble(std::make_unique<Step>(&order, 1), std::make_unique<Step>(&order, 2)).Run(&fs_);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(TaskTest, StopDestroysQueuedBlocksAndTellsTheirObservers) {
  ASSERT_TRUE(fs_.StartRunner(8));
  std::promise<void> entered;
  std::promise<void> open;
  struct Gate : Task {
    Gate(std::promise<void>* entered, std::shared_future<void> open)
        : entered_(entered), open_(std::move(open)) {}
    void Run(FileSystem*) override {
      entered_->set_value();
      open_.wait();
    }
    std::promise<void>* entered_;
    std::shared_future<void> open_;
  };
  std::unique_ptr<Task> gate = std::make_unique<Gate>(&entered, open.get_future().share());
  ASSERT_TRUE(fs_.runner().Post(gate, kInfiniteWait));
  entered.get_future().wait();
  ObserverLog log;
  for (uint32_t p = 0; p < 5; ++p) {
    ASSERT_TRUE(fs_.CommitWrite(3, content_.data() + p * 100, 100, p * 100,
                                new RecordingObserver(&log)));
  }
  std::thread stopper([&] { fs_.StopRunner(); });
  while (fs_.runner().PendingCount() < 6) std::this_thread::yield();
  open.set_value();
  stopper.join();
  EXPECT_EQ(log.nothing_calls.load(), 5);
  EXPECT_EQ(log.destroyed.load(), 5);
  EXPECT_EQ(log.verified_calls.load(), 0);
  EXPECT_EQ(file_->VerifiedCount(), 0u);
}

}  // namespace
}  // namespace brelvane
