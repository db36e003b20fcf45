// SPDX-License-Identifier: MIT
// BlockStates: the file system's collection of per-file allocators
// (storage/block_allocator.h), the one place where downloaders (one per peer,
// plus the HTTP threads) learn which parts to fetch so that they fetch
// different ones.  It is also the listener every File reports verified and
// reset parts to.
//
// Cost: besides the allocators, it keeps the ids of the files that still have
// free parts, so allocation goes straight to such a file and never visits the
// complete ones; the choice is the same as walking every file in id order from
// a random starting file.
//
// Thread safety: every operation takes the collection's lock for its whole
// run, except GetAllocator, whose caller must hold it (Lock()).  Files call
// in while holding their own lock, so the order is file lock, then this lock;
// nothing here calls back into a File.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "storage/block_allocator.h"
#include "storage/uid.h"

namespace brelvane {

class BlockStates : public IBlockStateListener {
 public:
  // Registers a file with `part_count` free parts (or resets a known one).
  void AddFile(uint32_t file_id, uint32_t part_count);

  // Complete / Reopen every part of the uid (nothing when first > last).
  void OnPartVerified(const UID& uid) override;
  void OnPartReset(const UID& uid) override;
  // Requested -> free for every part of the uid.
  void Release(const UID& uid);
  // Takes the one part of a single uid; false for a run, an unknown file or
  // a part that is not free.
  [[nodiscard]] bool Take(const UID& uid);
  // True when the file is known and every part of the uid is requested.
  bool AllRequested(const UID& uid);
  // True when the file is known and some part of the uid is done.
  bool AnyDone(const UID& uid);

  // Hands out a run of up to `n` consecutive free parts of one file, the
  // file picked at random among those with free parts.  Invalid UID when
  // nothing is free or `n` is 0.
  UID AllocateBlocks(uint32_t n);
  // Lists up to `n` free parts (single UIDs), from a random file on, without
  // changing anything.  Returns the count.
  uint32_t PickRandomFreeBlocks(uint32_t n, UID* out);

  // Every requested part of every file becomes free.
  void ReleaseAll();
  // Forgets every file.
  void Clear();

  // REQUIRES: the caller holds Lock().  Null for an unknown file.
  FileBlockAllocator* GetAllocator(uint32_t file_id);
  [[nodiscard]] std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mu_); }

  // Every allocator's invariant, and the index of files with free parts.
  [[nodiscard]] bool CheckInvariants(std::string* why);

 private:
  struct Entry {
    FileBlockAllocator allocator;
    uint32_t file_id = kNoFile;
  };

  // Applies `op` to every part of the uid's known file, then refreshes the
  // free-file index.  REQUIRES: mu_ held.
  template <typename Op>
  void ForEachPart(const UID& uid, Op op);
  // REQUIRES: mu_ held.
  void RefreshFreeIndex(const Entry& entry);
  // The file whose turn it is: one picked at random in registration order.
  // REQUIRES: mu_ held, files_ not empty.
  uint32_t RandomStartFile() const;

  std::mutex mu_;
  std::map<uint32_t, Entry> entries_;  // guarded by mu_
  std::vector<uint32_t> file_order_;   // guarded by mu_; registration order
  std::set<uint32_t> with_free_;       // guarded by mu_; ids whose allocator has free parts
};

}  // namespace brelvane
