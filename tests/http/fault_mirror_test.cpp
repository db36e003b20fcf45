// SPDX-License-Identifier: MIT
// HttpClient against tests/tools/fault_mirror.py, started as a child
// process: ranged GETs of a real file and each of the mirror's faults.  This
// also keeps the mirror itself known to work for the integration tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "http/http_client.h"
#include "http/recording_sink.h"
#include "http/scripted_server.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;

constexpr size_t kFileSize = 300000;

class FaultMirrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("brelvane-mirror-" + std::to_string(random()));
    fs::create_directories(dir_ / "sub");
    data_ = test::PatternBytes(kFileSize);
    std::ofstream(dir_ / "sub" / "data.bin", std::ios::binary) << data_;
    const fs::path port_file = dir_ / "port";
    const std::string command = std::string("exec python3 ") + BRELVANE_SOURCE_DIR +
                                "/tests/tools/fault_mirror.py --quiet --exit-on-stdin-eof" +
                                " --stall-after 1000 --trickle-bytes 100 --trickle-interval-ms 20" +
                                " --root '" + dir_.string() + "' --port-file '" +
                                port_file.string() + "'";
    // The mirror lives while its standard input (this pipe) stays open.
    mirror_ = popen(command.c_str(), "w");
    ASSERT_NE(mirror_, nullptr);
    auto start = std::chrono::steady_clock::now();
    while (!fs::exists(port_file) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream(port_file) >> port_;
    ASSERT_NE(port_, 0) << "fault_mirror.py did not start (is python3 installed?)";
  }

  void TearDown() override {
    if (mirror_ != nullptr) {
      EXPECT_EQ(pclose(mirror_), 0) << "mirror did not exit cleanly";
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // A GET through a fresh client, with the sink collecting the blocks.
  int64_t Fetch(const std::string& path, uint64_t first, uint64_t last, test::RecordingSink* sink,
                uint32_t idle_ms = 10000) {
    HttpClient client;
    HttpRequest request;
    request.url = Url(path);
    request.range_start = first;
    request.range_end = last;
    request.block_size = 16384;
    request.idle_timeout_ms = idle_ms;
    request.sink = sink;
    return client.Get(request, true);
  }

  fs::path dir_;
  std::string data_;
  FILE* mirror_ = nullptr;
  int port_ = 0;
};

TEST_F(FaultMirrorTest, ServesRangedGetsInBlocksAtTheirOffsets) {
  test::RecordingSink whole;
  EXPECT_EQ(Fetch("/sub/data.bin", 0, kHttpOpenEnd, &whole), static_cast<int64_t>(kFileSize));
  EXPECT_EQ(whole.Joined(), data_);

  test::RecordingSink middle;
  EXPECT_EQ(Fetch("/sub/data.bin", 100000, 199999, &middle), 100000);
  EXPECT_EQ(middle.Joined(), data_.substr(100000, 100000));
  ASSERT_FALSE(middle.blocks().empty());
  EXPECT_EQ(middle.blocks()[1].offset, 100000u + 16384u);

  // A run that reaches past the end gets what exists.
  test::RecordingSink tail;
  EXPECT_EQ(Fetch("/sub/data.bin", 290000, 400000, &tail), 10000);
  EXPECT_EQ(tail.Joined(), data_.substr(290000));
}

TEST_F(FaultMirrorTest, MissingFilesAndFaultedPathsAreRefused) {
  test::RecordingSink sink;
  EXPECT_EQ(Fetch("/404/sub/data.bin", 0, kHttpOpenEnd, &sink), kHttpRefused);
  EXPECT_EQ(Fetch("/sub/none.bin", 0, kHttpOpenEnd, &sink), kHttpRefused);
  EXPECT_EQ(Fetch("/sub/data.bin", kFileSize, kHttpOpenEnd, &sink), kHttpRefused);  // 416
  EXPECT_TRUE(sink.blocks().empty());
}

TEST_F(FaultMirrorTest, FollowsRedirectsUpToTheLimit) {
  std::string sixteen, seventeen;
  for (int i = 0; i < 16; ++i) sixteen += "/redirect";
  seventeen = sixteen + "/redirect";
  test::RecordingSink followed;
  EXPECT_EQ(Fetch(sixteen + "/sub/data.bin", 5, 104, &followed), 100);
  EXPECT_EQ(followed.Joined(), data_.substr(5, 100));
  test::RecordingSink refused;
  EXPECT_EQ(Fetch(seventeen + "/sub/data.bin", 5, 104, &refused), kHttpFailed);
}

TEST_F(FaultMirrorTest, CutConnectionFailsAfterHalfTheBody) {
  test::RecordingSink sink;
  EXPECT_EQ(Fetch("/cut/sub/data.bin", 0, 99999, &sink), kHttpFailed);
  // Complete blocks before the cut were delivered, nothing beyond half.
  EXPECT_EQ(sink.Joined(), data_.substr(0, 3 * 16384));
}

TEST_F(FaultMirrorTest, StalledTransferTimesOut) {
  test::RecordingSink sink;
  EXPECT_EQ(Fetch("/stall/sub/data.bin", 0, kHttpOpenEnd, &sink, 300), kHttpTimeout);
  EXPECT_GE(sink.received_bytes(), 1000u);
}

TEST_F(FaultMirrorTest, WrongBytesArriveWithTheRightLength) {
  test::RecordingSink sink;
  EXPECT_EQ(Fetch("/wrong/sub/data.bin", 1000, 1999, &sink), 1000);
  std::string got = sink.Joined();
  ASSERT_EQ(got.size(), 1000u);
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(static_cast<uint8_t>(got[i]), static_cast<uint8_t>(data_[1000 + i] ^ 0xFF)) << i;
  }
}

TEST_F(FaultMirrorTest, SlowTrickleCompletesWithIdlePollsBetweenPieces) {
  test::RecordingSink sink;
  EXPECT_EQ(Fetch("/trickle/sub/data.bin", 0, 999, &sink), 1000);
  EXPECT_EQ(sink.Joined(), data_.substr(0, 1000));
  EXPECT_GT(sink.idle_polls(), 0);
}

}  // namespace
}  // namespace brelvane
