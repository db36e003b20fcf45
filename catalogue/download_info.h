// SPDX-License-Identifier: MIT
// The resume file (".Download_Info_Data" in the info folder): which parts of
// which files were still missing when it was written, so that a restarted
// update resumes without re-verifying everything.  An INI document
// (catalogue/ini_document.h), for example:
//
//   [12]
//   NotCompletePartId = 5
//
//   [3]
//   NotCompletePartId = 0|1|2|7
//
//   [Global]
//   AllFileComplete = 0
//   NotCompleteFileId = 3|12
//
// Sections are in byte-wise order ("12" before "3" before "Global"); id
// lists are decimal numbers joined by "|".  A file not listed is complete.
//
// The file is replaced atomically (temporary name, flush, rename), so a
// crash leaves the previous version.  The reader refuses anything it cannot
// fully account for, and the caller then falls back to verifying files.
//
// Thread safety: the functions share no state; two writers of one path must
// be serialised by the caller (the storage worker is the only writer).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "storage/range_set.h"

namespace brelvane {

struct DownloadInfoData {
  bool all_file_complete = true;
  std::map<uint32_t, RangeSet32> not_complete;  // file id -> missing part ids
};

// Reads the resume file at `path`.  False when it cannot be read or parsed,
// when AllFileComplete is missing or not "0"/"1", when an id does not parse,
// when a listed file has no section or no NotCompletePartId, or when the
// file-id list is empty or leaves out a file section (which is what a file
// cut inside that last line would say).  A file whose part list is empty is
// left out of the map.
[[nodiscard]] bool ReadDownloadInfo(const std::string& path, DownloadInfoData* data);

// Replaces the resume file at `path` with `not_complete` (files with an
// empty set count as complete and are left out).  True when written and
// flushed.
[[nodiscard]] bool WriteDownloadInfo(const std::map<uint32_t, RangeSet32>& not_complete,
                                     const std::string& path);

// The text WriteDownloadInfo writes.
std::string DownloadInfoText(const std::map<uint32_t, RangeSet32>& not_complete);

// Parses one id of an id list: optional leading blanks, then decimal digits
// (text after them is ignored).  A token whose number is 0 must consist of
// "0" characters only.  Exposed for tests.
[[nodiscard]] bool ParseIdToken(std::string_view token, uint32_t* id);

}  // namespace brelvane
