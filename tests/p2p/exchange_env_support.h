// SPDX-License-Identifier: MIT
// One peer of the block exchange under test: file 1 of a release registered
// in a scratch directory with real storage, both user tables, a job list, a
// recording link and mocked statistics.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "catalogue/md5.h"
#include "p2p/block_exchange.h"
#include "p2p_fakes.h"
#include "platform/thread.h"

namespace brelvane::exchange_test {

using Bytes = std::vector<uint8_t>;

struct MockStats : IUserStats {
  MOCK_METHOD(void, RecordAddress, (int32_t, const PeerAddress&), (override));
  MOCK_METHOD(void, Touch, (int32_t), (override));
  MOCK_METHOD(void, CountAnswer, (int32_t, bool), (override));
  MOCK_METHOD(void, AddBytes, (int32_t, uint64_t, bool), (override));
};

struct FakeHeaders : IHeaderSource {
  wire::MsgHeader NextHeader() override { return wire::MsgHeader{0, index++, 1, 0, 0}; }
  std::atomic<uint32_t> index{0};
};
inline wire::MsgHeader From(int32_t id) { return wire::MsgHeader{0, 0, id, 0, 0}; }

// A fresh directory, removed with its content.
struct TempDir {
  ~TempDir() { std::filesystem::remove_all(dir); }
  static inline std::atomic<int> counter{0};
  std::string dir = std::filesystem::temp_directory_path().string() + "/brelvane-exchange-" +
      std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(counter++) + "/";
  bool made = std::filesystem::create_directories(dir);
};

// p2p.log at level 5 in a scratch working directory while it lives.
struct LogCapture : TempDir {
  LogCapture() {
    std::filesystem::current_path(dir);
    FileLog::Open("");
    FileLog::set_threshold(5);
  }
  ~LogCapture() {
    FileLog::Close();
    FileLog::set_threshold(3);
    std::filesystem::current_path(old_dir);
  }
  int Count(const std::string& text, const std::string& file = "p2p.log") const {
    std::ifstream in(dir + file);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos;
    return count;
  }
  std::string old_dir = std::filesystem::current_path().string();
};

struct Peer : TempDir {  // the directory outlives the storage
  // `parts` parts of `part_size` bytes; those in `held` complete here.
  Peer(uint32_t part_size, uint32_t parts, const std::set<uint32_t>& held) {
    content.resize(size_t{part_size} * parts);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + i / 251);
    entry = FileEntry{1, "f1", content.size(), Md5Digest(), {}};
    RangeSet32 missing;
    for (uint32_t p = 0; p < parts; ++p) {
      const uint64_t start = uint64_t{p} * part_size;
      entry.parts.push_back({p, part_size, start, Md5Buffer(content.data() + start, part_size)});
      if (!held.count(p)) missing.Insert(p);
    }
    std::ofstream(dir + "f1").write(reinterpret_cast<const char*>(content.data()),
                                    static_cast<std::streamsize>(content.size()));
    fs.SetPaths(FileEntry(), dir, "T");
    EXPECT_TRUE(fs.RegisterFile(dir + "f1", entry, false, missing) && fs.StartRunner(16));
  }
  wire::PartDescriptor Part(uint32_t p) const {
    return {1, p, static_cast<uint32_t>(entry.parts.at(p).start), entry.parts.at(p).length};
  }
  void Feed(const PeerAddress& at, const Bytes& m) {
    exchange.OnPeerMessage(at, m.data(), m.size());
  }
  // Every upload job queued so far has been served (one worker running).
  bool FinishUploads() {
    uploads.Add(999, PeerAddress::Loopback(999), UserState::kWaitForUpload);
    EXPECT_TRUE(jobs.Push(UploadJob{999, {77, 0, 0, 0}}));  // not held: answered at once
    return !link.SentTo(PeerAddress::Loopback(999), 1).empty();
  }

  std::vector<uint8_t> content;
  FileEntry entry;
  FileSystem fs;
  UserTable uploads{nullptr}, downloads{nullptr};
  UploadJobList jobs;
  p2p_fakes::RecordingPeers link;
  FakeHeaders headers;
  ::testing::NiceMock<MockStats> stats;
  ConfigSettings settings;
  AutoResetEvent acquire_wake;
  std::atomic<uint64_t> committed{0};
  BlockExchange exchange{BlockExchangeLinks{uploads, downloads, jobs, fs, link, headers, stats,
                                            settings, acquire_wake,
                                            [this](uint32_t n) { committed += n; }}};
};

}  // namespace brelvane::exchange_test
