// SPDX-License-Identifier: MIT
#include "storage/file.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <vector>

#include "base/console_log.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using testing::FileLength;
using testing::MakeEntry;
using testing::MemoryFile;
using testing::PatternBytes;
using testing::ReadWholeFile;
using testing::RecordingListener;
using testing::TempDir;
using testing::WriteWholeFile;

// A file of `size` bytes in parts of `part_size`, over an in-memory disk.
class FileTest : public ::testing::Test {
 protected:
  void Make(size_t size, uint32_t part_size, const RangeSet32& on_disk = RangeSet32()) {
    content_ = PatternBytes(size, 11);
    entry_ = MakeEntry(7, "dir/name.bin", content_, part_size);
    file_ = File::Create("/unused/dir/name.bin", entry_, on_disk, &listener_, &disk_);
    ASSERT_NE(file_, nullptr);
  }
  // Feeds bytes [from, to) of the content as one chunk.
  void Feed(uint64_t from, uint64_t to) {
    ASSERT_TRUE(file_->WriteData(content_.data() + from, static_cast<uint32_t>(to - from), from));
  }
  void FeedPart(uint32_t index) {
    const PartEntry& part = entry_.parts[index];
    Feed(part.start, part.start + part.length);
  }

  std::vector<uint8_t> content_;
  FileEntry entry_;
  MemoryFile disk_;
  RecordingListener listener_;
  std::unique_ptr<File> file_;
};

TEST_F(FileTest, ChunkSpanningTwoPartsFillsBothAndVerifiesEachOnItsOwn) {
  Make(400, 100);
  Feed(50, 150);  // second half of part 0, first half of part 1
  EXPECT_FALSE(file_->IsPartVerified(0));
  EXPECT_FALSE(file_->IsPartVerified(1));
  Feed(0, 50);
  EXPECT_TRUE(file_->IsPartVerified(0));
  EXPECT_FALSE(file_->IsPartVerified(1));
  Feed(150, 200);
  EXPECT_TRUE(file_->IsPartVerified(1));
  EXPECT_EQ(file_->VerifiedCount(), 2u);
  EXPECT_EQ(file_->VerifiedBytes(), 200u);
  EXPECT_EQ(listener_.verified().size(), 2u);
  EXPECT_EQ(listener_.verified()[1], (UID{7, 1, 1}));
}

TEST_F(FileTest, OverlappingChunksOverwriteAndThePartVerifiesOnItsLastByte) {
  Make(300, 100);
  Feed(0, 60);
  Feed(20, 80);  // overlaps what came before
  Feed(10, 30);
  EXPECT_FALSE(file_->IsPartVerified(0));
  EXPECT_EQ(file_->GetPart(0)->MissingBytes(), 20u);
  Feed(70, 100);
  EXPECT_TRUE(file_->IsPartVerified(0));
  Feed(0, 100);  // the same part again is ignored
  EXPECT_EQ(file_->VerifiedCount(), 1u);
}

TEST_F(FileTest, ChunkBeyondTheDeclaredSizeIsCut) {
  Make(250, 100);
  std::vector<uint8_t> chunk(content_.begin() + 200, content_.end());
  chunk.resize(500, 0xAB);  // 450 bytes of garbage after the end
  ASSERT_TRUE(file_->WriteData(chunk.data(), static_cast<uint32_t>(chunk.size()), 200));
  EXPECT_TRUE(file_->IsPartVerified(2));
  ASSERT_TRUE(file_->WriteData(chunk.data(), 10, 250));  // wholly past the end
  ASSERT_TRUE(file_->WriteData(chunk.data(), 10, ~uint64_t{0} - 5));
  EXPECT_EQ(file_->VerifiedCount(), 1u);
}

TEST_F(FileTest, BadDigestMakesThePartWantedAgainFromItsFirstByte) {
  Make(300, 100);
  std::vector<uint8_t> bad(content_.begin() + 100, content_.begin() + 200);
  bad[37] ^= 1;
  ASSERT_TRUE(file_->WriteData(bad.data(), 100, 100));
  EXPECT_FALSE(file_->IsPartVerified(1));
  EXPECT_EQ(file_->GetPart(1)->MissingBytes(), 100u);
  EXPECT_TRUE(listener_.verified().empty());  // the allocation stays with its downloader
  EXPECT_TRUE(listener_.reset().empty());
  Feed(150, 200);  // good bytes for the second half only: not enough
  EXPECT_FALSE(file_->IsPartVerified(1));
  Feed(100, 150);
  EXPECT_TRUE(file_->IsPartVerified(1));
}

