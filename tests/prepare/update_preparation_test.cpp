// SPDX-License-Identifier: MIT
// Update preparation over real files in a temporary update directory: the
// seed check, the three ways of finding missing parts, deletions and the
// refusal of unsafe names.
#include "catalogue/prepare/update_preparation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "base/console_log.h"
#include "catalogue/download_info.h"
#include "catalogue/seed_document.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPart = 4096;
const std::string kSeed = "Brelvane_Info/.Seed";
const std::string kResume = "Brelvane_Info/.Download_Info_Data";

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
FileEntry Describe(uint32_t id, const std::string& name, const Bytes& content) {
  return testing::MakeEntry(id, name, content, kPart);
}

class UpdatePreparationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ + "Brelvane_Info");
    ConsoleLog::Get().SetOutput(&console_);
    ConsoleLog::Get().set_charset(ConsoleCharset::Utf8);
  }
  void TearDown() override { fs_.reset(), ConsoleLog::Get().SetOutput(nullptr); }

  void Write(const std::string& name, const Bytes& content) {
    fs::create_directories(fs::path(root_ + name).parent_path());
    testing::WriteWholeFile(root_ + name, content);
  }
  Bytes Read(const std::string& name) { return testing::ReadWholeFile(root_ + name); }
  bool Exists(const std::string& name) { return fs::exists(fs::symlink_status(root_ + name)); }
  std::string Console() { return std::exchange(console_, std::ostringstream()).str(); }

  // Writes the new file list as the seed and builds a registry whose torrent
  // describes that seed.
  void Publish(const FileList& list) {
    ASSERT_TRUE(WriteFileList(list.files, list.delete_names, root_ + kSeed));
    NewRegistry(Read(kSeed));
  }
  // A registry whose torrent describes a seed of `seed` bytes.
  void NewRegistry(const Bytes& seed) {
    fs_ = std::make_unique<FileSystem>();
    fs_->SetPaths(Describe(kSeedFileId, ".Seed", seed), root_, "");
  }
  // A resume file in which file 0 misses parts 1 and 2, or nothing is missing.
  void WriteResume(bool complete) {
    std::map<uint32_t, RangeSet32> missing;
    if (!complete) missing[0].InsertRange(1, 2);
    ASSERT_TRUE(WriteDownloadInfo(missing, root_ + kResume));
  }

  testing::TempDir dir_;
  const std::string root_ = dir_.File("update/");
  std::ostringstream console_;
  std::unique_ptr<FileSystem> fs_;
};

TEST_F(UpdatePreparationTest, MissingSeedWarnsKeepsThePastSeedAndDeletesAStaleResumeFile) {
  Publish(FileList{});
  fs::remove(root_ + kSeed);
  Write(kSeed + "_Past", Text("old"));
  EXPECT_EQ(CheckSeed(*fs_), CheckSeedResult::Missing);
  EXPECT_EQ(Console(), "[Warning]seed文件不存在\n[Warning]downloadinfodata文件不存在\n");
  EXPECT_TRUE(Exists(kSeed + "_Past"));
  Write(kResume, Text("stale"));
  EXPECT_EQ(CheckSeed(*fs_), CheckSeedResult::Missing);
  EXPECT_FALSE(Exists(kResume));
  EXPECT_EQ(Console(), "[Warning]seed文件不存在\n");
}

