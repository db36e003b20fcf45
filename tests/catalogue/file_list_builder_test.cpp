// SPDX-License-Identifier: MIT
#include "catalogue/file_list_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue/catalogue_test_util.h"
#include "catalogue/ini_document.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;
using testing::MakeEntry;
using testing::PseudoRandomBytes;
using testing::TempDir;
using testing::WriteBytes;

std::vector<std::string> Names(const std::vector<FileEntry>& files) {
  std::vector<std::string> names;
  for (const FileEntry& file : files) names.push_back(file.name);
  return names;
}

class BuildFileListTest : public ::testing::Test {
 protected:
  std::vector<FileEntry> Build(const BuildOptions& options, const std::string& path = "") {
    std::vector<FileEntry> files;
    std::string error;
    EXPECT_EQ(BuildFileList(path.empty() ? dir_.path() : path, options, &files, &error), 0)
        << error;
    return files;
  }

  TempDir dir_;
};

TEST(AutoPartSizeUnitsTest, FollowsTheFirstFileSizeInSteps) {
  const uint64_t mib = 1048576;
  const std::pair<uint64_t, uint32_t> steps[] = {
      {0, 1},          {250 * mib - 1, 1}, {250 * mib, 2}, {300 * mib, 2},
      {500 * mib, 4},  {749 * mib, 4},     {750 * mib, 8}, {uint64_t{1} << 50, 8}};
  for (const auto& [size, units] : steps) EXPECT_EQ(AutoPartSizeUnits(size), units) << size;
}

TEST(LayOutPartsTest, LastPartTakesTheRemainder) {
  const std::vector<PartEntry> parts = LayOutParts(65537, 65536);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].id, 0u);
  EXPECT_EQ(parts[0].start, 0u);
  EXPECT_EQ(parts[0].length, 65536u);
  EXPECT_EQ(parts[1].id, 1u);
  EXPECT_EQ(parts[1].start, 65536u);
  EXPECT_EQ(parts[1].length, 1u);
  EXPECT_EQ(LayOutParts(131072, 65536).size(), 2u);
  const std::vector<PartEntry> empty = LayOutParts(0, 65536);
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].length, 0u);
}

// Writes files of the given sizes and returns the entries expected for
// them with parts of `units` x 64 KiB, computed one digest at a time.
std::vector<FileEntry> WriteFilesOfSizes(const TempDir& dir, const std::vector<size_t>& sizes,
                                         uint32_t units) {
  std::vector<FileEntry> expected;
  uint32_t id = 0;
  for (const size_t size : sizes) {
    char name[32];
    std::snprintf(name, sizeof(name), "f%02u", id);
    const std::string bytes = PseudoRandomBytes(size, id + 1);
    WriteBytes(dir.Path(name), bytes);
    expected.push_back(MakeEntry(id, name, bytes, units * kPartSizeUnit));
    ++id;
  }
  return expected;
}

// Parts of 192 KiB are read eight to a chunk and hashed side by side (sizes
// around one part, one chunk, several chunks with a short last part); parts of
// 576 KiB are too large for that and are hashed as a stream over reads that do
// not line up with them.  Both ways, with and without the second thread.
TEST_F(BuildFileListTest, DigestsEveryPartAndFileAcrossReadBoundaries) {
  const size_t p3 = 3 * 65536;
  const size_t p9 = 9 * 65536;
  const std::pair<uint32_t, std::vector<size_t>> layouts[] = {
      {3, {0, 1, 65535, p3 - 1, p3, p3 + 1, 262145, 1048579, 8 * p3 - 1, 8 * p3, 8 * p3 + 1,
           11 * p3 + 100, 17 * p3}},
      {9, {1, 262144, p9 - 1, p9, p9 + 1, 2 * p9 + 5, 3 * 1048576 + 7}}};
  for (const auto& [units, sizes] : layouts) {
    TempDir dir;
    const std::vector<FileEntry> expected = WriteFilesOfSizes(dir, sizes, units);
    BuildOptions options;
    options.part_size_units = units;
    EXPECT_EQ(Build(options, dir.path()), expected) << units;
    options.use_second_thread = false;
    EXPECT_EQ(Build(options, dir.path()), expected) << units;
  }
}

TEST_F(BuildFileListTest, ListsInByteWiseOrderAndDescendsInPlace) {
  for (const char* name : {"a.txt", "B", "a/x", "a/Y/z", "_", "Z", "\xc3\xa9", "0"}) {
    WriteBytes(dir_.Path(name), name);
  }
  const std::vector<FileEntry> files = Build(BuildOptions());
  EXPECT_EQ(Names(files), (std::vector<std::string>{"0", "B", "Z", "_", "a/Y/z", "a/x", "a.txt",
                                                    "\xc3\xa9"}));
  for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(files[i].id, i);
}

TEST_F(BuildFileListTest, WithoutRecursionSkipsSubdirectories) {
  WriteBytes(dir_.Path("top"), "t");
  WriteBytes(dir_.Path("sub/inner"), "i");
  BuildOptions options;
  options.recursive = false;
  EXPECT_EQ(Names(Build(options)), std::vector<std::string>{"top"});
}

