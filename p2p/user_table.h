// SPDX-License-Identifier: MIT
// UserTable: the peers the engine works with in one direction.  The engine
// keeps two: the upload table (peers that download from this client) and the
// download table (peers this client downloads from).  Each record carries the
// peer's user id, the address of its TCP connection, its UserState, the parts
// it is believed to hold (its advertised set) and, in the download table, the
// part currently being fetched from it (the attached BlockHandle).
//
// Every step of the block exchange is a state change through SetState:
//
//   upload table     1 BeforeUpload -> 2 UploadInit -> 3 WaitForUpload
//                    -> 4 Uploading -> 1
//   download table   5 BeforeDownLoad -> 6 DownloadReq -> 7 DownloadInit
//                    -> 8 Downloading -> 5
//
// The attached block follows one rule: a change to 7 or 8 keeps it, a change
// to any other state replaces it with the handle passed (empty for every
// state but 6).  Dropping the last copy of a handle whose part did not
// complete makes that part free again, so leaving state 6, 7 or 8 for 5 gives
// an abandoned part back to the other downloaders.
//
// Every change but the first after Add writes "User %d state change, %d ->
// %d, %d ms." at level 5 to the table's own logger ("user.log"), with the
// milliseconds spent in the old state.
//
// Thread safety: every operation takes the table lock for its whole
// duration.  Records are copied out (Get, PickRandom); no reference to a
// record escapes the lock.  ForEach calls its function with the lock held:
// the function must not call back into the table.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "base/file_log.h"
#include "p2p/net/links.h"
#include "storage/block_handle.h"

namespace brelvane {

// Stored as a 32-bit integer; the names are those UserStateName prints.
enum class UserState : int32_t {
  kUnknowUser = 0,      // not used by any transition
  kBeforeUpload = 1,    // upload: connected, idle, ready to accept a request
  kUploadInit = 2,      // upload: a request was accepted, waiting for the start
  kWaitForUpload = 3,   // upload: an upload job is queued
  kUploading = 4,       // upload: a worker is sending the part
  kBeforeDownLoad = 5,  // download: connected, idle, may be asked for a part
  kDownloadReq = 6,     // download: a request was sent, waiting for the answer
  kDownloadInit = 7,    // download: the start was sent, waiting for data
  kDownloading = 8,     // download: data is arriving
  kBadState = 9,        // not used by any transition
};

// "UnknowUser" ... "BadState"; "" for a value outside 0..9.
const char* UserStateName(int32_t state);
inline const char* UserStateName(UserState state) {
  return UserStateName(static_cast<int32_t>(state));
}

// A part a peer is believed to hold: file id and part id.  (A report also
// carries the part's start and length; nothing reads them back.)
struct PartKey {
  uint32_t file_id = 0;
  uint32_t part_id = 0;
  friend auto operator<=>(const PartKey&, const PartKey&) = default;
};
using AdvertisedSet = std::set<PartKey>;

struct UserRecord {
  int32_t id = 0;
  PeerAddress address;
  UserState state = UserState::kUnknowUser;
  AdvertisedSet advertised;
  BlockHandle block;          // the part being fetched from this user, or empty
  uint32_t last_change = 0;   // tick (ms) of the last state change
  bool changed = false;       // false until the first change after Add
};

class UserTable {
 public:
  using TickSource = std::function<uint32_t()>;
  // Draws the starting point of PickRandom; any uniform 32-bit value.
  using RandomSource = std::function<uint32_t()>;

  // Logs to its own "user.log" in the working directory (nothing when the
  // file cannot be opened).
  UserTable();
  // Logs to `log`; null logs nothing.
  explicit UserTable(std::unique_ptr<LogObject> log);
  ~UserTable();
  UserTable(const UserTable&) = delete;
  UserTable& operator=(const UserTable&) = delete;

  // Test seams; set before the table is shared between threads.
  void set_tick_source(TickSource tick) { tick_ = std::move(tick); }
  void set_random_source(RandomSource random) { random_ = std::move(random); }

  // Inserts a record (empty advertised set, empty block, never changed).
  // An id already present is left as it is; false then.
  bool Add(int32_t id, const PeerAddress& address, UserState state);
  bool Contains(int32_t id) const;
  std::optional<UserRecord> Get(int32_t id) const;
  // Get without the advertised set (left empty): the receive path checks
  // every piece's sender, and a copy of the set costs an allocation per part.
  std::optional<UserRecord> Peek(int32_t id) const;
  // The first record (in id order) whose address and port match.
  std::optional<int32_t> FindByAddress(const PeerAddress& address) const;
  // Removing a record drops its attached block.
  bool Remove(int32_t id);
  bool RemoveByAddress(const PeerAddress& address);
  // See the class comment for the block rule.  False when `id` is absent.
  bool SetState(int32_t id, UserState state, BlockHandle block = BlockHandle());
  // A record in `state`, starting the search at a random record and scanning
  // forward once around the table; none when no record is in that state.
  std::optional<std::pair<int32_t, PeerAddress>> PickRandom(UserState state) const;
  // The first part of the advertised set, removed from it.
  std::optional<PartKey> PopAdvertised(int32_t id);
  bool DropAdvertised(int32_t id, const PartKey& part);
  bool ReplaceAdvertised(int32_t id, AdvertisedSet parts);
  // Calls `fn` on every record in id order, with the table lock held.
  void ForEach(const std::function<void(const UserRecord&)>& fn) const;
  // Removes every record (dropping every attached block).
  void Clear();
  size_t Size() const;

 private:
  std::unique_ptr<LogObject> log_;  // may be null; written under mu_
  TickSource tick_;
  RandomSource random_;

  mutable std::mutex mu_;
  std::map<int32_t, UserRecord> users_;  // guarded by mu_
};

}  // namespace brelvane
