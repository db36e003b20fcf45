// SPDX-License-Identifier: MIT
// Builds the file entries of a release from a directory tree (or one file):
// names, sizes, the division into parts and every part's and file's MD5.
// This is the publishers' operation behind `brelvane-release build`; the
// updater itself never calls it.
//
// Part layout: the part size is units x 65536 bytes.  With units 0 the first
// file processed decides: k = (its size in whole MiB) / 250, units = 2^k
// capped at 8 (under 250 MiB: 64 KiB parts; 250-499 MiB: 128 KiB; 500-749
// MiB: 256 KiB; larger: 512 KiB), or 2 when that file cannot be opened; the
// choice holds for the rest of the run.  A file of S > 0 bytes has
// (S - 1) / P + 1 parts, all of P bytes but the last; an empty file has one
// empty part and all-zero digests.
//
// Scanning: a path naming a file processes only that file, named by the
// text after its last "/" (or "\").  A directory is listed in byte-wise
// order of entry names and, with `recursive`, descended in place, so one
// tree always yields the same list; names are relative to the directory
// with "/" between levels, and ids count from 0 in processing order.
// Symbolic links to files are followed; links to directories and other
// special entries are not taken and are reported in `skipped`.
//
// Every byte is read once; the part digests are computed on the calling
// thread and, for files of more than one part, the whole-file digest on a
// second thread over the same buffers.
//
// Thread safety: calls are independent; `progress` runs on the calling
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/seed_model.h"

namespace brelvane {

class IniDocument;

inline constexpr uint32_t kPartSizeUnit = 65536;
// The largest units value whose part size still fits a u32 length.
inline constexpr uint32_t kMaxPartSizeUnits = 65535;

struct BuildProgress {
  uint64_t files_done = 0;
  uint64_t files_total = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_total = 0;   // sizes seen while listing the tree
  std::string_view current;   // name of the file being hashed
};

struct BuildOptions {
  bool recursive = true;
  bool compute_digests = true;
  uint32_t part_size_units = 0;  // 0: automatic; at most kMaxPartSizeUnits
  // When set, only files whose relative name is a key of the unnamed
  // section are taken; the others are skipped silently.
  const IniDocument* include_filter = nullptr;
  // Called after every chunk hashed and after every file.
  std::function<void(const BuildProgress&)> progress{};
  // Computes the whole-file digests on a second thread.
  bool use_second_thread = true;
  // When given, receives the relative names of entries that were not taken
  // (links to directories, devices, sockets, broken links).
  std::vector<std::string>* skipped = nullptr;
};

// Appends the entries for `path` to `*files`.  Returns 0 on success, -1 when
// a directory cannot be listed, a file cannot be opened or read completely,
// or the part size is out of range; `*error` (when given) then says what
// failed.
[[nodiscard]] int BuildFileList(const std::string& path, const BuildOptions& options,
                                std::vector<FileEntry>* files, std::string* error = nullptr);

// The automatic part-size units for a first file of `size` bytes.
uint32_t AutoPartSizeUnits(uint64_t size);

// The parts of a file of `size` bytes in parts of `part_size` bytes, with
// ids, starts and lengths set and digests left zero.
std::vector<PartEntry> LayOutParts(uint64_t size, uint32_t part_size);

}  // namespace brelvane