TEST_F(FileTest, NinePendingPartsStayInMemoryAndTheTenthWritesAllTen) {
  Make(2000, 100);
  for (uint32_t p = 0; p < 9; ++p) FeedPart(p);
  EXPECT_EQ(disk_.writes(), 0);
  EXPECT_EQ(file_->PendingCount(), 9u);
  EXPECT_EQ(file_->WrittenCount(), 0u);
  uint8_t out[100];
  ASSERT_TRUE(file_->Read(out, 100, 300));  // served from memory
  EXPECT_EQ(std::vector<uint8_t>(out, out + 100),
            std::vector<uint8_t>(content_.begin() + 300, content_.begin() + 400));
  FeedPart(9);
  EXPECT_EQ(disk_.writes(), 10);
  EXPECT_EQ(file_->PendingCount(), 0u);
  EXPECT_EQ(file_->WrittenCount(), 10u);
  EXPECT_EQ(file_->WrittenBytes(), 1000u);
  ASSERT_TRUE(file_->Read(out, 100, 300));  // now from disk
  EXPECT_EQ(std::vector<uint8_t>(out, out + 100),
            std::vector<uint8_t>(content_.begin() + 300, content_.begin() + 400));
}

TEST_F(FileTest, CompleteFileWritesItsLastPartsAtOnce) {
  Make(350, 100);
  for (uint32_t p = 0; p < 4; ++p) FeedPart(p);
  EXPECT_TRUE(file_->IsComplete());
  EXPECT_EQ(file_->WrittenCount(), 4u);
  EXPECT_EQ(disk_.bytes(), content_);
  // The short last part counts with its real length.
  EXPECT_EQ(file_->VerifiedBytes(), 350u);
  EXPECT_EQ(file_->WrittenBytes(), 350u);
}

TEST_F(FileTest, ReadOfARangeWithAnUnverifiedPartFailsAndCopiesNothing) {
  Make(400, 100);
  FeedPart(0);
  FeedPart(2);
  std::vector<uint8_t> out(300, 0xEE);
  EXPECT_FALSE(file_->Read(out.data(), 300, 0));
  EXPECT_EQ(out, std::vector<uint8_t>(300, 0xEE));
  EXPECT_FALSE(file_->Read(out.data(), 100, 50));   // not at a part boundary
  EXPECT_FALSE(file_->Read(out.data(), 100, 400));  // past the last part
  EXPECT_FALSE(file_->ReadPart(out.data(), 100, 1));
  EXPECT_FALSE(file_->ReadPart(out.data(), 100, 9));
  EXPECT_TRUE(file_->ReadPart(out.data(), 30, 2));
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 30),
            std::vector<uint8_t>(content_.begin() + 200, content_.begin() + 230));
}

TEST_F(FileTest, BacklogStartsAt512WaitingPartsAndClearsOnceTheDiskTakesThem) {
  Make(600 * 16, 16);
  disk_.set_refuse_writes(true);
  std::ostringstream console;
  ConsoleLog::Get().SetOutput(&console);
  for (uint32_t p = 0; p < 10; ++p) FeedPart(p);
  // The launcher hears of the failed write as an answer line.
  EXPECT_NE(console.str().find("[Interactive]Error = WriteFile"), std::string::npos);
  for (uint32_t p = 0; p < 10; ++p) EXPECT_TRUE(file_->IsPartVerified(p));
  for (uint32_t p = 10; p < 511; ++p) FeedPart(p);
  EXPECT_FALSE(file_->IsBacklogged());
  FeedPart(511);
  EXPECT_TRUE(file_->IsBacklogged());
  for (uint32_t p = 512; p < 600; ++p) FeedPart(p);
  EXPECT_EQ(file_->PendingCount(), 600u);
  EXPECT_EQ(file_->WrittenCount(), 0u);
  EXPECT_TRUE(file_->IsComplete());  // verified, though not on disk

  disk_.set_refuse_writes(false);
  file_->WritePending();
  ConsoleLog::Get().SetOutput(nullptr);
  EXPECT_FALSE(file_->IsBacklogged());
  EXPECT_EQ(file_->WrittenCount(), 600u);
  EXPECT_EQ(disk_.bytes(), content_);
}

TEST_F(FileTest, SampleIsARunOfVerifiedPartsThatWraps) {
  RangeSet32 on_disk;
  on_disk.InsertRange(2, 5);
  on_disk.InsertRange(8, 9);
  Make(1000, 100, on_disk);
  for (int trial = 0; trial < 30; ++trial) {
    RangeSet32 all;
    file_->SampleVerifiedParts(&all, 100);
    EXPECT_EQ(all.Size(), 6u);
    RangeSet32 some;
    file_->SampleVerifiedParts(&some, 3);
    EXPECT_EQ(some.Size(), 3u);
    RangeSet32 outside;
    outside.Intersect(some, all);
    EXPECT_EQ(outside, some);
  }
}

