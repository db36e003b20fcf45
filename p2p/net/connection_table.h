// SPDX-License-Identifier: MIT
// ConnectionTable: the TCP peer connections of the transport, by peer
// address, with the three work lists of the housekeeping thread.
//
//   map            address -> PeerConnection, at most kCapacity entries
//   pending list   addresses of new connections whose receiving has not
//                  started yet (the housekeeping thread starts it)
//   to-close list  addresses somebody asked to close (ClosePeer); the
//                  housekeeping thread closes them
//   dead list      connections already taken out of the map (and shut down)
//                  while a sender still used their socket; the socket is
//                  closed and the object freed once the last sender is done,
//                  so a send never writes to a descriptor number that has
//                  meanwhile been reused for another connection
//
// Who does what.  The accept thread and the batch connector Register();
// senders Lease() a connection for the length of one send; only the
// housekeeping thread (and Close() of the transport once every thread has
// ended) takes connections out of the map, so a PeerConnection pointer that
// the housekeeping thread got from Find() stays valid until it removes it.
//
// Thread safety: every operation may be called from any thread.  Lock order:
// map lock, then pending-list lock, then to-close-list lock, then dead-list
// lock; no lock is held while calling out of the table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "p2p/net/links.h"
#include "p2p/net/receive_buffer.h"
#include "platform/socket.h"

namespace brelvane {

struct PeerConnection {
  PeerConnection(platform::Socket s, const PeerAddress& a, uint64_t i, uint32_t now)
      : socket(std::move(s)), address(a), id(i), last_activity(now) {}

  platform::Socket socket;  // shut down when closed, closed when freed
  const PeerAddress address;
  const uint64_t id;                    // unique for the table's life: the poller's key
  std::atomic<uint32_t> last_activity;  // calendar seconds of the last receive or send
  int senders = 0;                      // guarded by the map lock: sends using `socket`
  // Housekeeping thread only:
  bool watched = false;  // registered with the poller (the receive is "posted")
  ReceiveBuffer receive;
};

class ConnectionTable {
 public:
  static constexpr size_t kCapacity = 512;

  // A sender's hold on a connection: the socket stays open (though perhaps
  // shut down) while the lease lives.  Empty when the address had no entry.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept : table_(other.table_), connection_(other.connection_) {
      other.connection_ = nullptr;
    }
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    explicit operator bool() const { return connection_ != nullptr; }
    PeerConnection* operator->() const { return connection_; }

   private:
    friend class ConnectionTable;
    Lease(ConnectionTable* table, PeerConnection* c) : table_(table), connection_(c) {}
    ConnectionTable* table_ = nullptr;
    PeerConnection* connection_ = nullptr;
  };

  // Adds a connection (last activity `now`) and puts it on the pending list.
  // False, leaving `*socket` untouched, when the table is full or already
  // holds `address`.
  [[nodiscard]] bool Register(platform::Socket* socket, const PeerAddress& address, uint32_t now);

  [[nodiscard]] Lease Acquire(const PeerAddress& address);

  // Housekeeping thread: the connection of `address`, or null.
  PeerConnection* Find(const PeerAddress& address);

  // Takes the connection of `address` out of the map and shuts its socket
  // down.  A connection no sender uses is freed at once; otherwise it moves
  // to the dead list.  False when `address` had no entry.
  bool Remove(const PeerAddress& address);

  // Frees the dead connections no sender uses any more.
  void FreeDead();

  void QueueClose(const PeerAddress& address);
  // Queues every address of the map.
  void QueueCloseAll();
  std::vector<PeerAddress> TakeToClose();
  std::vector<PeerAddress> TakePending();

  // Addresses whose last activity is more than `limit_seconds` before `now`.
  std::vector<PeerAddress> IdleLongerThan(uint32_t now, uint32_t limit_seconds);

  // Connections in the map plus dead connections not yet freed.
  size_t Count() const;

  // Shuts down, closes and frees everything; empties every list.  Only when
  // no sender can hold a lease any more (after the transport's threads end).
  void Clear();

 private:
  void Release(PeerConnection* c);

  mutable std::mutex map_mu_;
  std::map<PeerAddress, std::unique_ptr<PeerConnection>> map_;  // guarded by map_mu_
  uint64_t next_id_ = 1;                                        // guarded by map_mu_
  std::mutex pending_mu_;
  std::vector<PeerAddress> pending_;  // guarded by pending_mu_
  std::mutex to_close_mu_;
  std::vector<PeerAddress> to_close_;  // guarded by to_close_mu_
  mutable std::mutex dead_mu_;
  std::vector<std::unique_ptr<PeerConnection>> dead_;  // guarded by dead_mu_
};

}  // namespace brelvane
