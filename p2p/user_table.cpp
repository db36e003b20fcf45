// SPDX-License-Identifier: MIT
#include "p2p/user_table.h"

#include <iterator>
#include <random>

#include "platform/clock.h"
#include "platform/thread.h"

namespace brelvane {
namespace {

constexpr const char* kStateNames[] = {
    "UnknowUser", "BeforeUpload",   "UploadInit",  "WaitForUpload", "Uploading",
    "BeforeDownLoad", "DownloadReq", "DownloadInit", "Downloading", "BadState",
};

// Each scheduling thread draws from its own generator, seeded with its thread
// id times the tick when it first picks.
uint32_t ThreadRandom() {
  thread_local std::minstd_rand generator(platform::CurrentThreadId() * platform::Tick32() | 1u);
  return static_cast<uint32_t>(generator());
}

}  // namespace

const char* UserStateName(int32_t state) {
  if (state < 0 || state >= static_cast<int32_t>(std::size(kStateNames))) return "";
  return kStateNames[state];
}

UserTable::UserTable() : UserTable(CreateLogObject("user.log", 0)) {}

UserTable::UserTable(std::unique_ptr<LogObject> log)
    : log_(std::move(log)), tick_(platform::Tick32), random_(ThreadRandom) {}

// Records go first: their blocks may still release parts.
UserTable::~UserTable() { Clear(); }

bool UserTable::Add(int32_t id, const PeerAddress& address, UserState state) {
  std::lock_guard<std::mutex> lock(mu_);
  UserRecord record;
  record.id = id;
  record.address = address;
  record.state = state;
  return users_.emplace(id, std::move(record)).second;
}

bool UserTable::Contains(int32_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return users_.count(id) != 0;
}

std::optional<UserRecord> UserTable::Get(int32_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(id);
  if (it == users_.end()) return std::nullopt;
  return it->second;
}

std::optional<UserRecord> UserTable::Peek(int32_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(id);
  if (it == users_.end()) return std::nullopt;
  const UserRecord& u = it->second;
  UserRecord view;
  view.id = u.id;
  view.address = u.address;
  view.state = u.state;
  view.block = u.block;
  view.last_change = u.last_change;
  view.changed = u.changed;
  return view;
}

std::optional<int32_t> UserTable::FindByAddress(const PeerAddress& address) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [id, record] : users_) {
    if (record.address == address) return id;
  }
  return std::nullopt;
}

bool UserTable::Remove(int32_t id) {
  BlockHandle dropped;  // released after the lock: the release takes storage locks
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(id);
  if (it == users_.end()) return false;
  dropped = std::move(it->second.block);
  users_.erase(it);
  return true;
}

bool UserTable::RemoveByAddress(const PeerAddress& address) {
  BlockHandle dropped;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = users_.begin(); it != users_.end(); ++it) {
    if (it->second.address == address) {
      dropped = std::move(it->second.block);
      users_.erase(it);
      return true;
    }
  }
  return false;
}

bool UserTable::SetState(int32_t id, UserState state, BlockHandle block) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(id);
  if (it == users_.end()) return false;
  UserRecord& record = it->second;
  // The old handle ends up in `block` and dies after the lock is released.
  if (state != UserState::kDownloadInit && state != UserState::kDownloading) {
    std::swap(record.block, block);
  }
  const uint32_t now = tick_();
  if (record.changed && log_) {
    log_->Write(5, "User %d state change, %d -> %d, %d ms.", id,
                static_cast<int>(record.state), static_cast<int>(state),
                static_cast<int>(now - record.last_change));
  }
  record.changed = true;
  record.last_change = now;
  record.state = state;
  return true;
}

std::optional<std::pair<int32_t, PeerAddress>> UserTable::PickRandom(UserState state) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (users_.empty()) return std::nullopt;
  auto it = users_.begin();
  std::advance(it, random_() % users_.size());
  for (size_t seen = 0; seen < users_.size(); ++seen, ++it) {
    if (it == users_.end()) it = users_.begin();
    if (it->second.state == state) return std::make_pair(it->first, it->second.address);
  }
  return std::nullopt;
}

std::optional<PartKey> UserTable::PopAdvertised(int32_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(id);
  if (it == users_.end() || it->second.advertised.empty()) return std::nullopt;
  AdvertisedSet& parts = it->second.advertised;
  const PartKey first = *parts.begin();
  parts.erase(parts.begin());
  return first;
}

bool UserTable::DropAdvertised(int32_t id, const PartKey& part) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(id);
  if (it == users_.end()) return false;
  it->second.advertised.erase(part);
  return true;
}

bool UserTable::ReplaceAdvertised(int32_t id, AdvertisedSet parts) {
  AdvertisedSet old;  // freed after the lock
  std::lock_guard<std::mutex> lock(mu_);
  auto it = users_.find(id);
  if (it == users_.end()) return false;
  old.swap(it->second.advertised);
  it->second.advertised = std::move(parts);
  return true;
}

void UserTable::ForEach(const std::function<void(const UserRecord&)>& fn) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [id, record] : users_) fn(record);
}

void UserTable::Clear() {
  std::map<int32_t, UserRecord> dropped;
  std::lock_guard<std::mutex> lock(mu_);
  dropped.swap(users_);
}

size_t UserTable::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return users_.size();
}

}  // namespace brelvane
