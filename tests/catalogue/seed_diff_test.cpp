// SPDX-License-Identifier: MIT
#include "catalogue/seed_diff.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "catalogue/catalogue_test_util.h"

namespace brelvane {
namespace {

using testing::MakeEntry;

// A file of `parts` parts of 10 bytes whose part i has the digest of
// `tags[i]`; the whole-file digest is that of `whole`.
FileEntry Tagged(uint32_t id, const std::string& name, const std::string& tags,
                 const std::string& whole) {
  FileEntry file;
  file.id = id;
  file.name = name;
  file.size = 10 * tags.size();
  file.md5 = Md5Buffer(whole.data(), whole.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    PartEntry part;
    part.id = static_cast<uint32_t>(i);
    part.start = 10 * i;
    part.length = 10;
    part.md5 = Md5Buffer(&tags[i], 1);
    file.parts.push_back(part);
  }
  return file;
}

std::vector<uint32_t> Values(const RangeSet32& set) { return {set.begin(), set.end()}; }

TEST(DiffFileListsTest, ChangedFileFetchesDifferingAndAddedParts) {
  const SeedDiff diff = DiffFileLists({Tagged(4, "f", "aXcde", "new")},
                                      {Tagged(9, "f", "abc", "old")});
  ASSERT_EQ(diff.parts_to_fetch.size(), 1u);
  EXPECT_EQ(Values(diff.parts_to_fetch.at(4)), (std::vector<uint32_t>{1, 3, 4}));
  EXPECT_EQ(diff.bytes_to_fetch, 30u);
  EXPECT_TRUE(diff.removed_names.empty());
}

TEST(DiffFileListsTest, ShorterNewFileIgnoresTheOldTail) {
  const SeedDiff diff =
      DiffFileLists({Tagged(0, "f", "aX", "new")}, {Tagged(0, "f", "abcdef", "old")});
  EXPECT_EQ(Values(diff.parts_to_fetch.at(0)), std::vector<uint32_t>{1});
  EXPECT_EQ(diff.bytes_to_fetch, 10u);
}

TEST(DiffFileListsTest, EqualWholeDigestNeedsNothingEvenIfPartsDiffer) {
  const SeedDiff diff =
      DiffFileLists({Tagged(0, "f", "xyz", "same")}, {Tagged(0, "f", "abc", "same")});
  EXPECT_TRUE(diff.parts_to_fetch.empty());
  EXPECT_EQ(diff.bytes_to_fetch, 0u);
}

TEST(DiffFileListsTest, ChangedFileWithEqualPartsNeedsNoEntry) {
  const SeedDiff diff =
      DiffFileLists({Tagged(0, "f", "abc", "new")}, {Tagged(0, "f", "abc", "old")});
  EXPECT_TRUE(diff.parts_to_fetch.empty());
}

TEST(DiffFileListsTest, NewFileNeedsEveryPart) {
  const FileEntry added = MakeEntry(2, "added", std::string(150000, 'q'), 65536);
  const SeedDiff diff = DiffFileLists({added}, {});
  EXPECT_EQ(Values(diff.parts_to_fetch.at(2)), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(diff.bytes_to_fetch, 150000u);
}

TEST(DiffFileListsTest, EmptyNewFileIsFetchedAsItsOneEmptyPart) {
  const SeedDiff diff = DiffFileLists({MakeEntry(5, "empty", "", 65536)}, {});
  EXPECT_EQ(Values(diff.parts_to_fetch.at(5)), std::vector<uint32_t>{0});
  EXPECT_EQ(diff.bytes_to_fetch, 0u);
}

TEST(DiffFileListsTest, RemovedNamesInOldOrderMatchedCaseSensitively) {
  const SeedDiff diff = DiffFileLists(
      {Tagged(0, "keep", "a", "k"), Tagged(1, "README", "b", "r")},
      {Tagged(0, "z-gone", "a", "z"), Tagged(1, "keep", "a", "k"), Tagged(2, "readme", "b", "r"),
       Tagged(3, "a-gone", "a", "a")});
  EXPECT_EQ(diff.removed_names, (std::vector<std::string>{"z-gone", "readme", "a-gone"}));
  // "README" has no old counterpart of the same case: every part.
  EXPECT_EQ(Values(diff.parts_to_fetch.at(1)), std::vector<uint32_t>{0});
  EXPECT_EQ(diff.parts_to_fetch.count(0), 0u);
}

TEST(DiffFileListsTest, FirstOldFileOfANameIsTheMatch) {
  const SeedDiff diff = DiffFileLists(
      {Tagged(0, "f", "ab", "v2")}, {Tagged(0, "f", "ab", "v1"), Tagged(1, "f", "zz", "v2")});
  // Matched against the first "f" (digest v1): parts equal, nothing to fetch,
  // although the second old "f" has the same whole-file digest.
  EXPECT_TRUE(diff.parts_to_fetch.empty());
}

TEST(DiffFileListsTest, KeysFetchesByTheNewFileId) {
  const SeedDiff diff = DiffFileLists({Tagged(17, "f", "ab", "new")},
                                      {Tagged(3, "f", "aa", "old")});
  ASSERT_EQ(diff.parts_to_fetch.count(17), 1u);
  EXPECT_EQ(Values(diff.parts_to_fetch.at(17)), std::vector<uint32_t>{1});
}

TEST(PrintDiffTest, PrintsDeletionsThenPartsByFileId) {
  const std::vector<FileEntry> new_files = {Tagged(0, "b.dat", "aXcY", "n0"),
                                            Tagged(1, "a dir/a.dat", "pq", "n1")};
  const std::vector<FileEntry> old_files = {Tagged(0, "b.dat", "abcd", "o0"),
                                            Tagged(1, "old.txt", "z", "o1"),
                                            Tagged(2, "older.txt", "z", "o2")};
  const SeedDiff diff = DiffFileLists(new_files, old_files);
  std::ostringstream out;
  PrintDiff(diff, new_files, out);
  EXPECT_EQ(out.str(),
            "File need to delete :\n"
            "\told.txt\n"
            "\tolder.txt\n"
            "File need to update :\n"
            "PartID Start Length\n"
            "\tb.dat\n"
            "\t\t1\t10\t10\n"
            "\t\t3\t30\t10\n"
            "\ta dir/a.dat\n"
            "\t\t0\t0\t10\n"
            "\t\t1\t10\t10\n");
}

TEST(PrintDiffTest, PrintsNothingWhenNothingChanged) {
  const std::vector<FileEntry> files = {Tagged(0, "f", "ab", "same")};
  std::ostringstream out;
  PrintDiff(DiffFileLists(files, files), files, out);
  EXPECT_EQ(out.str(), "");
}

TEST(PrintDiffTest, FindsFilesListedOutOfIdOrder) {
  const std::vector<FileEntry> new_files = {Tagged(1, "second", "a", "x"),
                                            Tagged(0, "first", "b", "y")};
  std::ostringstream out;
  PrintDiff(DiffFileLists(new_files, {}), new_files, out);
  EXPECT_EQ(out.str(),
            "File need to update :\nPartID Start Length\n"
            "\tfirst\n\t\t0\t0\t10\n"
            "\tsecond\n\t\t0\t0\t10\n");
}

TEST(PrintDiffTest, UnknownIdsPrintPlaceholdersInsteadOfReadingPastTheList) {
  SeedDiff diff;
  diff.parts_to_fetch[7].Insert(0);
  diff.parts_to_fetch[0].Insert(9);
  const std::vector<FileEntry> new_files = {Tagged(0, "only", "a", "x")};
  std::ostringstream out;
  PrintDiff(diff, new_files, out);
  EXPECT_EQ(out.str(),
            "File need to update :\nPartID Start Length\n"
            "\tonly\n\t\t9\t?\t?\n"
            "\t?\n\t\t0\t?\t?\n");
}

}  // namespace
}  // namespace brelvane
