// SPDX-License-Identifier: MIT
// File: one file of the release while it is downloaded or served.  It collects
// incoming data per part (PartBuffer), checks each whole part against its MD5
// digest, keeps verified parts in memory until they are written to disk in
// batches (10 parts, or the rest when the file is complete) through its IFile,
// and serves verified parts to uploaders.
//
// A part moves: missing -> (all bytes, digest good) verified and pending ->
// (on disk) written.  A bad digest makes it wholly missing again.  While 512 or
// more verified parts wait for the disk (it refuses writes) the file is
// "backlogged" and the file system refuses new data for it unless the disk has
// room.  Once every part is verified the I/O object is reopened read-only.
//
// Invariants: written is a subset of verified; every pending part is verified
// and not written, with its whole data in its buffer.
//
// Thread safety: WriteData and WritePending run on the storage worker; reads,
// queries and SampleVerifiedParts on network and status threads.  Every
// operation that reads or changes the part sets takes the file's lock; the
// counts (VerifiedCount, WrittenCount, IsComplete, IsBacklogged) are atomics
// read without it.  The block-state listener is called with the lock held
// (lock order: file lock, then block-state lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "catalogue/seed_model.h"
#include "storage/mmf_io.h"
#include "storage/part_buffer.h"
#include "storage/range_set.h"
#include "storage/uid.h"

namespace brelvane {

class File {
 public:
  // Verified parts waiting in memory that trigger a disk write.
  static constexpr size_t kWriteBatch = 10;
  // Verified parts waiting in memory that make the file backlogged.
  static constexpr size_t kBacklogParts = 512;

