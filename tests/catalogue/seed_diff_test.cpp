// SPDX-License-Identifier: MIT
#include "catalogue/seed_diff.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
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

TEST(DiffFileListsTest, FetchesPartsThatDifferOrAreNew) {
  using Fetch = std::map<uint32_t, std::vector<uint32_t>>;
  const FileEntry added = MakeEntry(2, "added", std::string(150000, 'q'), 65536);
  const struct {
    std::vector<FileEntry> now, old;
    Fetch fetch;
    uint64_t bytes;
    std::vector<std::string> removed;
  } cases[] = {
      // Differing and added parts, keyed by the new file id.
      {{Tagged(4, "f", "aXcde", "new")}, {Tagged(9, "f", "abc", "old")}, {{4, {1, 3, 4}}}, 30, {}},
      {{Tagged(0, "f", "aX", "new")}, {Tagged(0, "f", "abcdef", "old")}, {{0, {1}}}, 10, {}},
      // An equal whole digest needs nothing, even if parts differ; equal parts need no entry.
      {{Tagged(0, "f", "xyz", "same")}, {Tagged(0, "f", "abc", "same")}, {}, 0, {}},
      {{Tagged(0, "f", "abc", "new")}, {Tagged(0, "f", "abc", "old")}, {}, 0, {}},
      {{added}, {}, {{2, {0, 1, 2}}}, 150000, {}},
      {{MakeEntry(5, "empty", "", 65536)}, {}, {{5, {0}}}, 0, {}},  // its one empty part
      // Removed names in old order, matched case-sensitively.
      {{Tagged(0, "keep", "a", "k"), Tagged(1, "README", "b", "r")},
       {Tagged(0, "z-gone", "a", "z"), Tagged(1, "keep", "a", "k"), Tagged(2, "readme", "b", "r"),
        Tagged(3, "a-gone", "a", "a")},
       {{1, {0}}}, 10, {"z-gone", "readme", "a-gone"}},
      // The first old file of a name is the match, though the second has the new digest.
      {{Tagged(0, "f", "ab", "v2")}, {Tagged(0, "f", "aa", "v1"), Tagged(1, "f", "zz", "v2")},
       {{0, {1}}}, 10, {}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const SeedDiff diff = DiffFileLists(cases[i].now, cases[i].old);
    Fetch fetch;
    for (const auto& [id, parts] : diff.parts_to_fetch) fetch[id] = Values(parts);
    EXPECT_EQ(fetch, cases[i].fetch) << "case " << i;
    EXPECT_EQ(diff.bytes_to_fetch, cases[i].bytes) << "case " << i;
    EXPECT_EQ(diff.removed_names, cases[i].removed) << "case " << i;
  }
}

// The new list out of id order: files print by id all the same.
TEST(PrintDiffTest, PrintsDeletionsThenPartsByFileIdAndPlaceholdersForUnknownIds) {
  const std::vector<FileEntry> new_files = {Tagged(1, "a dir/a.dat", "pq", "n1"),
                                            Tagged(0, "b.dat", "aXcY", "n0")};
  const std::vector<FileEntry> old_files = {Tagged(0, "b.dat", "abcd", "o0"),
                                            Tagged(1, "old.txt", "z", "o1"),
                                            Tagged(2, "older.txt", "z", "o2")};
  const auto print = [&new_files](const SeedDiff& diff) {
    std::ostringstream out;
    PrintDiff(diff, new_files, out);
    return out.str();
  };
  EXPECT_EQ(print(DiffFileLists(new_files, old_files)),
            "File need to delete :\n\told.txt\n\tolder.txt\n"
            "File need to update :\nPartID Start Length\n"
            "\tb.dat\n\t\t1\t10\t10\n\t\t3\t30\t10\n"
            "\ta dir/a.dat\n\t\t0\t0\t10\n\t\t1\t10\t10\n");
  EXPECT_EQ(print(DiffFileLists(new_files, new_files)), "");
  SeedDiff diff;  // ids the list does not hold: placeholders, no read past the list
  diff.parts_to_fetch[7].Insert(0);
  diff.parts_to_fetch[0].Insert(9);
  EXPECT_EQ(print(diff), "File need to update :\nPartID Start Length\n"
                         "\tb.dat\n\t\t9\t?\t?\n\t?\n\t\t0\t?\t?\n");
}

}  // namespace
}  // namespace brelvane
