// SPDX-License-Identifier: MIT
// Recording fakes of the two links the peer engine sends through: every send
// is kept with its destination (server port or peer address); a test may
// script the results of peer sends and wait for sends made on other threads.
//
// Thread safety: every member may be called from any thread; set `script`
// before the threads under test start.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "p2p/net/links.h"
#include "p2p/wire/wire_format.h"

namespace brelvane::p2p_fakes {

template <typename To>
struct Sent {
  To to;
  std::vector<uint8_t> bytes;  // as many as the link reported sent
  bool throttled;
};

template <typename To>
class Recorder {
 public:
  // The sends to `to` (every send if absent), waiting up to 10 s for `at_least`.
  std::vector<Sent<To>> SentTo(std::optional<To> to = {}, size_t at_least = 0) {
    std::unique_lock<std::mutex> lock(mu_);
    std::vector<Sent<To>> out;
    cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      out.clear();
      std::copy_if(sent_.begin(), sent_.end(), std::back_inserter(out),
                   [&](const Sent<To>& s) { return !to || s.to == *to; });
      return out.size() >= at_least;
    });
    return out;
  }
  size_t Count(int32_t type) {
    const auto all = SentTo();
    return std::count_if(all.begin(), all.end(), [&](const auto& s) {
      return wire::DecodeHeader(s.bytes.data()).type == type;
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.clear();
  }

 protected:
  void Record(const To& to, const uint8_t* data, int64_t n, bool throttled) {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.push_back({to, {data, data + std::max<int64_t>(n, 0)}, throttled});
    cv_.notify_all();
  }
  std::mutex mu_;

 private:
  std::condition_variable cv_;
  std::vector<Sent<To>> sent_;
};

class RecordingServer : public IServerLink, public Recorder<uint16_t> {
 public:
  int64_t SendToServer(const uint8_t* data, size_t length) override {
    Record(port_, data, static_cast<int64_t>(length), false);
    return static_cast<int64_t>(length);
  }
  void SetServerDestination(const std::string& ip, uint16_t port) override {
    EXPECT_EQ(ip, "127.0.0.1");
    port_ = port;
  }
  // The non-empty answers of the scripted `servers` to the sends made since
  // the last call (or the last Restart).
  std::vector<std::vector<uint8_t>> TakeAnswers() {
    const auto sent = SentTo();
    std::vector<std::vector<uint8_t>> out;
    for (; answered_ < sent.size(); ++answered_) {
      const auto server = servers.find(sent[answered_].to);
      if (server == servers.end() || !server->second) continue;
      out.push_back(server->second(wire::DecodeHeader(sent[answered_].bytes.data()).type));
      if (out.back().empty()) out.pop_back();
    }
    return out;
  }
  void Restart() {
    Clear();
    answered_ = 0;
  }
  // By port: a server's answer to a message type (empty, or no function: silence).
  std::map<uint16_t, std::function<std::vector<uint8_t>(int32_t type)>> servers;

 private:
  std::atomic<uint16_t> port_{0};
  size_t answered_ = 0;  // used by one thread at a time (the login thread)
};

class RecordingPeers : public IPeerLink, public Recorder<PeerAddress> {
 public:
  int64_t SendToPeer(const PeerAddress& peer, const uint8_t* data, size_t length, bool throttled,
                     const std::atomic<bool>*) override {
    const int64_t result = script ? script(length, throttled) : static_cast<int64_t>(length);
    Record(peer, data, result, throttled);
    return result;
  }
  void ClosePeer(const PeerAddress& peer) override {
    std::lock_guard<std::mutex> lock(mu_);
    closed_.push_back(peer);
  }
  std::vector<PeerAddress> Closed() {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
  }
  std::function<int64_t(size_t length, bool throttled)> script;  // results; default: all sent

 private:
  std::vector<PeerAddress> closed_;
};

}  // namespace brelvane::p2p_fakes
