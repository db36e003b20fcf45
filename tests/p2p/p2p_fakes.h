// SPDX-License-Identifier: MIT
// Fakes of the peer engine's tests.  Recording links: every send is kept with its destination
// (server port or peer address); a test may script the results of peer sends and wait for sends
// made on other threads.  Peer: one peer of the block exchange, file 1 of a release registered in
// a scratch directory with real storage, both user tables, a job list, a recording link and
// mocked statistics.
//
// Thread safety: the links may be called from any thread; set `script` and `servers` before the
// threads under test start.  The rest belongs to the test's thread.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "fuzz/fuzz_support.h"
#include "p2p/block_exchange.h"
#include "p2p/candidate_list.h"
#include "storage/storage_test_util.h"

namespace brelvane::p2p_fakes {

using Bytes = std::vector<uint8_t>;

// `to`: port only for a server send; `bytes`: as many as the link reported sent.
struct Sent { PeerAddress to; Bytes bytes; bool throttled; };

class RecordingLink : public IServerLink, public IPeerLink {
 public:
  int64_t SendToServer(const uint8_t* data, size_t length) override {
    return Record({0, server_port_}, data, static_cast<int64_t>(length), false);
  }
  void SetServerDestination(const std::string& ip, uint16_t port) override {
    EXPECT_EQ(ip, "127.0.0.1");
    server_port_ = port;
  }
  int64_t SendToPeer(const PeerAddress& peer, const uint8_t* data, size_t length, bool throttled,
                     const std::atomic<bool>*) override {
    return Record(peer, data, script ? script(length, throttled) : static_cast<int64_t>(length), throttled);
  }
  void ClosePeer(const PeerAddress& peer) override {
    std::lock_guard<std::mutex> lock(mu_);
    closed_.push_back(peer);
  }
  std::vector<PeerAddress> Closed() {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
  }
  // The sends to `to` (every send if absent), waiting up to 10 s for `at_least`.
  std::vector<Sent> SentTo(std::optional<PeerAddress> to = {}, size_t at_least = 0) {
    std::unique_lock<std::mutex> lock(mu_);
    std::vector<Sent> out;
    cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      out.clear();
      std::copy_if(sent_.begin(), sent_.end(), std::back_inserter(out),
                   [&](const Sent& s) { return !to || s.to == *to; });
      return out.size() >= at_least;
    });
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.clear();
    answered_ = 0;
  }
  // The non-empty answers of the scripted `servers` to the sends made since the last call (or
  // Clear).  Used by one thread at a time.
  std::vector<Bytes> TakeAnswers() {
    const auto sent = SentTo();
    std::vector<Bytes> out;
    for (; answered_ < sent.size(); ++answered_) {
      const auto server = servers.find(sent[answered_].to.port);
      if (server == servers.end() || !server->second) continue;
      out.push_back(server->second(wire::DecodeHeader(sent[answered_].bytes.data()).type));
      if (out.back().empty()) out.pop_back();
    }
    return out;
  }
  // By port: a server's answer to a message type (empty, or no function: silence).
  std::map<uint16_t, std::function<Bytes(int32_t type)>> servers;
  std::function<int64_t(size_t length, bool throttled)> script;  // peer send results; default: all sent

 private:
  int64_t Record(const PeerAddress& to, const uint8_t* data, int64_t n, bool throttled) {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.push_back({to, {data, data + std::max<int64_t>(n, 0)}, throttled});
    cv_.notify_all();
    return n;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Sent> sent_;
  std::vector<PeerAddress> closed_;
  std::atomic<uint16_t> server_port_{0};
  size_t answered_ = 0;
};

struct MockStats : IUserStats {
  MOCK_METHOD(void, RecordAddress, (int32_t, const PeerAddress&), (override));
  MOCK_METHOD(void, Touch, (int32_t), (override));
  MOCK_METHOD(void, CountAnswer, (int32_t, bool), (override));
  MOCK_METHOD(void, AddBytes, (int32_t, uint64_t, bool), (override));
};

inline wire::MsgHeader From(int32_t id) { return wire::MsgHeader{0, 0, id, 0, 0}; }
// The user ids of `list`, front first.
inline std::vector<int32_t> Ids(const CandidateList& list) {
  std::vector<int32_t> ids;
  for (const wire::PeerRecord& r : list.PeekFront(list.size(), {})) ids.push_back(r.user_id);
  return ids;
}

// p2p.log at level 5 in a scratch working directory while it lives.
struct LogCapture : testing::TempDir {
  LogCapture() {
    std::filesystem::current_path(path());
    FileLog::Open("");
    FileLog::set_threshold(5);
  }
  ~LogCapture() {
    FileLog::Close();
    FileLog::set_threshold(3);
    std::filesystem::current_path(old_dir);
  }
  int Count(const std::string& text, const std::string& file = "p2p.log") const {
    std::ifstream in(File(file));
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos;
    return count;
  }
  std::string old_dir = std::filesystem::current_path().string();
};

struct Peer : testing::TempDir {  // the directory outlives the storage
  // `parts` parts of `part_size` bytes; those in `held` complete here.
  Peer(uint32_t part_size, uint32_t parts, const std::set<uint32_t>& held)
      : content(testing::PatternBytes(size_t{part_size} * parts, 3)),
        entry(testing::MakeEntry(1, "f1", content, std::max(part_size, 1u))) {
    RangeSet32 missing;
    for (uint32_t p = 0; p < parts; ++p) if (!held.count(p)) missing.Insert(p);
    testing::WriteWholeFile(File("f1"), content);
    fs.SetPaths(FileEntry(), path(), "T");
    EXPECT_TRUE(fs.RegisterFile(File("f1"), entry, false, missing) && fs.StartRunner(16));
  }
  wire::PartDescriptor Part(uint32_t p) const {
    return {1, p, static_cast<uint32_t>(entry.parts.at(p).start), entry.parts.at(p).length};
  }
  void Feed(const PeerAddress& at, const Bytes& m) { exchange.OnPeerMessage(at, m.data(), m.size()); }
  // Every upload job queued so far has been served (one worker running).
  bool FinishUploads() {
    uploads.Add(999, PeerAddress::Loopback(999), UserState::kWaitForUpload);
    EXPECT_TRUE(jobs.Push(UploadJob{999, {77, 0, 0, 0}}));  // not held: answered at once
    return !link.SentTo(PeerAddress::Loopback(999), 1).empty();
  }

  Bytes content;
  FileEntry entry;
  FileSystem fs;
  UserTable uploads{nullptr}, downloads{nullptr};
  UploadJobList jobs;
  RecordingLink link;
  fuzz::CountingHeaders headers;
  ::testing::NiceMock<MockStats> stats;
  ConfigSettings settings;
  AutoResetEvent acquire_wake;
  BlockExchange exchange{BlockExchangeLinks{uploads, downloads, jobs, fs, link, headers, stats,
                                            settings, acquire_wake, {}}};
};

}  // namespace brelvane::p2p_fakes
