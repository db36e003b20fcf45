// SPDX-License-Identifier: MIT
// RecordingSink: an HttpSink for tests that records every call and can be
// told to refuse data or cancel at a given point.
//
// Thread safety: calls may come from a client's request thread while the
// test thread waits in WaitDone(); everything is guarded by one mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_types.h"

namespace brelvane::test {

class RecordingSink : public HttpSink {
 public:
  using Block = std::pair<uint64_t, std::string>;  // offset, data

  void OnConnect(const platform::InetAddress& address) override {
    std::lock_guard<std::mutex> lock(mu_);
    connects_.push_back(address);
  }
  bool OnReceive(uint32_t count) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (count == 0) return ++idle_polls_ < cancel_at_idle_poll || cancel_at_idle_poll < 0;
    return (received_bytes_ += count) < cancel_after_bytes;
  }
  bool OnData(const uint8_t* data, uint32_t length, uint64_t offset) override {
    std::lock_guard<std::mutex> lock(mu_);
    blocks_.emplace_back(offset, std::string(reinterpret_cast<const char*>(data), length));
    return static_cast<size_t>(refuse_block) + 1 != blocks_.size();
  }
  void OnDone(HttpClient*, int64_t result) override {
    std::lock_guard<std::mutex> lock(mu_);
    done_.push_back(result);
    done_cv_.notify_all();
  }

  // Waits until OnDone has been called (at most `timeout_ms`).
  bool WaitDone(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return done_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !done_.empty(); });
  }

  std::vector<platform::InetAddress> connects() const { return Locked(connects_); }
  std::vector<Block> blocks() const { return Locked(blocks_); }
  std::vector<int64_t> done() const { return Locked(done_); }
  int idle_polls() const { return Locked(idle_polls_); }
  uint64_t received_bytes() const { return Locked(received_bytes_); }
  // All block data joined.
  std::string Joined() const {
    std::string all;
    for (const Block& b : blocks()) all += b.second;
    return all;
  }

  // OnData answers false for the block with this index (0-based).
  int refuse_block = -1;
  // OnReceive(0) answers false from this idle poll on (1-based).
  int cancel_at_idle_poll = -1;
  // OnReceive(n > 0) answers false once this many bytes have been counted.
  uint64_t cancel_after_bytes = ~uint64_t{0};

 private:
  template <typename T>
  T Locked(const T& field) const {
    std::lock_guard<std::mutex> lock(mu_);
    return field;
  }

  mutable std::mutex mu_;
  std::condition_variable done_cv_;
  std::vector<platform::InetAddress> connects_;
  std::vector<Block> blocks_;
  std::vector<int64_t> done_;
  int idle_polls_ = 0;
  uint64_t received_bytes_ = 0;
};

}  // namespace brelvane::test