  // Builds the file and opens it.  `on_disk` names the parts already written
  // (each is reported to `listener` as verified).  With `io` null the file
  // takes `opened` (OpenOnDisk's result for `full_path`) or, when that is
  // null, opens the file itself as OpenOnDisk does, then cuts it to the
  // declared size when longer; with `io` given, that object is used as it is
  // (not owned, must outlive the file).  Returns null (logged) when the
  // entry's parts are not a proper layout of the file or the file cannot be
  // opened.  `listener` may be null; it must outlive the file.
  static std::unique_ptr<File> Create(const std::string& full_path, const FileEntry& entry,
                                      const RangeSet32& on_disk, IBlockStateListener* listener,
                                      IFile* io = nullptr,
                                      std::unique_ptr<CWinMMFIO> opened = nullptr);
  // The layout every part computation relies on: part i starts at i times
  // the first part's length, all parts but the last have that length, and
  // the parts cover the file exactly.  Documents are untrusted, so a File is
  // never built on anything else.
  static bool IsProperLayout(const FileEntry& entry);
  // Creates the directories of `full_path` and opens or creates the file
  // read-write; null on failure, with the reason in `error` (may be null).
  // Touches nothing of a File: registration may open many at once.
  static std::unique_ptr<CWinMMFIO> OpenOnDisk(const std::string& full_path, std::string* error);
  virtual ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Accepts a chunk of file data at an absolute offset (bytes past the
  // declared size are ignored).  Completed parts are verified; 10 pending
  // parts, or a complete file, trigger WritePending.  Always true.
  virtual bool WriteData(const uint8_t* data, uint32_t length, uint64_t offset);
  // Accepts part `index` whole, its bytes (the part's length) already found
  // to have the part's digest by the caller, so nothing is hashed or copied
  // here; otherwise as WriteData with those bytes (an already verified part
  // is ignored, 10 pending parts or a complete file trigger WritePending).
  void StoreVerifiedPart(uint32_t index, std::unique_ptr<uint8_t[]> bytes);
  // Copies verified data out; the range starts at a part boundary.  False
  // (copying nothing) unless every part it touches is verified.
  [[nodiscard]] virtual bool Read(uint8_t* buffer, uint32_t length, uint64_t offset);
  // Writes every pending part to disk; failed parts stay pending.
  virtual void WritePending();

  // Up to `maximum_length` bytes of part `index` into `destination`, from
  // disk when written, from memory when verified; false otherwise.
  [[nodiscard]] bool ReadPart(uint8_t* destination, uint32_t maximum_length, uint32_t index);

  void MarkVerified(uint32_t index);
  void MarkWritten(uint32_t index);
  void ResetPart(uint32_t index);
  void ClearVerified();
  // Re-reads every part from disk: good parts become written, bad ones missing.
  void VerifyAll();
  // The two halves of VerifyAll, so that several threads can share the
  // hashing (FileSystem::VerifyAllFiles).  CheckOnDisk reads parts
  // [first, first + count) under the file's lock and hashes them after
  // releasing it (side by side when of equal length); good[i] becomes 1 when
  // part first + i is on disk whole with its digest, else 0.  `scratch`
  // holds count part sizes.  ApplyDiskCheck then takes one flag per part:
  // good parts become written, the others missing.
  void CheckOnDisk(uint32_t first, uint32_t count, uint8_t* scratch, uint8_t* good);
  void ApplyDiskCheck(const uint8_t* good);
  // Parts read and hashed together by CheckOnDisk (at most kMd5Lanes, and
  // at most 4 MiB of scratch).
  uint32_t CheckBatchParts() const;
  // Part indices [0, part count - 1] not on disk.
  void GetUnwrittenParts(RangeSet32* out);
  // Adds up to `maximum` verified indices to `out`: a run from a random
  // verified part on, wrapping.
  void SampleVerifiedParts(RangeSet32* out, uint32_t maximum);

  // Durability: flushes the file's data to the device when something was
  // written since the last flush.  False when the flush failed.
  [[nodiscard]] bool SyncWritten();
  // True once after each first write following a flush (the file system
  // keeps a list of files to flush and adds each file once).
  bool TakeSyncListing();

  // The file system flushed the whole device: nothing of this file is
  // waiting for a flush any more.  Storage worker only.
  void MarkSynced();

  bool IsPartVerified(uint32_t index);
  // Every part in [first, last] is verified.
  bool AreVerified(uint32_t first, uint32_t last);
  bool IsComplete() const { return verified_count_.load(std::memory_order_relaxed) == parts_.size(); }
  uint64_t VerifiedBytes();
  uint64_t WrittenBytes();
  uint32_t VerifiedCount() const { return verified_count_.load(std::memory_order_relaxed); }
  uint32_t WrittenCount() const { return written_count_.load(std::memory_order_relaxed); }
  uint32_t PartCount() const { return static_cast<uint32_t>(parts_.size()); }
  uint32_t PartSize() const { return part_size_; }
  uint32_t FileId() const { return file_id_; }
  const std::string& Name() const { return name_; }
  const std::string& FullPath() const { return full_path_; }
  uint64_t DeclaredSize() const { return declared_size_; }
  uint64_t DiskSize();
  bool IsBacklogged() const { return backlog_.load(std::memory_order_relaxed); }
  // The part, or null when `index` is out of range.  Its offset, length and
  // id never change; its buffer belongs to the file's lock.
  const PartBuffer* GetPart(uint32_t index) const;
  size_t PendingCount();

 protected:
  File(const std::string& full_path, const FileEntry& entry, IBlockStateListener* listener);

 private:
  [[nodiscard]] bool Open(IFile* io, std::unique_ptr<CWinMMFIO> opened);
  // The *Locked variants REQUIRE mu_ held.
  void WritePendingLocked();
  bool ReadPartLocked(uint8_t* destination, uint32_t maximum_length, uint32_t index);
  void MarkVerifiedLocked(uint32_t index);
  void MarkWrittenLocked(uint32_t index);
  void ResetPartLocked(uint32_t index);
  uint64_t BytesOf(const RangeSet32& set) const;
  void UpdateCounts();
  // After new data: writes the pending parts when there are 10 of them or
  // the file is complete.
  void WriteWhenDueLocked();
  // Closes the own I/O object and opens it again read-only (complete file).
  void ReopenReadOnlyLocked();

  // Constant after construction.
  std::vector<PartBuffer> parts_;  // buffers guarded by mu_
  uint32_t file_id_;
  std::string name_;
  std::string full_path_;
  uint64_t declared_size_;
  Md5Digest file_digest_;
  uint32_t part_size_;
  IBlockStateListener* listener_;

  std::mutex mu_;
  RangeSet32 verified_;          // guarded by mu_
  RangeSet32 written_;           // guarded by mu_
  std::set<uint32_t> pending_;   // guarded by mu_
  bool unsynced_ = false;        // guarded by mu_: written since the last flush
  bool sync_listed_ = false;     // guarded by mu_
  IFile* io_ = nullptr;          // guarded by mu_ (set once by Open)
  std::unique_ptr<IFile> owned_io_;  // when the file created its I/O object
  std::atomic<bool> backlog_{false};
  std::atomic<uint32_t> verified_count_{0};
  std::atomic<uint32_t> written_count_{0};
};

}  // namespace brelvane
