// SPDX-License-Identifier: MIT
#include "catalogue/file_list_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ranges>

#include "catalogue/catalogue_test_util.h"
#include "catalogue/ini_document.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;
using namespace testing;  // NOLINT: the catalogue test helpers

std::vector<std::string> Names(const std::vector<FileEntry>& files) {
  const auto names = files | std::views::transform(&FileEntry::name);
  return {names.begin(), names.end()};
}

std::vector<FileEntry> Build(const std::string& path, const BuildOptions& options = {}) {
  std::vector<FileEntry> files;
  std::string error;
  EXPECT_EQ(BuildFileList(path, options, &files, &error), 0) << error;
  return files;
}

TEST(PartSizeTest, AutomaticUnitsFollowTheFirstFileAndTheLastPartTakesTheRemainder) {
  const uint64_t mib = 1048576;
  const std::pair<uint64_t, uint32_t> steps[] = {
      {0, 1},         {250 * mib - 1, 1}, {250 * mib, 2}, {300 * mib, 2},
      {500 * mib, 4}, {749 * mib, 4},     {750 * mib, 8}, {uint64_t{1} << 50, 8}};
  for (const auto& [size, units] : steps) EXPECT_EQ(AutoPartSizeUnits(size), units) << size;
  using Parts = std::vector<PartEntry>;  // id, length, start
  EXPECT_EQ(LayOutParts(65537, 65536), (Parts{{0, 65536, 0, {}}, {1, 1, 65536, {}}}));
  EXPECT_EQ(LayOutParts(131072, 65536), (Parts{{0, 65536, 0, {}}, {1, 65536, 65536, {}}}));
  EXPECT_EQ(LayOutParts(0, 65536), (Parts{{0, 0, 0, {}}}));
}

// Parts of 192 KiB are read eight to a chunk and hashed side by side (sizes
// around one part, one chunk, several chunks with a short last part); parts of
// 576 KiB are too large for that and are hashed as a stream over reads that do
// not line up with them.  Both ways, with and without the second thread.
TEST(BuildFileListTest, DigestsEveryPartAndFileAcrossReadBoundaries) {
  const size_t p3 = 3 * 65536, p9 = 9 * 65536;
  const std::pair<uint32_t, std::vector<size_t>> layouts[] = {
      {3, {0, 1, 65535, p3 - 1, p3, p3 + 1, 262145, 1048579, 8 * p3 - 1, 8 * p3, 8 * p3 + 1,
           11 * p3 + 100, 17 * p3}},
      {9, {1, 262144, p9 - 1, p9, p9 + 1, 2 * p9 + 5, 3 * 1048576 + 7}}};
  for (const auto& [units, sizes] : layouts) {
    TempDir dir;
    std::vector<FileEntry> expected;  // one digest at a time
    for (const size_t size : sizes) {
      const uint32_t id = static_cast<uint32_t>(expected.size());
      const std::string name = "f" + std::to_string(100 + id);
      const std::string bytes = PseudoRandomBytes(size, id + 1);
      WriteBytes(dir.File(name), bytes);
      expected.push_back(MakeEntry(id, name, bytes, units * kPartSizeUnit));
    }
    for (const bool two : {true, false}) {
      const BuildOptions options{.part_size_units = units, .progress = {}, .use_second_thread = two};
      EXPECT_EQ(Build(dir.path(), options), expected) << units << (two ? ", two threads" : "");
    }
  }
}

TEST(BuildFileListTest, ListsInByteWiseOrderAndTheOptionsChooseWhatIsTaken) {
  TempDir dir;
  for (const char* n : {"a.txt", "B", "a/x", "a/Y/z", "_", "Z", "\xc3\xa9", "0"}) WriteBytes(dir.File(n), n);
  WriteBytes(dir.File("big"), PseudoRandomBytes(700000, 1));
  fs::create_symlink(dir.File("a/x"), dir.File("link-to-file"));
  fs::create_directory_symlink(dir.File("a"), dir.File("link-to-dir"));
  fs::create_symlink(dir.File("nowhere"), dir.File("broken"));
  std::vector<std::string> skipped;
  BuildProgress last;
  int calls = 0;
  const auto progress = [&](const BuildProgress& p) {
    EXPECT_LE(p.bytes_done, p.bytes_total);
    last = p, ++calls;
  };
  std::vector<FileEntry> files = Build(dir.path(), {.progress = progress, .skipped = &skipped});
  EXPECT_EQ(Names(files), (std::vector<std::string>{"0", "B", "Z", "_", "a/Y/z", "a/x", "a.txt",
                                                    "big", "link-to-file", "\xc3\xa9"}));
  uint64_t bytes = 0;
  for (size_t i = 0; i < files.size(); bytes += files[i++].size) EXPECT_EQ(files[i].id, i);
  EXPECT_EQ(files[8], MakeEntry(8, "link-to-file", "a/x"));
  EXPECT_EQ(skipped, (std::vector<std::string>{"broken", "link-to-dir"}));
  EXPECT_GE(calls, 4);
  EXPECT_EQ(std::tuple(last.files_done, last.files_total, last.bytes_done, last.bytes_total),
            std::tuple(uint64_t{10}, uint64_t{10}, bytes, bytes));

  EXPECT_EQ(Names(Build(dir.path(), {.recursive = false, .progress = {}})),
            (std::vector<std::string>{"0", "B", "Z", "_", "a.txt", "big", "link-to-file", "\xc3\xa9"}));
  IniDocument filter;  // only keys of the unnamed section
  ASSERT_TRUE(filter.Parse("a.txt = 1\na/Y/z =\n[Other]\nZ = 1\n"));
  files = Build(dir.path(), {.include_filter = &filter, .progress = {}});
  EXPECT_EQ(Names(files), (std::vector<std::string>{"a/Y/z", "a.txt"}));
  EXPECT_EQ(files[1].id, 1u);
  files = Build(dir.path(), {.compute_digests = false, .progress = {}});  // only names
  EXPECT_EQ(files.size(), 10u);
  EXPECT_EQ(std::tuple(files[2].name, files[2].size, files[2].parts.size()),
            std::tuple("Z", uint64_t{0}, size_t{0}));
}

// One file is named by its last component.
TEST(BuildFileListTest, TakesOneFileAndFailsOnAMissingDirectoryAnUnreadableFileOrATooLargePartSize) {
  TempDir dir;
  WriteBytes(dir.File("deep/er/file.bin"), "abc");
  EXPECT_EQ(Build(dir.File("deep/er/file.bin")), std::vector<FileEntry>{MakeEntry(0, "file.bin", "abc")});
  std::vector<FileEntry> files;
  std::string error;
  EXPECT_EQ(BuildFileList(dir.File("missing"), BuildOptions(), &files, &error), -1);
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  WriteBytes(dir.File("a"), "x");
  EXPECT_EQ(BuildFileList(dir.path(), {.part_size_units = kMaxPartSizeUnits + 1, .progress = {}}, &files),
            -1);
  EXPECT_EQ(BuildFileList(dir.path(), {.part_size_units = kMaxPartSizeUnits, .progress = {}}, &files), 0);
  EXPECT_EQ(files[0].parts[0].length, 1u);
  WriteBytes(dir.File("b"), "secret");
  fs::permissions(dir.File("b"), fs::perms::none);
  if (std::ifstream(dir.File("b")).good()) GTEST_SKIP() << "running with override rights";
  EXPECT_EQ(BuildFileList(dir.path(), BuildOptions(), &files, &error), -1);
  EXPECT_NE(error.find("/b"), std::string::npos) << error;
}

}  // namespace
}  // namespace brelvane