// A seed the torrent no longer describes: after a finished update it becomes
// the past seed; during an unfinished one it is dropped with the resume file.
TEST_F(UpdatePreparationTest, ChangedSeedBecomesThePastSeedOnlyAfterAFinishedUpdate) {
  const struct { bool finished; CheckSeedResult result; const char* console; } cases[] = {
      {true, CheckSeedResult::ChangedFinished, "[Info]存在seed文件，MD5验证不通过，需要更新\n"},
      {false, CheckSeedResult::ChangedUnfinished,
       "[Warning]存在seed文件，MD5验证不通过并且上一次下载未完整\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.finished);
    Publish(FileList{{Describe(0, "a.bin", testing::PatternBytes(10000, 1))}, {}});
    const Bytes old_seed = Read(kSeed);
    WriteResume(c.finished);
    Write(kSeed + "_Past", Text("older"));
    NewRegistry(testing::PatternBytes(700, 9));  // the torrent now describes another seed
    Console();
    EXPECT_EQ(CheckSeed(*fs_), c.result);
    EXPECT_FALSE(Exists(kSeed) || Exists(kResume));
    EXPECT_EQ(Read(kSeed + "_Past"), c.finished ? old_seed : Text("older"));
    EXPECT_EQ(Console(), c.console);
  }
}

// Without a resume file (and without a past seed) every file is scanned; a
// resume file is believed without a scan: "all complete" counts every part,
// a list of missing parts the others.  Finding the parts that changed since
// the past seed, and the delete list, are left to integration.http_update's
// delta update, which checks the exact parts fetched and the file removed.
TEST_F(UpdatePreparationTest, OnlyARunWithoutAResumeFileScansTheFiles) {
  const Bytes a = testing::PatternBytes(3 * kPart + 100, 1), b = testing::PatternBytes(2 * kPart, 2);
  const struct { bool resume, all_complete; uint32_t written; const char* console; } cases[] = {
      {false, false, 5,  // a complete, b's first part
       "[Error]读取downloadInfoData及旧seed文件出错\n[Warning]进行全文件扫描\n"
       "[Info]全文件扫描完毕\n"},
      {true, true, 6, ""},
      {true, false, 4, ""},  // a's parts 1 and 2 missing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    Publish(FileList{{Describe(0, "a.bin", a), Describe(1, "dir/b.bin", b)}, {}});
    Write("a.bin", a);
    Write("dir/b.bin", Bytes(b.begin(), b.begin() + kPart));
    fs::remove(root_ + kResume);
    if (c.resume) WriteResume(c.all_complete);
    Console();
    ASSERT_TRUE(RegisterFiles(*fs_));
    EXPECT_EQ(std::tuple(fs_->TotalParts(), fs_->WrittenParts(), fs_->TotalBytes()),
              std::tuple(6u, c.written, a.size() + b.size()));
    EXPECT_EQ(Console(), c.console);
    EXPECT_TRUE(fs_->runner().IsStarted());
  }
}

// An unsafe file name or delete name rejects the whole release before
// anything is deleted or created; so does a seed that cannot be read.
TEST_F(UpdatePreparationTest, UnsafeNamesOrAnUnreadableSeedRejectTheReleaseUntouched) {
  fs::create_directories(dir_.File("outside"));
  const FileEntry ok = Describe(0, "ok.bin", Text("ok"));
  const FileList lists[] = {{{ok, Describe(1, "../outside/x.bin", Text("x"))}, {"victim.txt"}},
                            {{ok}, {"victim.txt", "/etc/passwd"}}, {}};
  for (const FileList& list : lists) {
    SCOPED_TRACE(&list - lists);
    Write("victim.txt", Text("precious"));
    Publish(list);
    if (&list == &lists[2]) Write(kSeed, Text("not gzip, not xml"));
    EXPECT_FALSE(RegisterFiles(*fs_));
    EXPECT_EQ(Read("victim.txt"), Text("precious"));
    EXPECT_FALSE(Exists("ok.bin"));
    EXPECT_FALSE(fs::exists(dir_.File("outside/x.bin")));
    EXPECT_TRUE(&list == &lists[2] || Console().find("[Error]") != std::string::npos);
  }
}

TEST_F(UpdatePreparationTest, DeletionNeverFollowsALinkOutOfTheUpdateDirectory) {
  Write("../outside/secret.txt", Text("keep me"));
  fs::create_directory_symlink(dir_.File("outside"), root_ + "linkdir");
  fs::create_symlink(dir_.File("outside/secret.txt"), root_ + "filelink");
  EXPECT_TRUE(DeleteInsideBase(root_, "linkdir/secret.txt"));
  EXPECT_TRUE(fs::exists(dir_.File("outside/secret.txt")));
  // A link inside the tree is removed itself; its target stays.
  EXPECT_TRUE(DeleteInsideBase(root_, "filelink") && !Exists("filelink"));
  EXPECT_TRUE(fs::exists(dir_.File("outside/secret.txt")));
  EXPECT_FALSE(DeleteInsideBase(root_, "../x"));
}

}  // namespace
}  // namespace brelvane
