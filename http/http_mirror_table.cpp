// SPDX-License-Identifier: MIT
#include "http/http_mirror_table.h"

#include <algorithm>

namespace brelvane {

int32_t HttpMirrorTable::Add(const std::string& url) {
  std::lock_guard<std::mutex> lock(mu_);
  const int32_t id = next_id_--;
  entries_.push_back(MirrorEntry{id, url, 0});
  return id;
}

void HttpMirrorTable::AddAll(const std::vector<std::string>& urls) {
  for (const std::string& url : urls) Add(url);
}

bool HttpMirrorTable::Remove(int32_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [id](const MirrorEntry& entry) { return entry.id == id; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

void HttpMirrorTable::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
  address_hits_.clear();
}

bool HttpMirrorTable::PickMirror(MirrorEntry* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (entries_.empty()) return false;
  // min_element keeps the first of equal elements.
  auto best = std::min_element(
      entries_.begin(), entries_.end(),
      [](const MirrorEntry& a, const MirrorEntry& b) { return a.score < b.score; });
  ++best->score;
  *out = *best;
  return true;
}

void HttpMirrorTable::Penalize(int32_t id, int32_t amount) {
  std::lock_guard<std::mutex> lock(mu_);
  for (MirrorEntry& entry : entries_) {
    if (entry.id == id) {
      entry.score += amount;
      return;
    }
  }
}

void HttpMirrorTable::CountAddress(uint32_t ip) {
  std::lock_guard<std::mutex> lock(mu_);
  for (AddressHits& hits : address_hits_) {
    if (hits.ip == ip) {
      ++hits.count;
      return;
    }
  }
  address_hits_.push_back(AddressHits{ip, 1});
}

std::vector<std::pair<uint32_t, uint32_t>> HttpMirrorTable::AddressCounts() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const AddressHits& a : address_hits_) out.emplace_back(a.ip, a.count);
  return out;
}

std::vector<uint32_t> HttpMirrorTable::TopAddresses(size_t maximum) const {
  std::vector<AddressHits> sorted;
  {
    std::lock_guard<std::mutex> lock(mu_);
    sorted = address_hits_;
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const AddressHits& a, const AddressHits& b) { return a.count > b.count; });
  std::vector<uint32_t> out;
  for (size_t i = 0; i < sorted.size() && i < maximum; ++i) out.push_back(sorted[i].ip);
  return out;
}

std::vector<MirrorEntry> HttpMirrorTable::Entries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_;
}

size_t HttpMirrorTable::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

}  // namespace brelvane
