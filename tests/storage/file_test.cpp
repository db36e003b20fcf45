// SPDX-License-Identifier: MIT
#include "storage/file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <functional>
#include <sstream>

#include "base/console_log.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using namespace testing;  // NOLINT(google-build-using-namespace): the storage test helpers
using std::filesystem::file_size;  // throws for a missing file

// Records the parts a File reports verified.
struct RecordingListener : IBlockStateListener {
  void OnPartVerified(const UID& uid) override { verified.push_back(uid); }
  void OnPartReset(const UID&) override {}
  std::vector<UID> verified;
};

// A file of `size` bytes in parts of `part_size`, over an in-memory disk.
class FileTest : public ::testing::Test {
 protected:
  void Make(size_t size, uint32_t part_size) {
    content_ = PatternBytes(size, 11);
    entry_ = MakeEntry(7, "dir/name.bin", content_, part_size);
    file_ = File::Create("/unused/dir/name.bin", entry_, {}, &listener_, &disk_);
    ASSERT_NE(file_, nullptr);
  }
  // Feeds bytes [from, to) of the content as one chunk.
  void Feed(uint64_t from, uint64_t to) {
    ASSERT_TRUE(file_->WriteData(content_.data() + from, static_cast<uint32_t>(to - from), from));
  }
  void FeedParts(uint32_t first, uint32_t end) {
    for (uint32_t p = first; p < end; ++p)
      Feed(entry_.parts[p].start, entry_.parts[p].start + entry_.parts[p].length);
  }
  std::vector<uint8_t> Content(size_t from, size_t length) {
    return std::vector<uint8_t>(content_.begin() + from, content_.begin() + from + length);
  }
  // 'v' for a verified part, '.' for another one.
  std::string Verified() {
    std::string s;
    for (uint32_t p = 0; p < file_->PartCount(); ++p) s += file_->IsPartVerified(p) ? 'v' : '.';
    return s;
  }
  // Verified, written (count/bytes) and pending parts.
  std::string Counts() {
    std::ostringstream s;
    s << "verified " << file_->VerifiedCount() << "/" << file_->VerifiedBytes() << " written "
      << file_->WrittenCount() << "/" << file_->WrittenBytes() << " pending "
      << file_->PendingCount();
    return s.str();
  }

  std::vector<uint8_t> content_;
  FileEntry entry_;
  MemoryFile disk_;
  RecordingListener listener_;
  std::unique_ptr<File> file_;
};

TEST_F(FileTest, PartsVerifyOnTheirLastByteWhateverTheSplitOverlapOrExcessOfChunks) {
  Make(450, 100);
  Feed(50, 150);  // second half of part 0, first half of part 1
  EXPECT_EQ(Verified(), ".....");
  Feed(0, 50);
  EXPECT_EQ(Verified(), "v....");
  Feed(150, 200);
  EXPECT_EQ(Verified(), "vv...");
  EXPECT_EQ(listener_.verified, (std::vector<UID>{{7, 0, 0}, {7, 1, 1}}));
  for (const auto& [from, to] : {std::pair{200, 260}, {220, 280}, {210, 230}}) Feed(from, to);  // overlaps
  EXPECT_EQ(file_->GetPart(2)->MissingBytes(), 20u);
  Feed(270, 300);
  Feed(200, 300);  // the same part again is ignored
  std::vector<uint8_t> chunk = Content(400, 50);
  chunk.resize(500, 0xAB);  // 450 bytes of garbage after the end: cut; then chunks wholly past the end
  ASSERT_TRUE(file_->WriteData(chunk.data(), 500, 400) && file_->WriteData(chunk.data(), 10, 450) &&
              file_->WriteData(chunk.data(), 10, ~uint64_t{0} - 5));
  EXPECT_EQ(Verified(), "vvv.v");
  EXPECT_EQ(Counts(), "verified 4/350 written 0/0 pending 4");  // the short last part counts 50
  std::vector<uint8_t> bad = Content(300, 100);
  bad[37] ^= 1;
  ASSERT_TRUE(file_->WriteData(bad.data(), 100, 300));
  EXPECT_EQ(file_->GetPart(3)->MissingBytes(), 100u);  // wanted again from its first byte
  Feed(300, 400);
  EXPECT_EQ(Verified(), "vvvvv");
}

