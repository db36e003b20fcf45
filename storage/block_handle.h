// SPDX-License-Identifier: MIT
// BlockLease and BlockHandle: a downloader's claim on a part it acquired from
// the file system.  The lease is shared by every copy of the handle; when the
// last copy goes, the lease gives its parts back to the block states, so a
// part whose download was abandoned becomes free again (a part completed
// meanwhile stays done: releasing a done part changes nothing).
//
// Lifetime: a handle must not outlive the FileSystem it came from.
//
// Thread safety: copies of one handle may be used and dropped on different
// threads (the count is atomic); the release takes the block-state lock.
#pragma once

#include <cstdint>
#include <memory>

#include "storage/uid.h"

namespace brelvane {

class File;
class FileSystem;

class BlockLease {
 public:
  // `file_system` may be null (a lease that releases nothing).
  BlockLease(FileSystem* file_system, uint32_t file_id, uint32_t first_part, uint32_t last_part)
      : file_system_(file_system),
        file_id_(file_id),
        first_part_(first_part),
        last_part_(last_part) {}
  // Releases every part of the lease through the file system.
  ~BlockLease();
  BlockLease(const BlockLease&) = delete;
  BlockLease& operator=(const BlockLease&) = delete;

  uint32_t file_id() const { return file_id_; }
  uint32_t first_part() const { return first_part_; }
  uint32_t last_part() const { return last_part_; }

 private:
  FileSystem* file_system_;
  uint32_t file_id_;
  uint32_t first_part_;
  uint32_t last_part_;
};

class BlockHandle {
 public:
  // The empty handle: no lease, no file, part 0.
  BlockHandle() = default;
  BlockHandle(std::shared_ptr<BlockLease> lease, File* file, uint32_t part)
      : lease_(std::move(lease)), file_(file), part_(part) {}

  bool IsValid() const { return file_ != nullptr; }
  // The file's id, or 0xFFFFFFFF when not valid.
  uint32_t FileId() const;
  // The part's offset, or all ones when not valid.
  uint64_t PartOffset() const;
  // The part's length, or 0xFFFFFFFF when not valid.
  uint32_t PartLength() const;
  uint32_t Part() const { return part_; }
  File* file() const { return file_; }

 private:
  std::shared_ptr<BlockLease> lease_;
  File* file_ = nullptr;
  uint32_t part_ = 0;
};

}  // namespace brelvane
