// SPDX-License-Identifier: MIT
#include "storage/block_states.h"

#include <algorithm>

#include "storage/storage_random.h"

namespace brelvane {
namespace {

// The last part of `uid` that the file has (a run reaching past the file's
// end is cut there, so a bad UID cannot make a loop of four billion steps).
uint64_t LastPart(const UID& uid, const FileBlockAllocator& allocator) {
  if (allocator.part_count() == 0) return static_cast<uint64_t>(uid.first_part) - 1;
  return std::min<uint64_t>(uid.last_part, allocator.part_count() - 1);
}

}  // namespace

void BlockStates::RefreshFreeIndex(const Entry& entry) {
  if (entry.allocator.HasFree()) {
    with_free_.insert(entry.file_id);
  } else {
    with_free_.erase(entry.file_id);
  }
}

template <typename Op>
void BlockStates::ForEachPart(const UID& uid, Op op) {
  auto found = entries_.find(uid.file_id);
  if (found == entries_.end()) return;
  const uint64_t last = LastPart(uid, found->second.allocator);
  for (uint64_t p = uid.first_part; p <= last; ++p) {
    op(found->second.allocator, static_cast<uint32_t>(p));
  }
  RefreshFreeIndex(found->second);
}

void BlockStates::AddFile(uint32_t file_id, uint32_t part_count) {
  std::lock_guard<std::mutex> lock(mu_);
  auto [it, inserted] = entries_.try_emplace(file_id);
  if (inserted) file_order_.push_back(file_id);
  it->second.allocator.Init(part_count);
  it->second.file_id = file_id;
  RefreshFreeIndex(it->second);
}

void BlockStates::OnPartVerified(const UID& uid) {
  std::lock_guard<std::mutex> lock(mu_);
  ForEachPart(uid, [](FileBlockAllocator& a, uint32_t p) { a.Complete(p); });
}

void BlockStates::OnPartReset(const UID& uid) {
  std::lock_guard<std::mutex> lock(mu_);
  ForEachPart(uid, [](FileBlockAllocator& a, uint32_t p) { a.Reopen(p); });
}

void BlockStates::Release(const UID& uid) {
  std::lock_guard<std::mutex> lock(mu_);
  ForEachPart(uid, [](FileBlockAllocator& a, uint32_t p) { a.Release(p); });
}

bool BlockStates::Take(const UID& uid) {
  if (!uid.IsSingle()) return false;
  std::lock_guard<std::mutex> lock(mu_);
  auto found = entries_.find(uid.file_id);
  if (found == entries_.end()) return false;
  const bool taken = found->second.allocator.Take(uid.first_part);
  RefreshFreeIndex(found->second);
  return taken;
}

bool BlockStates::AllRequested(const UID& uid) {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = entries_.find(uid.file_id);
  if (found == entries_.end()) return false;
  // A part beyond the file's end is never requested.
  if (uid.first_part > uid.last_part) return true;
  if (uid.last_part >= found->second.allocator.part_count()) return false;
  for (uint64_t p = uid.first_part; p <= uid.last_part; ++p) {
    if (!found->second.allocator.IsRequested(static_cast<uint32_t>(p))) return false;
  }
  return true;
}

bool BlockStates::AnyDone(const UID& uid) {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = entries_.find(uid.file_id);
  if (found == entries_.end()) return false;
  const uint64_t last = LastPart(uid, found->second.allocator);
  for (uint64_t p = uid.first_part; p <= last; ++p) {
    if (found->second.allocator.IsDone(static_cast<uint32_t>(p))) return true;
  }
  return false;
}

uint32_t BlockStates::RandomStartFile() const {
  return file_order_[StorageRandom() % file_order_.size()];
}

UID BlockStates::AllocateBlocks(uint32_t n) {
  UID result;
  std::lock_guard<std::mutex> lock(mu_);
  if (file_order_.empty() || entries_.empty() || n == 0 || with_free_.empty()) return result;
  // Walking the files in id order from the random one, the first that hands
  // out anything is the first that has a free part: look it up directly.
  auto next = with_free_.lower_bound(RandomStartFile());
  if (next == with_free_.end()) next = with_free_.begin();
  Entry& entry = entries_.at(*next);
  uint32_t m = n;
  const uint32_t start = entry.allocator.AllocateUpTo(&m);
  RefreshFreeIndex(entry);
  if (start == kNoPart) return result;  // cannot happen: the file had free parts
  result.file_id = entry.file_id;
  result.first_part = start;
  result.last_part = start + m - 1;
  return result;
}

uint32_t BlockStates::PickRandomFreeBlocks(uint32_t n, UID* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_order_.empty() || entries_.empty() || with_free_.empty() || n == 0) return 0;
  auto first = with_free_.lower_bound(RandomStartFile());
  if (first == with_free_.end()) first = with_free_.begin();
  std::vector<uint32_t> parts(n);
  uint32_t count = 0;
  auto it = first;
  do {
    const Entry& entry = entries_.at(*it);
    const uint32_t listed = entry.allocator.PickRandomFree(n - count, parts.data());
    for (uint32_t i = 0; i < listed; ++i) out[count++] = UID{entry.file_id, parts[i], parts[i]};
    if (++it == with_free_.end()) it = with_free_.begin();
  } while (it != first && count < n);
  return count;
}

void BlockStates::ReleaseAll() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [id, entry] : entries_) {
    if (entry.file_id == kNoFile) continue;
    entry.allocator.ReleaseAll();
    RefreshFreeIndex(entry);
  }
}

void BlockStates::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
  file_order_.clear();
  with_free_.clear();
}

FileBlockAllocator* BlockStates::GetAllocator(uint32_t file_id) {
  auto found = entries_.find(file_id);
  return found == entries_.end() ? nullptr : &found->second.allocator;
}

bool BlockStates::CheckInvariants(std::string* why) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [id, entry] : entries_) {
    if (!entry.allocator.CheckInvariants(why)) {
      *why = "file " + std::to_string(id) + ": " + *why;
      return false;
    }
    if (entry.allocator.HasFree() != (with_free_.count(id) == 1)) {
      *why = "file " + std::to_string(id) + " is misfiled in the free index";
      return false;
    }
  }
  if (with_free_.size() > entries_.size() || file_order_.size() != entries_.size()) {
    *why = "index sizes disagree with the files";
    return false;
  }
  return true;
}

}  // namespace brelvane