// A complete file writes its last parts at once, fewer than ten.
TEST_F(FileTest, NinePendingPartsStayInMemoryTheTenthWritesAllTenAndReadsNeedVerifiedParts) {
  Make(1450, 100);
  FeedParts(0, 9);
  EXPECT_EQ(disk_.writes, 0);
  EXPECT_EQ(Counts(), "verified 9/900 written 0/0 pending 9");
  std::vector<uint8_t> out(300, 0xEE);
  ASSERT_TRUE(file_->Read(out.data(), 100, 300));  // served from memory
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 100), Content(300, 100));
  std::fill(out.begin(), out.end(), 0xEE);
  // Refused: part 9 not verified, not at a part boundary, past the last part.
  EXPECT_FALSE(file_->Read(out.data(), 300, 700) || file_->Read(out.data(), 100, 50) ||
               file_->Read(out.data(), 100, 1500) || file_->ReadPart(out.data(), 100, 9) ||
               file_->ReadPart(out.data(), 100, 20));
  EXPECT_EQ(out, std::vector<uint8_t>(300, 0xEE));  // and nothing was copied
  FeedParts(9, 10);
  EXPECT_EQ(disk_.writes, 10);
  EXPECT_EQ(Counts(), "verified 10/1000 written 10/1000 pending 0");
  ASSERT_TRUE(file_->Read(out.data(), 100, 300));  // now from disk
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 100), Content(300, 100));
  ASSERT_TRUE(file_->ReadPart(out.data(), 30, 2));
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 30), Content(200, 30));
  FeedParts(10, 15);
  EXPECT_EQ(Counts(), "verified 15/1450 written 15/1450 pending 0");
  EXPECT_EQ(disk_.bytes, content_);
}

TEST_F(FileTest, BacklogStartsAt512WaitingPartsAndClearsOnceTheDiskTakesThem) {
  Make(600 * 16, 16);
  disk_.refuse_writes = true;
  std::ostringstream console;
  ConsoleLog::Get().SetOutput(&console);
  FeedParts(0, 10);
  // The launcher hears of the failed write as an answer line.
  EXPECT_NE(console.str().find("[Interactive]Error = WriteFile"), std::string::npos);
  FeedParts(10, 511);
  EXPECT_FALSE(file_->IsBacklogged());
  FeedParts(511, 512);
  EXPECT_TRUE(file_->IsBacklogged());
  FeedParts(512, 600);
  EXPECT_EQ(Counts(), "verified 600/9600 written 0/0 pending 600");  // complete, not on disk
  disk_.refuse_writes = false;
  file_->WritePending();
  ConsoleLog::Get().SetOutput(nullptr);
  EXPECT_FALSE(file_->IsBacklogged());
  EXPECT_EQ(Counts(), "verified 600/9600 written 600/9600 pending 0");
  EXPECT_EQ(disk_.bytes, content_);
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

TEST(FileOnDiskTest, OpeningCreatesDirectoriesCutsALongerFileAndNeverExtends) {
  TempDir dir;
  const auto content = PatternBytes(300, 4);
  ASSERT_TRUE(CreateDirectories(dir.File("sub")));
  WriteWholeFile(dir.File("sub/a.bin"), PatternBytes(500, 9));
  auto file = File::Create(dir.File("sub/a.bin"), MakeEntry(1, "sub/a.bin", content, 100), {}, nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file_size(dir.File("sub/a.bin")), 300u);
  EXPECT_EQ(file->DiskSize(), 300u);

  auto other = MakeEntry(2, "deep/er/b.bin", content, 100);
  WriteWholeFile(dir.File("short.bin"), {1, 2, 3});
  ASSERT_NE(File::Create(dir.File("short.bin"), other, RangeSet32(), nullptr), nullptr);
  EXPECT_EQ(file_size(dir.File("short.bin")), 3u);  // never extended on open
  ASSERT_NE(File::Create(dir.File("deep/er/b.bin"), other, RangeSet32(), nullptr), nullptr);
  EXPECT_EQ(file_size(dir.File("deep/er/b.bin")), 0u);

  auto empty = File::Create(dir.File("empty"), MakeEntry(5, "empty", {}, 65536), {}, nullptr);
  ASSERT_NE(empty, nullptr);  // one part of no bytes, complete and created at once
  EXPECT_TRUE(empty->IsComplete());
  EXPECT_EQ(file_size(dir.File("empty")), 0u);
  RangeSet32 unwritten;
  empty->GetUnwrittenParts(&unwritten);
  EXPECT_TRUE(unwritten.Empty());
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
  EXPECT_TRUE(file->IsComplete() && file->SyncWritten());
  EXPECT_EQ(file->WrittenCount(), file->PartCount());
  file.reset();
  EXPECT_EQ(ReadWholeFile(dir.File("x/c.bin")), content);

  // Reopened with every part on disk, and checked.
  auto again = File::Create(dir.File("x/c.bin"), entry, RangeSet32(), nullptr);
  ASSERT_NE(again, nullptr);
  again->VerifyAll();
  EXPECT_TRUE(again->IsComplete());

  WriteWholeFile(dir.File("blocker"), {1});
  EXPECT_EQ(File::Create(dir.File("blocker/d.bin"), MakeEntry(4, "d", content, 128), {}, nullptr), nullptr);
}

}  // namespace
}  // namespace brelvane