TEST_F(FileTest, VerifyAllKeepsGoodPartsAndResetsBadOnes) {
  Make(400, 100);
  for (uint32_t p = 0; p < 4; ++p) FeedPart(p);
  ASSERT_EQ(disk_.bytes(), content_);
  std::vector<uint8_t> damage = {1, 2, 3};
  ASSERT_TRUE(disk_.Write(damage.data(), 3, 210));
  file_->VerifyAll();
  EXPECT_EQ(file_->VerifiedCount(), 3u);
  EXPECT_EQ(file_->WrittenCount(), 3u);
  EXPECT_FALSE(file_->IsPartVerified(2));
  ASSERT_EQ(listener_.reset().size(), 1u);
  EXPECT_EQ(listener_.reset()[0], (UID{7, 2, 2}));
  FeedPart(2);  // fetched again
  EXPECT_EQ(disk_.bytes(), content_);
  EXPECT_TRUE(file_->IsComplete());
}

TEST(FileCreateTest, RefusesPartListsThatDoNotLayOutTheFile) {
  const auto good = MakeEntry(1, "a", PatternBytes(300, 3), 100);
  MemoryFile disk;
  EXPECT_NE(File::Create("a", good, RangeSet32(), nullptr, &disk), nullptr);
  const std::function<void(FileEntry&)> breaks[] = {
      [](FileEntry& e) { e.parts[1].start = 150; }, [](FileEntry& e) { e.size = 1000; },
      [](FileEntry& e) { e.parts.clear(); }, [](FileEntry& e) { e.parts[0].length = 0; }};
  for (const auto& brk : breaks) {
    FileEntry entry = good;
    brk(entry);
    EXPECT_EQ(File::Create("a", entry, RangeSet32(), nullptr, &disk), nullptr) << &brk - breaks;
  }
}

TEST(FileOnDiskTest, OpeningCreatesDirectoriesAndCutsALongerFile) {
  TempDir dir;
  const auto content = PatternBytes(300, 4);
  auto entry = MakeEntry(1, "sub/a.bin", content, 100);
  ASSERT_TRUE(CreateDirectories(dir.File("sub")));
  auto longer = content;
  longer.resize(500, 9);
  WriteWholeFile(dir.File("sub/a.bin"), longer);
  auto file = File::Create(dir.File("sub/a.bin"), entry, RangeSet32(), nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(FileLength(dir.File("sub/a.bin")), 300);
  EXPECT_EQ(file->DiskSize(), 300u);

  auto other = MakeEntry(2, "deep/er/b.bin", content, 100);
  WriteWholeFile(dir.File("short.bin"), {1, 2, 3});
  auto shorter = File::Create(dir.File("short.bin"), other, RangeSet32(), nullptr);
  ASSERT_NE(shorter, nullptr);
  EXPECT_EQ(FileLength(dir.File("short.bin")), 3);  // never extended on open
  auto created = File::Create(dir.File("deep/er/b.bin"), other, RangeSet32(), nullptr);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(FileLength(dir.File("deep/er/b.bin")), 0);
}

TEST(FileOnDiskTest, DownloadedFileLandsOnDiskAndAFileInTheWayFailsTheOpen) {
  TempDir dir;
  const auto content = PatternBytes(1000, 5);
  auto entry = MakeEntry(3, "x/c.bin", content, 128);
  auto file = File::Create(dir.File("x/c.bin"), entry, RangeSet32(), nullptr);
  ASSERT_NE(file, nullptr);
  for (size_t at = 0; at < content.size(); at += 77) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(77, content.size() - at));
    ASSERT_TRUE(file->WriteData(content.data() + at, n, at));
  }
  EXPECT_TRUE(file->IsComplete());
  EXPECT_EQ(file->WrittenCount(), file->PartCount());
  EXPECT_TRUE(file->SyncWritten());
  file.reset();
  EXPECT_EQ(ReadWholeFile(dir.File("x/c.bin")), content);

  // Reopened with every part on disk, and checked.
  RangeSet32 all;
  all.InsertRange(0, 7);
  auto again = File::Create(dir.File("x/c.bin"), entry, all, nullptr);
  ASSERT_NE(again, nullptr);
  again->VerifyAll();
  EXPECT_TRUE(again->IsComplete());

  WriteWholeFile(dir.File("blocker"), {1});
  auto blocked = MakeEntry(4, "blocker/d.bin", content, 128);
  EXPECT_EQ(File::Create(dir.File("blocker/d.bin"), blocked, RangeSet32(), nullptr), nullptr);
}

TEST(FileOnDiskTest, EmptyFileIsCompleteAndCreatedAtOnce) {
  TempDir dir;
  auto entry = MakeEntry(5, "empty", {}, 65536);
  ASSERT_EQ(entry.parts.size(), 1u);
  auto file = File::Create(dir.File("empty"), entry, RangeSet32(), nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->IsComplete());
  EXPECT_EQ(FileLength(dir.File("empty")), 0);
  RangeSet32 unwritten;
  file->GetUnwrittenParts(&unwritten);
  EXPECT_TRUE(unwritten.Empty());
}

}  // namespace
}  // namespace brelvane
