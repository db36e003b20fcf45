// SPDX-License-Identifier: MIT
#include "p2p/candidate_list.h"

#include <algorithm>
#include <cstring>

#include "base/file_log.h"

namespace brelvane {

size_t CandidateList::AppendNew(std::span<const wire::PeerRecord> records,
                                const RecordFilter& skip) {
  std::lock_guard<std::mutex> lock(mu_);
  size_t appended = 0;
  for (const wire::PeerRecord& r : records) {
    if (ContainsLocked(r.user_id) || (skip && skip(r))) continue;
    if (list_.size() >= kMaxEntries) {
      Log2("CandidateList full, peer dropped: %s", wire::PeerRecordText(r).c_str());
      continue;
    }
    list_.push_back(r);
    ++appended;
  }
  return appended;
}

std::vector<wire::PeerRecord> CandidateList::PeekFront(size_t n, const BatchFull& full) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<wire::PeerRecord> taken;
  for (size_t i = 0; i < n && i < list_.size(); ++i) {
    if (full && full(taken.size())) break;
    taken.push_back(list_[i]);
  }
  return taken;
}

void CandidateList::RemoveFront(size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  for (n = std::min(n, list_.size()); n > 0; --n) {
    known_[list_.front().user_id] = list_.front().tcp;
    list_.pop_front();
  }
}

void CandidateList::InsertBehindFresh(const wire::PeerRecord& record) {
  std::lock_guard<std::mutex> lock(mu_);
  InsertBehindFreshLocked(record);
}

size_t CandidateList::RequeueKnown(std::span<const int32_t> user_ids,
                                   const std::function<bool(int32_t)>& skip, bool unless_listed) {
  std::lock_guard<std::mutex> lock(mu_);
  size_t inserted = 0;
  for (int32_t id : user_ids) {
    auto known = known_.find(id);
    if (known == known_.end() || (skip && skip(id)) || (unless_listed && ContainsLocked(id))) {
      continue;
    }
    wire::PeerRecord record;
    record.user_id = id;
    record.tcp = known->second;
    InsertBehindFreshLocked(record);
    ++inserted;
  }
  return inserted;
}

bool CandidateList::Contains(int32_t user_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return ContainsLocked(user_id);
}

std::optional<wire::NetAddr> CandidateList::KnownAddress(int32_t user_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = known_.find(user_id);
  if (it == known_.end()) return std::nullopt;
  return it->second;
}

size_t CandidateList::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return list_.size();
}

void CandidateList::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  list_.clear();
  known_.clear();
}

bool CandidateList::ContainsLocked(int32_t user_id) const {
  return std::any_of(list_.begin(), list_.end(),
                     [user_id](const wire::PeerRecord& r) { return r.user_id == user_id; });
}

void CandidateList::InsertBehindFreshLocked(const wire::PeerRecord& record) {
  list_.insert(list_.begin() + static_cast<ptrdiff_t>(std::min(kFreshEntries, list_.size())),
               record);
}

bool ConnectRequestQueue::Push(const uint8_t* message) {
  std::lock_guard<std::mutex> lock(mu_);
  if (queue_.size() >= kCapacity) return false;
  ConnectBack entry;
  std::memcpy(entry.bytes.data(), message, entry.bytes.size());
  queue_.push_back(entry);
  return true;
}

std::vector<ConnectBack> ConnectRequestQueue::Pop(size_t n, const CandidateList::BatchFull& full) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ConnectBack> taken;
  while (taken.size() < n && !queue_.empty() && !(full && full(taken.size()))) {
    taken.push_back(queue_.front());
    queue_.pop_front();
  }
  return taken;
}

size_t ConnectRequestQueue::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

void ConnectRequestQueue::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.clear();
}

}  // namespace brelvane
