// SPDX-License-Identifier: MIT
// UserStatsTable: what the engine knows about each peer it downloads from -
// when it was first seen and last heard from, how many parts and bytes it
// delivered, how its answers went - and the periodic sweep that scores every
// peer by six rules and names the inferior ones (idle, failing, slow), which
// the scheduler then drops.
//
// The rules, applied in order to every entry, each adding its weight when it
// applies:
//   1 idle       -1000  last activity more than 300 s ago
//   2 failing       -1  10 or more consecutive failed answers
//   3 slow          -2  rate below a fifth of the trimmed mean (see Sweep)
//   4 delivered     +1  at least 1 completed part
//   5 delivered     +1  at least 3 completed parts
//   6 delivered     +1  at least 10 completed parts
// After the rules, a score of 0 or more is reset to 0 (with the bytes of the
// sweep window); a negative score makes the user inferior and removes it.
//
// Thread safety: every operation takes the statistics lock; the lock is never
// held together with another engine lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "p2p/engine_links.h"

namespace brelvane {

class InferiorRule {
 public:
  enum class Kind { kIdle, kFailing, kSlow, kDelivered };

  InferiorRule(Kind kind, int32_t weight, uint32_t parameter)
      : kind_(kind), weight_(weight), parameter_(parameter) {}

  struct Entry {
    PeerAddress address;
    uint32_t last_activity = 0;  // seconds
    uint32_t first_seen = 0;     // seconds
    uint32_t completed_parts = 0;
    uint64_t bytes = 0;          // all time
    uint64_t window_bytes = 0;   // since the last sweep
    uint32_t failed_answers = 0;
    uint32_t successful_answers = 0;
    uint32_t consecutive_failed = 0;
    int32_t score = 0;
  };

  // Adds the weight to every entry the rule applies to.  `max_download_num`
  // is the download-table limit (the slow rule only judges a nearly full
  // table).
  void Apply(std::map<int32_t, Entry>& entries, uint32_t now, int32_t max_download_num) const;

 private:
  void ApplySlow(std::map<int32_t, Entry>& entries, uint32_t now, int32_t max_download_num) const;

  Kind kind_;
  int32_t weight_;
  uint32_t parameter_;
};

class UserStatsTable : public IUserStats {
 public:
  using Entry = InferiorRule::Entry;
  struct Inferior {
    int32_t user_id;
    bool completed_any;  // it delivered at least one part before falling behind
  };

  // `now_seconds` (may be empty: the calendar clock) is the time source.
  explicit UserStatsTable(std::function<uint32_t()> now_seconds = {});

  // IUserStats.
  void RecordAddress(int32_t user_id, const PeerAddress& address) override;
  void Touch(int32_t user_id) override;
  void CountAnswer(int32_t user_id, bool success) override;
  void AddBytes(int32_t user_id, uint64_t bytes, bool completed_part) override;

  // Applies the six rules and removes the inferior entries, which are
  // returned in id order.
  std::vector<Inferior> Sweep(int32_t max_download_num);

  // The ids of every entry, in order.
  std::vector<int32_t> UserIds() const;
  bool Get(int32_t user_id, Entry* out) const;
  size_t Size() const;
  void Clear();

 private:
  Entry& EntryFor(int32_t user_id, uint32_t now);  // REQUIRES: mu_ held

  std::function<uint32_t()> now_;
  std::vector<InferiorRule> rules_;
  mutable std::mutex mu_;
  std::map<int32_t, Entry> entries_;  // guarded by mu_
};

}  // namespace brelvane
