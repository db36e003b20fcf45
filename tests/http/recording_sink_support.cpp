// SPDX-License-Identifier: MIT
#include "http/recording_sink.h"

#include <chrono>

#include "http/http_client.h"

namespace brelvane::test {

void RecordingSink::OnConnect(const platform::InetAddress& address) {
  std::lock_guard<std::mutex> lock(mu_);
  connects_.push_back(address);
}

bool RecordingSink::OnReceive(uint32_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  if (count == 0) {
    ++idle_polls_;
    return cancel_at_idle_poll < 0 || idle_polls_ < cancel_at_idle_poll;
  }
  received_bytes_ += count;
  return received_bytes_ < cancel_after_bytes;
}

bool RecordingSink::OnData(const uint8_t* data, uint32_t length, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mu_);
  blocks_.push_back(Block{offset, std::string(reinterpret_cast<const char*>(data), length)});
  return refuse_block < 0 || static_cast<size_t>(refuse_block) + 1 != blocks_.size();
}

void RecordingSink::OnDone(HttpClient* client, int64_t result) {
  if (close_on_done) client->Close();
  std::lock_guard<std::mutex> lock(mu_);
  done_.push_back(result);
  done_cv_.notify_all();
}

bool RecordingSink::WaitDone(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return done_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this] { return !done_.empty(); });
}

std::vector<platform::InetAddress> RecordingSink::connects() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connects_;
}

std::vector<RecordingSink::Block> RecordingSink::blocks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return blocks_;
}

std::vector<int64_t> RecordingSink::done() const {
  std::lock_guard<std::mutex> lock(mu_);
  return done_;
}

int RecordingSink::idle_polls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return idle_polls_;
}

uint64_t RecordingSink::received_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_bytes_;
}

std::string RecordingSink::Joined() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string all;
  for (const Block& b : blocks_) all += b.data;
  return all;
}

}  // namespace brelvane::test
