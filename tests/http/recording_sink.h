// SPDX-License-Identifier: MIT
// RecordingSink: an HttpSink for tests that records every call and can be
// told to refuse data or cancel at a given point.
//
// Thread safety: calls may come from a client's request thread while the
// test thread waits in WaitDone(); everything is guarded by one mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_types.h"

namespace brelvane::test {

class RecordingSink : public HttpSink {
 public:
  struct Block {
    uint64_t offset;
    std::string data;
  };

  void OnConnect(const platform::InetAddress& address) override;
  bool OnReceive(uint32_t count) override;
  bool OnData(const uint8_t* data, uint32_t length, uint64_t offset) override;
  void OnDone(HttpClient* client, int64_t result) override;

  // Waits until OnDone has been called (at most `timeout_ms`).
  bool WaitDone(int timeout_ms);

  std::vector<platform::InetAddress> connects() const;
  std::vector<Block> blocks() const;
  std::vector<int64_t> done() const;
  int idle_polls() const;
  uint64_t received_bytes() const;
  // All block data joined.
  std::string Joined() const;

  // OnData answers false for the block with this index (0-based).
  int refuse_block = -1;
  // OnReceive(0) answers false from this idle poll on (1-based).
  int cancel_at_idle_poll = -1;
  // OnReceive(n > 0) answers false once this many bytes have been counted.
  uint64_t cancel_after_bytes = ~uint64_t{0};
  // OnDone closes the client (as the download manager's sink does).
  bool close_on_done = false;

 private:
  mutable std::mutex mu_;
  std::condition_variable done_cv_;
  std::vector<platform::InetAddress> connects_;
  std::vector<Block> blocks_;
  std::vector<int64_t> done_;
  int idle_polls_ = 0;
  uint64_t received_bytes_ = 0;
};

}  // namespace brelvane::test
