// SPDX-License-Identifier: MIT
// BlockExchange: the peer side of the block-exchange protocol.  The transport
// hands it every message (or data piece) that arrives on a peer connection and
// every close; it answers on the same connection, moves the sender through its
// UserState (user_table.h), queues uploads for the UploadPool, commits
// received data to storage and keeps the per-user statistics.
//
// One part fetched from a peer, downloader D and uploader U:
//   D: the acquire thread attaches a part, state 6, sends PPMessageRequest;
//   U: PPMessageRespond (0 accepted / 1 refused / 2 not held), state 2;
//   D: on 0, state 7 and PPMessageStart; on 1 or 2, state 5 (on 2 it also
//      drops the part from U's advertised set and asks U what it holds with
//      PPMessageAskFileReport, answered by PPMessageReqFileReport);
//   U: state 3, an UploadJob; a worker streams PPMessageData;
//   D: each piece goes to FileSystem::CommitWrite; state 8 until the piece
//      that completes the message, then "Receive done", state 5, acquire wake.
//
// Untrusted peers.  A message counts as coming from a user only when its
// header's user id names a record whose address is the connection it came
// on.  A data piece is written only when its file id, part id and length are
// those of the part attached to its sender and its bytes lie inside that
// part; a piece from a sender in state 7 or 8 that fails this is dropped, the
// sender is removed from the download table (giving its part back) and its
// connection is closed.  Requests are accepted only for parts the local file
// list has and that are complete here.  Reports are cut to 32 entries and
// keep only parts this side can use.
//
// Pieces to storage.  A data message arrives in pieces of at most the 8 KiB
// receive buffer; contiguous pieces of one part are gathered per connection
// and handed to storage in chunks of up to kCommitChunk bytes (and always when
// the part is complete or the connection goes), so the storage queue sees a
// part as one or a few tasks rather than one per 8 KiB.  The storage engine
// assembles the whole part in memory before it checks it anyway; the chunk
// adds at most kCommitChunk bytes per receiving connection.
//
// Hashing.  A block that is one whole part is hashed on the receiving thread
// while its bytes are still in cache, so that the storage worker only writes
// it.  Whole parts of equal length are hashed eight at a time (the MD5 lanes):
// they wait in a small batch until eight have arrived or the receive side has
// nothing more to read (CommitPending), still claimed by their senders, so
// no other peer is asked for them meanwhile.
//
// Thread safety: OnPeerMessage and OnPeerClosed run on the transport's
// housekeeping thread, one at a time.  They meet the acquire thread and the
// upload workers only through the user tables, the job list and storage.
// CommitPending and HoldsPending may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/auto_reset_event.h"
#include "base/config.h"
#include "p2p/engine_links.h"
#include "p2p/net/links.h"
#include "p2p/upload_pool.h"
#include "p2p/user_table.h"
#include "p2p/wire/wire_format.h"
#include "storage/file_system.h"

namespace brelvane {

// What the exchange works with.  Every reference must outlive it.
struct BlockExchangeLinks {
  UserTable& upload_table;
  UserTable& download_table;
  UploadJobList& jobs;
  FileSystem& file_system;
  IPeerLink& link;
  IHeaderSource& headers;
  IUserStats& stats;
  const ConfigSettings& settings;  // MaxUploadNum, MaxDownloadNum, MaxWaitTask
  AutoResetEvent& acquire_wake;
  // Told, on the storage worker, the bytes a committed peer write added to
  // the verified data (the engine's P2P total).  May be empty.
  std::function<void(uint32_t bytes)> on_committed;
};

class BlockExchange {
 public:
  static constexpr uint32_t kCommitChunk = 0x10000;  // 64 KiB

  explicit BlockExchange(BlockExchangeLinks links);
  BlockExchange(const BlockExchange&) = delete;
  BlockExchange& operator=(const BlockExchange&) = delete;

