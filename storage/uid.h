// SPDX-License-Identifier: MIT
// UID: a run of parts of one file (file id, first part, last part, inclusive).
// The default UID has every field all ones and is invalid; a UID is valid when
// its file id is not all ones and single when it names one part.  Log lines
// show it as "%d.%d" (file id, part).
//
// Thread safety: a plain value.
#pragma once

#include <cstdint>

namespace brelvane {

inline constexpr uint32_t kNoFile = 0xFFFFFFFF;
inline constexpr uint32_t kNoPart = 0xFFFFFFFF;

struct UID {
  uint32_t file_id = kNoFile;
  uint32_t first_part = kNoPart;
  uint32_t last_part = kNoPart;

  bool IsValid() const { return file_id != kNoFile; }
  bool IsSingle() const { return first_part == last_part; }
  friend bool operator==(const UID&, const UID&) = default;
};

// Told by a File when one of its parts becomes verified or is reset to
// missing; the UID names the file and that single part.  Called with the
// file's lock held, so an implementation must never call back into a File.
class IBlockStateListener {
 public:
  virtual ~IBlockStateListener() = default;
  virtual void OnPartVerified(const UID& uid) = 0;
  virtual void OnPartReset(const UID& uid) = 0;
};

}  // namespace brelvane
