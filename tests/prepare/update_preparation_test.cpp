// SPDX-License-Identifier: MIT
// Update preparation over real files in a temporary update directory: the
// seed check, the three ways of finding missing parts, deletions and the
// refusal of unsafe names.
#include "catalogue/prepare/update_preparation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/console_log.h"
#include "catalogue/download_info.h"
#include "catalogue/md5.h"
#include "catalogue/seed_document.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPart = 4096;

std::string Pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + i / 977) & 0xFF);
  return s;
}

FileEntry Describe(uint32_t id, const std::string& name, const std::string& content) {
  FileEntry e;
  e.id = id;
  e.name = name;
  e.size = content.size();
  e.md5 = Md5Buffer(content.data(), content.size());
  for (uint64_t start = 0, i = 0; start < content.size(); start += kPart, ++i) {
    PartEntry p;
    p.id = static_cast<uint32_t>(i);
    p.start = start;
    p.length = static_cast<uint32_t>(std::min<uint64_t>(kPart, content.size() - start));
    p.md5 = Md5Buffer(content.data() + start, p.length);
    e.parts.push_back(p);
  }
  return e;
}

class UpdatePreparationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (fs::temp_directory_path() / ("prepare_test_" + std::to_string(getpid()))).string() + "/";
    fs::remove_all(root_);
    fs::create_directories(root_ + "Brelvane_Info");
    ConsoleLog::Get().SetOutput(&console_);
    ConsoleLog::Get().set_charset(ConsoleCharset::Utf8);
  }
  void TearDown() override {
    fs_.reset();
    ConsoleLog::Get().SetOutput(nullptr);
    fs::remove_all(root_);
  }

  void Write(const std::string& name, const std::string& content) {
    fs::create_directories(fs::path(root_ + name).parent_path());
    std::ofstream(root_ + name, std::ios::binary) << content;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(root_ + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool Exists(const std::string& name) { return fs::exists(fs::symlink_status(root_ + name)); }

  // Writes the new file list as the seed (and `past` as the past seed) and
  // builds a registry whose torrent describes that seed.
  void Publish(const FileList& list, const FileList* past = nullptr) {
    const std::string seed = root_ + "Brelvane_Info/.Seed";
    ASSERT_TRUE(WriteFileList(list.files, list.delete_names, seed));
    if (past) {
      ASSERT_TRUE(WriteFileList(past->files, past->delete_names, seed + "_Past"));
    }
    std::ifstream in(seed, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    seed_entry_ = Describe(0xFFFFFFFFu, ".Seed", bytes.str());
    NewRegistry();
  }
  void NewRegistry() {
    fs_.reset();
    fs_ = std::make_unique<FileSystem>();
    fs_->SetPaths(seed_entry_, root_, "");
  }

  std::string root_;
  std::ostringstream console_;
  FileEntry seed_entry_;
  std::unique_ptr<FileSystem> fs_;
};

TEST_F(UpdatePreparationTest, MissingSeedWarnsKeepsThePastSeedAndDeletesAStaleResumeFile) {
  Publish(FileList{});
  fs::remove(root_ + "Brelvane_Info/.Seed");
  Write("Brelvane_Info/.Seed_Past", "old");
  EXPECT_EQ(CheckSeed(*fs_), CheckSeedResult::Missing);
  EXPECT_EQ(console_.str(), "[Warning]seed文件不存在\n[Warning]downloadinfodata文件不存在\n");
  EXPECT_TRUE(Exists("Brelvane_Info/.Seed_Past"));
  console_.str("");
  Write("Brelvane_Info/.Download_Info_Data", "stale");
  EXPECT_EQ(CheckSeed(*fs_), CheckSeedResult::Missing);
  EXPECT_FALSE(Exists("Brelvane_Info/.Download_Info_Data"));
  EXPECT_EQ(console_.str(), "[Warning]seed文件不存在\n");
}

TEST_F(UpdatePreparationTest, ChangedSeedAfterFinishedUpdateBecomesThePastSeed) {
  Publish(FileList{{Describe(0, "a.bin", Pattern(10000, 1))}, {}});
  const std::string old_seed = Read("Brelvane_Info/.Seed");
  Write("Brelvane_Info/.Download_Info_Data", "[DownloadInfo]\nAllFileComplete=1\n");
  // The torrent now describes another seed.
  seed_entry_ = Describe(0xFFFFFFFFu, ".Seed", Pattern(700, 9));
  NewRegistry();
  EXPECT_EQ(CheckSeed(*fs_), CheckSeedResult::ChangedFinished);
  EXPECT_FALSE(Exists("Brelvane_Info/.Seed"));
  EXPECT_FALSE(Exists("Brelvane_Info/.Download_Info_Data"));
  EXPECT_EQ(Read("Brelvane_Info/.Seed_Past"), old_seed);
  EXPECT_EQ(console_.str(), "[Info]存在seed文件，MD5验证不通过，需要更新\n");
}

TEST_F(UpdatePreparationTest, ChangedSeedDuringUnfinishedUpdateDropsSeedAndResume) {
  Publish(FileList{{Describe(0, "a.bin", Pattern(10000, 1))}, {}});
  std::map<uint32_t, RangeSet32> missing;
  missing[0].InsertRange(1, 2);
  ASSERT_TRUE(WriteDownloadInfo(missing, root_ + "Brelvane_Info/.Download_Info_Data"));
  Write("Brelvane_Info/.Seed_Past", "older");
  seed_entry_ = Describe(0xFFFFFFFFu, ".Seed", Pattern(700, 9));
  NewRegistry();
  EXPECT_EQ(CheckSeed(*fs_), CheckSeedResult::ChangedUnfinished);
  EXPECT_FALSE(Exists("Brelvane_Info/.Seed"));
  EXPECT_FALSE(Exists("Brelvane_Info/.Download_Info_Data"));
  EXPECT_EQ(Read("Brelvane_Info/.Seed_Past"), "older");
  EXPECT_EQ(console_.str(), "[Warning]存在seed文件，MD5验证不通过并且上一次下载未完整\n");
}

TEST_F(UpdatePreparationTest, FirstRunScansEverythingAndCountsWhatIsThere) {
  const std::string a = Pattern(3 * kPart + 100, 1);
  const std::string b = Pattern(2 * kPart, 2);
  Publish(FileList{{Describe(0, "a.bin", a), Describe(1, "dir/b.bin", b)}, {}});
  Write("a.bin", a);                       // complete
  Write("dir/b.bin", b.substr(0, kPart));  // first part only
  ASSERT_TRUE(RegisterFiles(*fs_));
  EXPECT_EQ(fs_->TotalParts(), 6u);
  EXPECT_EQ(fs_->WrittenParts(), 5u);
  EXPECT_EQ(fs_->TotalBytes(), a.size() + b.size());
  EXPECT_EQ(console_.str(),
            "[Error]读取downloadInfoData及旧seed文件出错\n[Warning]进行全文件扫描\n"
            "[Info]全文件扫描完毕\n");
  EXPECT_TRUE(fs_->runner().IsStarted());
}

TEST_F(UpdatePreparationTest, ResumeFileAllCompleteRegistersEverythingWithoutScanning) {
  const std::string a = Pattern(3 * kPart, 1);
  Publish(FileList{{Describe(0, "a.bin", a)}, {}});
  // Nothing on disk at all, but the resume file says all is complete: it
  // is believed without a scan.
  ASSERT_TRUE(WriteDownloadInfo({}, root_ + "Brelvane_Info/.Download_Info_Data"));
  ASSERT_TRUE(RegisterFiles(*fs_));
  EXPECT_EQ(fs_->WrittenParts(), 3u);
  EXPECT_EQ(console_.str(), "");
}

TEST_F(UpdatePreparationTest, ResumeFileListsTheMissingParts) {
  const std::string a = Pattern(4 * kPart, 1);
  Publish(FileList{{Describe(0, "a.bin", a)}, {}});
  std::map<uint32_t, RangeSet32> missing;
  missing[0].InsertRange(1, 2);
  ASSERT_TRUE(WriteDownloadInfo(missing, root_ + "Brelvane_Info/.Download_Info_Data"));
  ASSERT_TRUE(RegisterFiles(*fs_));
  EXPECT_EQ(fs_->WrittenParts(), 2u);
  EXPECT_FALSE(fs_->IsPartVerified(0, 1));
  EXPECT_TRUE(fs_->IsPartVerified(0, 3));
}

TEST_F(UpdatePreparationTest, PastSeedComparisonThenScanFindsTheTruth) {
  const std::string same = Pattern(2 * kPart, 1);
  const std::string old_c = Pattern(2 * kPart, 3);
  std::string new_c = old_c;
  new_c[kPart + 5] ^= 0x55;  // second part changed
  FileList past{{Describe(0, "same.bin", same), Describe(1, "c.bin", old_c)}, {}};
  FileList now{{Describe(0, "same.bin", same), Describe(1, "c.bin", new_c),
                Describe(2, "new.bin", Pattern(kPart, 4))},
               {}};
  Publish(now, &past);
  Write("same.bin", same);
  Write("c.bin", old_c);
  ASSERT_TRUE(RegisterFiles(*fs_));
  // same.bin: both parts; c.bin: only the unchanged first part; new.bin: none.
  EXPECT_TRUE(fs_->IsPartVerified(0, 0));
  EXPECT_TRUE(fs_->IsPartVerified(0, 1));
  EXPECT_TRUE(fs_->IsPartVerified(1, 0));
  EXPECT_FALSE(fs_->IsPartVerified(1, 1));
  EXPECT_FALSE(fs_->IsPartVerified(2, 0));
  EXPECT_EQ(fs_->WrittenParts(), 3u);
  EXPECT_EQ(console_.str(), "[Warning]进行全文件扫描\n[Info]全文件扫描完毕\n");
}

TEST_F(UpdatePreparationTest, DeleteListRemovesFilesEvenWhenSomeAreAbsent) {
  Publish(FileList{{Describe(0, "keep.bin", Pattern(100, 1))}, {"old1.dll", "gone.txt", "sub/old2.dll"}});
  Write("old1.dll", "x");
  Write("sub/old2.dll", "y");
  Write("keep.bin", Pattern(100, 1));
  ASSERT_TRUE(RegisterFiles(*fs_));
  EXPECT_FALSE(Exists("old1.dll"));
  EXPECT_FALSE(Exists("sub/old2.dll"));
  EXPECT_TRUE(Exists("keep.bin"));
}

TEST_F(UpdatePreparationTest, UnsafeNameRejectsTheReleaseBeforeTouchingAnything) {
  Write("victim.txt", "precious");
  fs::create_directories(root_ + "../outside_" + std::to_string(getpid()));
  const std::string outside = "../outside_" + std::to_string(getpid()) + "/x.bin";
  Publish(FileList{{Describe(0, "ok.bin", Pattern(100, 1)), Describe(1, outside, Pattern(100, 2))},
                   {"victim.txt"}});
  EXPECT_FALSE(RegisterFiles(*fs_));
  EXPECT_EQ(Read("victim.txt"), "precious");
  EXPECT_FALSE(Exists("ok.bin"));
  EXPECT_FALSE(fs::exists(root_ + outside));
  EXPECT_NE(console_.str().find("[Error]"), std::string::npos);
  fs::remove_all(root_ + "../outside_" + std::to_string(getpid()));
}

TEST_F(UpdatePreparationTest, UnsafeDeleteNameRejectsTheRelease) {
  Write("keep.bin", "k");
  Publish(FileList{{Describe(0, "keep.bin", "k")}, {"/etc/passwd"}});
  EXPECT_FALSE(RegisterFiles(*fs_));
  EXPECT_TRUE(Exists("keep.bin"));
}

TEST_F(UpdatePreparationTest, DeletionNeverFollowsALinkOutOfTheUpdateDirectory) {
  const fs::path outside = fs::temp_directory_path() / ("prepare_outside_" + std::to_string(getpid()));
  fs::create_directories(outside);
  std::ofstream(outside / "secret.txt") << "keep me";
  fs::create_directory_symlink(outside, root_ + "linkdir");
  fs::create_symlink(outside / "secret.txt", root_ + "filelink");
  EXPECT_TRUE(DeleteInsideBase(root_, "linkdir/secret.txt"));
  EXPECT_TRUE(fs::exists(outside / "secret.txt"));
  // A link inside the tree is removed itself; its target stays.
  EXPECT_TRUE(DeleteInsideBase(root_, "filelink"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ + "filelink")));
  EXPECT_TRUE(fs::exists(outside / "secret.txt"));
  EXPECT_FALSE(DeleteInsideBase(root_, "../x"));
  fs::remove_all(outside);
}

TEST_F(UpdatePreparationTest, UnreadableSeedFailsRegistration) {
  Publish(FileList{});
  Write("Brelvane_Info/.Seed", "not gzip, not xml");
  EXPECT_FALSE(RegisterFiles(*fs_));
}

}  // namespace
}  // namespace brelvane
