// SPDX-License-Identifier: MIT
#include "p2p/net/connection_table.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "base/file_log.h"

namespace brelvane {

ConnectionTable::Lease::~Lease() {
  if (connection_ != nullptr) table_->Release(connection_);
}

bool ConnectionTable::Register(platform::Socket* socket, const PeerAddress& address, uint32_t now) {
  std::lock_guard<std::mutex> lock(map_mu_);
  if (map_.size() >= kCapacity || map_.count(address) != 0) return false;
  map_.emplace(address,
               std::make_unique<PeerConnection>(std::move(*socket), address, next_id_++, now));
  std::lock_guard<std::mutex> pending_lock(pending_mu_);
  pending_.push_back(address);
  return true;
}

ConnectionTable::Lease ConnectionTable::Acquire(const PeerAddress& address) {
  std::lock_guard<std::mutex> lock(map_mu_);
  auto it = map_.find(address);
  if (it == map_.end()) return Lease();
  ++it->second->senders;
  return Lease(this, it->second.get());
}

void ConnectionTable::Release(PeerConnection* c) {
  // A dead connection whose last sender leaves is freed by the next FreeDead.
  std::lock_guard<std::mutex> lock(map_mu_);
  --c->senders;
}

PeerConnection* ConnectionTable::Find(const PeerAddress& address) {
  std::lock_guard<std::mutex> lock(map_mu_);
  auto it = map_.find(address);
  return it == map_.end() ? nullptr : it->second.get();
}

bool ConnectionTable::Remove(const PeerAddress& address) {
  std::unique_ptr<PeerConnection> gone;
  {
    std::lock_guard<std::mutex> lock(map_mu_);
    auto it = map_.find(address);
    if (it == map_.end()) return false;
    gone = std::move(it->second);
    map_.erase(it);
    gone->socket.Shutdown();  // wakes a sender waiting for room
    if (gone->senders > 0) {
      Log5("Local close");
      std::lock_guard<std::mutex> dead_lock(dead_mu_);
      dead_.push_back(std::move(gone));
      return true;
    }
  }
  return true;  // `gone` closes its socket here, outside the locks
}

void ConnectionTable::FreeDead() {
  std::vector<std::unique_ptr<PeerConnection>> freed;
  {
    std::lock_guard<std::mutex> lock(map_mu_);
    std::lock_guard<std::mutex> dead_lock(dead_mu_);
    auto idle = std::stable_partition(dead_.begin(), dead_.end(),
                                      [](const auto& c) { return c->senders > 0; });
    std::move(idle, dead_.end(), std::back_inserter(freed));
    dead_.erase(idle, dead_.end());
  }
}

void ConnectionTable::QueueClose(const PeerAddress& address) {
  std::lock_guard<std::mutex> lock(to_close_mu_);
  to_close_.push_back(address);
}

void ConnectionTable::QueueCloseAll() {
  std::lock_guard<std::mutex> lock(map_mu_);
  std::lock_guard<std::mutex> to_close_lock(to_close_mu_);
  for (const auto& entry : map_) to_close_.push_back(entry.first);
}

std::vector<PeerAddress> ConnectionTable::TakeToClose() {
  std::lock_guard<std::mutex> lock(to_close_mu_);
  return std::exchange(to_close_, {});
}

std::vector<PeerAddress> ConnectionTable::TakePending() {
  std::lock_guard<std::mutex> lock(pending_mu_);
  return std::exchange(pending_, {});
}

std::vector<PeerAddress> ConnectionTable::IdleLongerThan(uint32_t now, uint32_t limit_seconds) {
  std::vector<PeerAddress> idle;
  std::lock_guard<std::mutex> lock(map_mu_);
  for (const auto& [address, c] : map_) {
    // Signed: an activity stamped after `now` (the calendar clock stepped
    // back) is not idle.
    const int64_t age = static_cast<int64_t>(now) -
                        static_cast<int64_t>(c->last_activity.load(std::memory_order_relaxed));
    if (age > static_cast<int64_t>(limit_seconds)) idle.push_back(address);
  }
  return idle;
}

size_t ConnectionTable::Count() const {
  std::lock_guard<std::mutex> lock(map_mu_);
  std::lock_guard<std::mutex> dead_lock(dead_mu_);
  return map_.size() + dead_.size();
}

void ConnectionTable::Clear() {
  std::map<PeerAddress, std::unique_ptr<PeerConnection>> map;
  std::vector<std::unique_ptr<PeerConnection>> dead;
  {
    std::lock_guard<std::mutex> lock(map_mu_);
    map.swap(map_);
    {
      std::lock_guard<std::mutex> pending_lock(pending_mu_);
      pending_.clear();
    }
    {
      std::lock_guard<std::mutex> to_close_lock(to_close_mu_);
      to_close_.clear();
    }
    std::lock_guard<std::mutex> dead_lock(dead_mu_);
    dead.swap(dead_);
  }
  for (auto& [address, c] : map) c->socket.Shutdown();
  for (auto& c : dead) c->socket.Shutdown();
}

}  // namespace brelvane
