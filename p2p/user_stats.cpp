// SPDX-License-Identifier: MIT
#include "p2p/user_stats.h"

#include <algorithm>

#include "platform/clock.h"

namespace brelvane {

void InferiorRule::Apply(std::map<int32_t, Entry>& entries, uint32_t now,
                         int32_t max_download_num) const {
  if (kind_ == Kind::kSlow) {
    ApplySlow(entries, now, max_download_num);
    return;
  }
  for (auto& [id, e] : entries) {
    bool applies = false;
    switch (kind_) {
      case Kind::kIdle:
        applies = now > e.last_activity && now - e.last_activity > parameter_;
        break;
      case Kind::kFailing:
        applies = e.consecutive_failed >= 10;
        break;
      case Kind::kDelivered:
        applies = e.completed_parts >= parameter_;
        break;
      case Kind::kSlow:
        break;
    }
    if (applies) e.score += weight_;
  }
}

void InferiorRule::ApplySlow(std::map<int32_t, Entry>& entries, uint32_t now,
                             int32_t max_download_num) const {
  // Only a table close to its limit is worth thinning out.
  if (static_cast<int64_t>(entries.size()) < static_cast<int64_t>(max_download_num) - 8) return;
  std::vector<std::pair<double, Entry*>> rated;
  for (auto& [id, e] : entries) {
    if (now < e.first_seen || now - e.first_seen < 20) continue;
    rated.emplace_back(static_cast<double>(e.bytes) / (now - e.first_seen), &e);
  }
  if (rated.size() < 8) return;
  std::vector<double> rates;
  for (const auto& r : rated) rates.push_back(r.first);
  std::sort(rates.begin(), rates.end());
  // The two slowest and the two fastest do not move the yardstick.
  double sum = 0;
  for (size_t i = 2; i + 2 < rates.size(); ++i) sum += rates[i];
  const double threshold = sum / static_cast<double>(rates.size() - 4) / 5.0;
  for (auto& [rate, entry] : rated)
    if (rate < threshold) entry->score += weight_;
}

UserStatsTable::UserStatsTable(std::function<uint32_t()> now_seconds)
    : now_(now_seconds ? std::move(now_seconds) : std::function<uint32_t()>(platform::NowSeconds)),
      rules_{{InferiorRule::Kind::kIdle, -1000, 300},   {InferiorRule::Kind::kFailing, -1, 10},
             {InferiorRule::Kind::kSlow, -2, 0},        {InferiorRule::Kind::kDelivered, 1, 1},
             {InferiorRule::Kind::kDelivered, 1, 3},    {InferiorRule::Kind::kDelivered, 1, 10}} {}

UserStatsTable::Entry& UserStatsTable::EntryFor(int32_t user_id, uint32_t now) {
  auto [it, inserted] = entries_.try_emplace(user_id);
  if (inserted) {
    it->second.first_seen = now;
    it->second.last_activity = now;
  }
  return it->second;
}

void UserStatsTable::RecordAddress(int32_t user_id, const PeerAddress& address) {
  const uint32_t now = now_();
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = EntryFor(user_id, now);
  e.address = address;
  e.last_activity = now;
}

void UserStatsTable::Touch(int32_t user_id) {
  const uint32_t now = now_();
  std::lock_guard<std::mutex> lock(mu_);
  EntryFor(user_id, now).last_activity = now;
}

void UserStatsTable::CountAnswer(int32_t user_id, bool success) {
  const uint32_t now = now_();
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = EntryFor(user_id, now);
  e.last_activity = now;
  if (success) {
    ++e.successful_answers;
    e.consecutive_failed = 0;
  } else {
    ++e.failed_answers;
    ++e.consecutive_failed;
  }
}

void UserStatsTable::AddBytes(int32_t user_id, uint64_t bytes, bool completed_part) {
  const uint32_t now = now_();
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(user_id);
  if (it == entries_.end()) return;
  Entry& e = it->second;
  e.last_activity = now;
  e.bytes += bytes;
  e.window_bytes += bytes;
  if (completed_part) ++e.completed_parts;
}

std::vector<UserStatsTable::Inferior> UserStatsTable::Sweep(int32_t max_download_num) {
  const uint32_t now = now_();
  std::vector<Inferior> inferior;
  std::lock_guard<std::mutex> lock(mu_);
  for (const InferiorRule& rule : rules_) rule.Apply(entries_, now, max_download_num);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.score >= 0) {
      it->second.score = 0;
      it->second.window_bytes = 0;
      ++it;
    } else {
      inferior.push_back({it->first, it->second.completed_parts > 0});
      it = entries_.erase(it);
    }
  }
  return inferior;
}

std::vector<int32_t> UserStatsTable::UserIds() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<int32_t> ids;
  for (const auto& [id, e] : entries_) ids.push_back(id);
  return ids;
}

bool UserStatsTable::Get(int32_t user_id, Entry* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(user_id);
  if (it == entries_.end()) return false;
  *out = it->second;
  return true;
}

size_t UserStatsTable::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

void UserStatsTable::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
}

}  // namespace brelvane
