// SPDX-License-Identifier: MIT
#include "catalogue/seed_diff.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "catalogue/catalogue_test_util.h"

namespace brelvane {
namespace {

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

// The parts to fetch of a realistic release pair (changed parts, new files,
// removed ones, exact printout): integration.release_tool_test's diff and
// integration.http_update_test's delta update.  The new list here is out of id
// order: files print by id all the same.
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
  // An equal whole digest needs nothing, even if parts differ.
  EXPECT_EQ(print(DiffFileLists({Tagged(0, "f", "xyz", "same")}, {Tagged(0, "f", "abc", "same")})), "");
  SeedDiff diff;  // ids the list does not hold: placeholders, no read past the list
  diff.parts_to_fetch[7].Insert(0);
  diff.parts_to_fetch[0].Insert(9);
  EXPECT_EQ(print(diff), "File need to update :\nPartID Start Length\n"
                         "\tb.dat\n\t\t9\t?\t?\n\t?\n\t\t0\t?\t?\n");
}

}  // namespace
}  // namespace brelvane