  // One whole message, or one piece of a data message, from `peer`.  Types
  // other than 109, 600 to 605 and 700, and messages of the wrong size, are
  // ignored.
  void OnPeerMessage(const PeerAddress& peer, const uint8_t* message, size_t n);
  // Removes the user with that address from the upload table, or else from
  // the download table.  The reason is not used.
  void OnPeerClosed(const PeerAddress& peer, CloseReason reason);
  // Hashes and hands to storage the whole parts waiting for a full batch.
  void CommitPending();
  // Whole parts wait for a full batch (a cheap look, without the lock).
  bool HoldsPending() const { return holding_.load(std::memory_order_relaxed); }

 private:
  void OnHello(const PeerAddress& peer, int32_t user_id, uint32_t role);
  void OnRequest(const PeerAddress& peer, int32_t user_id, const wire::PartDescriptor& part);
  void OnRespond(const PeerAddress& peer, int32_t user_id, uint32_t status,
                 const wire::PartDescriptor& part);
  void OnStart(const PeerAddress& peer, int32_t user_id, const wire::PartDescriptor& part);
  void OnData(const PeerAddress& peer, const uint8_t* message, size_t n);
  void OnAskFileReport(const PeerAddress& peer, const wire::Report& asked);
  void OnReqFileReport(const PeerAddress& peer, int32_t user_id, const wire::Report& report);
  void OnResetState(const PeerAddress& peer);

  // The record of `user_id` in `table` when its address is `peer`.
  static std::optional<UserRecord> Sender(const UserTable& table, int32_t user_id,
                                          const PeerAddress& peer);
  // The local file list has the part and it is complete here.
  bool HoldsPart(uint32_t file_id, uint32_t part_id) const;
  // The local file list has the part and nobody holds or fetches it.
  bool NeedsPart(uint32_t file_id, uint32_t part_id) const;
  // The part as the local file list describes it (it must exist).
  wire::PartDescriptor LocalPart(uint32_t file_id, uint32_t part_id) const;
  // Sends PPMessageAskFileReport with up to 32 parts still needed, if any.
  void AskForReport(const PeerAddress& peer);
  // Hashes the block when it is a whole part, then hands it to storage.
  // `keep` (the sender's claim on the part when the block ends it) lives
  // until storage has written the block: the part is not offered to another
  // downloader while its last bytes wait in storage's queue.
  void CommitBlock(uint32_t file_id, OwnedBlock block, BlockHandle keep = {});
  void Send(const PeerAddress& peer, const std::vector<uint8_t>& message);
  // The sender's part arrived whole: state 5, acquire wake, statistics.
  void FinishPart(const UserRecord& user, uint32_t bytes);

  // Contiguous data of one part received on one connection and not yet
  // handed to storage, in the buffer that storage will take over.
  struct Gathered {
    uint32_t file_id = 0;
    uint32_t part_id = 0;
    uint64_t offset = 0;  // where the buffer's first byte goes in the file
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t capacity = 0;
    uint32_t size = 0;
  };
  // Adds a piece of which `part_left` bytes (the piece's own included) are
  // still to come for its part; hands what was gathered to storage when the
  // piece does not continue it, when the buffer is full (kCommitChunk bytes or
  // the rest of the part), or with `last` (the piece ends the part; the
  // sender's claim on it, kept as CommitBlock says).
  void Gather(const PeerAddress& peer, uint32_t file_id, uint32_t part_id, const uint8_t* data,
              uint32_t length, uint32_t part_left, uint64_t offset, const BlockHandle* last);
  // Hands the connection's gathered bytes to storage.
  void FlushGathered(const PeerAddress& peer, const BlockHandle* keep = nullptr);

  // A whole part received and not yet hashed, with its sender's claim.
  struct Pending {
    uint32_t file_id;
    OwnedBlock block;
    BlockHandle keep;
  };
  // Hashes (when `check`) and hands one block to storage.
  void Store(uint32_t file_id, OwnedBlock block, BlockHandle keep, bool check);
  // Hashes a batch of at most kMd5Lanes whole parts together and hands each to storage.
  void StoreBatch(std::vector<Pending>& batch);

  BlockExchangeLinks links_;
  std::map<PeerAddress, Gathered> gathered_;  // housekeeping thread only
  std::mutex pending_mu_;
  std::vector<Pending> pending_;  // under pending_mu_
  std::atomic<bool> holding_{false};  // pending_ is not empty
};

}  // namespace brelvane
