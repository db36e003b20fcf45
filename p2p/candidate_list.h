// SPDX-License-Identifier: MIT
// The peers waiting for a connection, and the connect-back requests waiting
// for an answer.
//
// CandidateList is the ordered list of peer records that the connector works
// through from the front, together with KnownPeerMap (user id -> TCP address
// of every peer ever taken off the list), so that a peer dropped later can be
// queued again.  Records come in from the main server's peer lists (appended
// at the back) and from requeues (inserted behind the 30 freshest entries).
// Both live under one lock, the candidate lock.  Operations that must look at
// the download table while deciding take a callback that runs inside that
// lock: the lock order is candidate lock before the user-table lock.
//
// ConnectRequestQueue holds up to 64 relayed connect requests
// (SCMessageConnectRequest, 60 bytes each, kept unchanged) under its own
// lock; the connector pops them and connects back to the requester.
//
// Thread safety: every operation may be called from any thread.  Callbacks
// must not call back into the same object (the locks are not recursive).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "p2p/net/links.h"
#include "p2p/wire/wire_format.h"

namespace brelvane {

class CandidateList {
 public:
  // Requeued peers go behind this many entries: the freshest candidates
  // from the latest peer lists are tried first.
  static constexpr size_t kFreshEntries = 30;
  // A bound the connector never comes near (it asks for peers only while
  // download users plus candidates stay below MaxDownloadNum + 50); records
  // beyond it are refused so that a flood of peer lists cannot grow memory.
  static constexpr size_t kMaxEntries = 4096;

  // True when the record must not be appended (already a download user,
  // the own user, an address no peer can have).  Runs inside the lock.
  using RecordFilter = std::function<bool(const wire::PeerRecord&)>;
  // Asked with the number of records taken so far; true ends the batch
  // (the download table would be full).  Runs inside the lock.
  using BatchFull = std::function<bool(size_t taken)>;

  // Appends, in order, every record whose user id is not listed yet and that
  // `skip` (may be empty) does not refuse.  Returns how many were appended.
  size_t AppendNew(std::span<const wire::PeerRecord> records, const RecordFilter& skip);

  // Copies up to `n` records from the front without removing them, stopping
  // early when `full` (may be empty) answers true.
  std::vector<wire::PeerRecord> PeekFront(size_t n, const BatchFull& full) const;

  // Removes up to `n` records from the front (as many as are left) and enters
  // each into KnownPeerMap, replacing an older address of the same user.
  void RemoveFront(size_t n);

  // Inserts `record` after the first kFreshEntries entries, or at the end
  // when there are fewer.
  void InsertBehindFresh(const wire::PeerRecord& record);

  // For each id of `user_ids` that KnownPeerMap holds and that `skip` (may be
  // empty) does not refuse - and, with `unless_listed`, that is not in the
  // list already - inserts a record with that id and its known TCP address
  // behind the fresh entries.  Returns how many were inserted.
  size_t RequeueKnown(std::span<const int32_t> user_ids, const std::function<bool(int32_t)>& skip,
                      bool unless_listed);

  bool Contains(int32_t user_id) const;
  // The TCP address KnownPeerMap holds for `user_id`.
  std::optional<wire::NetAddr> KnownAddress(int32_t user_id) const;
  size_t size() const;
  // Empties the list and KnownPeerMap.
  void Clear();

 private:
  bool ContainsLocked(int32_t user_id) const;
  void InsertBehindFreshLocked(const wire::PeerRecord& record);

  mutable std::mutex mu_;  // the candidate lock
  std::deque<wire::PeerRecord> list_;
  std::unordered_map<int32_t, wire::NetAddr> known_;
};

// One relayed connect request: the server's 60-byte message as it came.
struct ConnectBack {
  std::array<uint8_t, wire::kConnectRequestSize> bytes{};

  // The peer that could not reach us (offset 40).
  int32_t requester_id() const { return wire::GetI32(&bytes[40]); }
  // Where to connect: the IPv4 address at offset 24, the TCP port at 56.
  PeerAddress address() const {
    return PeerAddress{wire::GetU32(&bytes[24]), wire::GetU16(&bytes[56])};
  }
};

class ConnectRequestQueue {
 public:
  static constexpr size_t kCapacity = 64;

  // Queues the 60 bytes at `message`.  False (nothing queued) when
  // kCapacity requests are waiting already.
  bool Push(const uint8_t* message);
  // Pops up to `n` requests from the front, oldest first, stopping early when
  // `full` (may be empty) answers true (the upload table would be full).
  std::vector<ConnectBack> Pop(size_t n, const CandidateList::BatchFull& full);
  size_t size() const;
  void Clear();

 private:
  mutable std::mutex mu_;  // the connect-request lock
  std::deque<ConnectBack> queue_;
};

}  // namespace brelvane
