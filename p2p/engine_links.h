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
//
// Thread safety: implementations accept calls from any thread.
#pragma once

#include <cstdint>

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
