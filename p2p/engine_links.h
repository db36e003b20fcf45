// SPDX-License-Identifier: MIT
// What the pieces of the engine need from each other, as small interfaces,
// so that each piece is built and tested on its own:
//
//   IHeaderSource  the login state: every message built carries the next
//                  message index, the own user id and the server token
//                  (ServerSession implements it).
//   IUserStats     the per-user download statistics that the block-exchange
//                  handlers feed and the scheduler's cleanup sweep reads
//                  (UserStatsTable implements it).
//   IPeerConnector batches of outgoing peer connections (the transport).
//
// Thread safety: implementations accept calls from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "p2p/net/links.h"
#include "p2p/wire/wire_format.h"

namespace brelvane {

class IHeaderSource {
 public:
  virtual ~IHeaderSource() = default;
  // A header with the next message index (the counter advances by one), the
  // own user id and token; type and length are left for the builder.
  virtual wire::MsgHeader NextHeader() = 0;
};

class IUserStats {
 public:
  virtual ~IUserStats() = default;
  // The user connected as a download peer: its entry is created (first seen
  // now) or its address refreshed.
  virtual void RecordAddress(int32_t user_id, const PeerAddress& address) = 0;
  // Any answer or data piece from the user: its activity time is refreshed.
  virtual void Touch(int32_t user_id) = 0;
  // A PPMessageRespond: status 0 (`success`) or status 2.
  virtual void CountAnswer(int32_t user_id, bool success) = 0;
  // Data received from the user; `completed_part` when it finished a part.
  virtual void AddBytes(int32_t user_id, uint64_t bytes, bool completed_part) = 0;
};

}  // namespace brelvane

namespace brelvane {

// Outgoing connections made in parallel batches.
class IPeerConnector {
 public:
  struct Outcome {
    // (index into the input list, the connection's peer address)
    std::vector<std::pair<size_t, PeerAddress>> established;
    std::vector<size_t> failed;  // indices into the input list
  };
  virtual ~IPeerConnector() = default;
  // Connects to every address at once and registers the connections made
  // with the transport; returns the number established.  Waits at least
  // `soft_ms` unless all answered, at most `hard_ms`, less when `*stop`
  // turns true.
  virtual size_t ConnectBatch(const std::vector<PeerAddress>& addresses,
                              const std::atomic<bool>* stop, int soft_ms, int hard_ms,
                              Outcome* outcome) = 0;
};

}  // namespace brelvane
