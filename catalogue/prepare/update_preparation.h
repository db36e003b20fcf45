// SPDX-License-Identifier: MIT
// Update preparation: what is already on disk, and what must be fetched.
//
//   CheckSeed      - is the stored seed (file list) the one the torrent
//                    describes?  If not, the old one is set aside or dropped
//                    and the caller downloads the new one.
//   RegisterFiles  - read the seed, delete the files it lists for removal,
//                    work out the missing parts of every file (from the resume
//                    file, from a comparison with the previous seed, or by a
//                    full scan), register every file and start the storage
//                    worker.
//   DeleteInfoFiles lives on the FileSystem itself.
//
// Names from the file list are untrusted: a list naming an unsafe path
// (absolute, "..", a reserved device name...) is rejected before anything is
// deleted or created, and a deletion never follows a symbolic link out of the
// update directory.
//
// Thread safety: both run on the start-up thread before the download threads
// start; they take no locks of their own.
#pragma once

#include <cstdint>

#include "storage/file_system.h"

namespace brelvane {

enum class CheckSeedResult : int {
  Verified = 0,          // the stored seed is the torrent's
  Missing = 1,           // no seed, or its storage object failed
  ChangedFinished = 2,   // a new seed; the old one became the past seed
  ChangedUnfinished = 3  // a new seed while a download was unfinished
};

// REQUIRES: fs.SetPaths() was called.
CheckSeedResult CheckSeed(FileSystem& fs);

// True when every file was registered and the storage worker started.
// REQUIRES: fs.SetPaths() was called and the seed file is on disk.
[[nodiscard]] bool RegisterFiles(FileSystem& fs);

// Deletes `base` + `name` when `name` is a safe relative name and the file's
// directory lies inside `base` (no symbolic link leads out).  A link itself is
// removed, never followed.  Failures are ignored; returns whether the name was
// acceptable.
bool DeleteInsideBase(const std::string& base, const std::string& name);

}  // namespace brelvane