TEST_F(BuildFileListTest, IncludeFilterTakesOnlyUnnamedSectionKeys) {
  WriteBytes(dir_.Path("keep.txt"), "k");
  WriteBytes(dir_.Path("drop.txt"), "d");
  WriteBytes(dir_.Path("sub/keep.bin"), "k");
  WriteBytes(dir_.Path("sub/section.bin"), "s");
  IniDocument filter;
  ASSERT_TRUE(filter.Parse("keep.txt = 1\nsub/keep.bin =\n[Other]\nsub/section.bin = 1\n"));
  BuildOptions options;
  options.include_filter = &filter;
  const std::vector<FileEntry> files = Build(options);
  EXPECT_EQ(Names(files), (std::vector<std::string>{"keep.txt", "sub/keep.bin"}));
  EXPECT_EQ(files[1].id, 1u);
}

TEST_F(BuildFileListTest, SingleFileIsNamedByItsLastComponent) {
  WriteBytes(dir_.Path("deep/er/file.bin"), "abc");
  const std::vector<FileEntry> files = Build(BuildOptions(), dir_.Path("deep/er/file.bin"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "file.bin");
  EXPECT_EQ(files[0], MakeEntry(0, "file.bin", "abc", 65536));
}

TEST_F(BuildFileListTest, WithoutDigestsOnlyNamesAreSet) {
  WriteBytes(dir_.Path("a"), "abc");
  BuildOptions options;
  options.compute_digests = false;
  const std::vector<FileEntry> files = Build(options);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "a");
  EXPECT_EQ(files[0].size, 0u);
  EXPECT_TRUE(files[0].parts.empty());
}

TEST_F(BuildFileListTest, FirstFileOfAtLeast250MiBDoublesThePartSize) {
  // A sparse file reads as zeros, so this costs hashing time but no disk.
  const std::string big = dir_.Path("a.big");
  { std::ofstream create(big, std::ios::binary); }
  fs::resize_file(big, uint64_t{250} << 20);
  WriteBytes(dir_.Path("b.small"), PseudoRandomBytes(300000, 9));
  const std::vector<FileEntry> files = Build(BuildOptions());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].parts[0].length, 131072u);
  EXPECT_EQ(files[0].parts.size(), 2000u);
  ASSERT_EQ(files[1].parts.size(), 3u);
  EXPECT_EQ(files[1].parts[2].length, 300000u - 2 * 131072u);
}

TEST_F(BuildFileListTest, ReportsProgressUpToTheTotal) {
  WriteBytes(dir_.Path("a"), PseudoRandomBytes(700000, 1));
  WriteBytes(dir_.Path("b"), PseudoRandomBytes(10, 2));
  BuildProgress last;
  int calls = 0;
  BuildOptions options;
  options.progress = [&](const BuildProgress& progress) {
    EXPECT_LE(progress.bytes_done, progress.bytes_total);
    last = progress;
    ++calls;
  };
  (void)Build(options);
  EXPECT_GE(calls, 4);
  EXPECT_EQ(last.files_done, 2u);
  EXPECT_EQ(last.files_total, 2u);
  EXPECT_EQ(last.bytes_done, 700010u);
  EXPECT_EQ(last.bytes_total, 700010u);
}

TEST_F(BuildFileListTest, FollowsFileLinksAndSkipsDirectoryLinks) {
  WriteBytes(dir_.Path("real/file"), "data");
  fs::create_symlink(dir_.Path("real/file"), dir_.Path("link-to-file"));
  fs::create_directory_symlink(dir_.Path("real"), dir_.Path("link-to-dir"));
  fs::create_symlink(dir_.Path("nowhere"), dir_.Path("broken"));
  std::vector<std::string> skipped;
  BuildOptions options;
  options.skipped = &skipped;
  const std::vector<FileEntry> files = Build(options);
  EXPECT_EQ(Names(files), (std::vector<std::string>{"link-to-file", "real/file"}));
  EXPECT_EQ(files[0].md5, files[1].md5);
  EXPECT_EQ(skipped, (std::vector<std::string>{"broken", "link-to-dir"}));
}

TEST_F(BuildFileListTest, MissingDirectoryFailsWithAReason) {
  std::vector<FileEntry> files;
  std::string error;
  EXPECT_EQ(BuildFileList(dir_.Path("missing"), BuildOptions(), &files, &error), -1);
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

TEST_F(BuildFileListTest, UnreadableFileFailsTheScan) {
  WriteBytes(dir_.Path("a"), "readable");
  WriteBytes(dir_.Path("b"), "secret");
  fs::permissions(dir_.Path("b"), fs::perms::none);
  if (std::ifstream(dir_.Path("b")).good()) GTEST_SKIP() << "running with override rights";
  std::vector<FileEntry> files;
  std::string error;
  EXPECT_EQ(BuildFileList(dir_.path(), BuildOptions(), &files, &error), -1);
  EXPECT_NE(error.find("/b"), std::string::npos) << error;
}

TEST_F(BuildFileListTest, RefusesPartSizeBeyondThirtyTwoBits) {
  WriteBytes(dir_.Path("a"), "x");
  BuildOptions options;
  options.part_size_units = kMaxPartSizeUnits + 1;
  std::vector<FileEntry> files;
  EXPECT_EQ(BuildFileList(dir_.path(), options, &files), -1);
  options.part_size_units = kMaxPartSizeUnits;
  EXPECT_EQ(BuildFileList(dir_.path(), options, &files), 0);
  EXPECT_EQ(files[0].parts[0].length, 1u);
}

}  // namespace
}  // namespace brelvane
