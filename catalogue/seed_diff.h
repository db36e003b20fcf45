// SPDX-License-Identifier: MIT
// Comparing a new file list with an old one: which parts must be fetched and
// which old names are gone.  Update preparation uses the parts as if they
// came from the resume file; `brelvane-release` prints the comparison.
//
// Files are matched by exact (case-sensitive) name, the first old file of a
// name being the match.  A file whose whole-file digest is unchanged needs
// nothing.  Otherwise the part lists are walked in step by position and a
// part is fetched where its digest differs or the old file has no part at
// that position; old parts beyond the new file's end are ignored.  A file
// that is new needs every part.  Only digests are compared, never ids or
// offsets.
//
// Thread safety: pure functions over their arguments.
#pragma once

#include <ostream>
#include <vector>

#include "catalogue/seed_model.h"

namespace brelvane {

SeedDiff DiffFileLists(const std::vector<FileEntry>& new_files,
                       const std::vector<FileEntry>& old_files);

// Prints the comparison, each line ended by a line feed:
//   File need to delete :           (when names were removed)
//   \t<name>                        (one per removed name)
//   File need to update :           (when parts are to fetch)
//   PartID Start Length
//   \t<file name>                   (ascending file id)
//   \t\t<part id>\t<start>\t<length>
// A file or part is looked up at the position equal to its id in the new
// files sorted by id (and in that file's parts); an id without such a
// position (a list numbered out of the usual order) is looked up by value,
// and one not found at all is printed as "?".
void PrintDiff(const SeedDiff& diff, const std::vector<FileEntry>& new_files, std::ostream& out);

}  // namespace brelvane
