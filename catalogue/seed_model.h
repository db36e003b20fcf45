// SPDX-License-Identifier: MIT
// The release description in memory: parts, files, the torrent document
// (SeedInfo), the file list (FileList) and the comparison of two file lists
// (SeedDiff).  Plain values, copied out to their users; the readers and
// writers are in catalogue/seed_document.h.
//
// A file's parts are in ascending start order and cover it without gaps; all
// parts have the length of the first except the last.  A part's id is its
// index in its file.  The readers take ids, starts and lengths as written;
// users that index by them check them first.
//
// Thread safety: plain values; no internal synchronisation.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "catalogue/md5.h"
#include "storage/range_set.h"

namespace brelvane {

// The id under which the seed file itself is registered.
inline constexpr uint32_t kSeedFileId = 0xFFFFFFFF;

// One contiguous byte range of a file.
struct PartEntry {
  uint32_t id = 0;      // index within its file
  uint32_t length = 0;  // bytes in the part
  uint64_t start = 0;   // offset of the part in the file
  Md5Digest md5{};      // digest of the part's bytes (all zero when empty)

  friend bool operator==(const PartEntry&, const PartEntry&) = default;
};

// One file of a release.
struct FileEntry {
  uint32_t id = 0;    // the key used by the registry, the resume file and peers
  std::string name;   // relative to the update root, "/" between levels
  uint64_t size = 0;  // bytes
  Md5Digest md5{};    // digest of the whole file (all zero when empty)
  std::vector<PartEntry> parts;

  friend bool operator==(const FileEntry&, const FileEntry&) = default;
};

// A main-server (tracker) endpoint as written in the torrent.
struct TrackerEntry {
  std::string ip;  // dotted IPv4 text
  uint16_t port = 0;

  friend bool operator==(const TrackerEntry&, const TrackerEntry&) = default;
};

// The torrent document.
struct SeedInfo {
  std::vector<std::string> http_urls;  // mirror base URLs, document order
  std::vector<TrackerEntry> trackers;  // document order
  uint64_t total_size = 0;             // TotalSize; 0 when absent
  FileEntry file;                      // the seed file it describes

  friend bool operator==(const SeedInfo&, const SeedInfo&) = default;
};

// The file list (the seed's content).
struct FileList {
  std::vector<FileEntry> files;           // document order
  std::vector<std::string> delete_names;  // NonExist names, document order

  friend bool operator==(const FileList&, const FileList&) = default;
};

// What a new file list needs beyond an old one.  parts_to_fetch has the
// shape of the resume data's not-complete map, so update preparation treats
// a comparison exactly like a resume file.
struct SeedDiff {
  std::map<uint32_t, RangeSet32> parts_to_fetch;  // new file id -> part ids
  std::vector<std::string> removed_names;         // old names absent from the new list
  uint64_t bytes_to_fetch = 0;                    // sum of the fetched parts' lengths
};

}  // namespace brelvane
