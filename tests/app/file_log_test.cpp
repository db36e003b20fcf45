// SPDX-License-Identifier: MIT
#include "base/file_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace brelvane {
namespace {

namespace fs = std::filesystem;

class FileLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("file_log_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    FileLog::Close();
    FileLog::set_threshold(3);
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  std::vector<std::string> LinesOf(const std::string& name) {
    std::ifstream in(dir_ / name);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  fs::path old_, dir_;
};

TEST_F(FileLogTest, WritesOneStampedLinePerRecordUpToTheThresholdToTheInstancesFile) {
  EXPECT_EQ(FileLog::FileNameFor(""), "p2p.log");
  EXPECT_LE(FileLog::FileNameFor(std::string(400, 'x')).size(), 255u);
  FileLog::Open("abc");
  Log0("Open file 1 error. name: %s, msg: %s", "a.bin", "denied");
  Log3("CheckMeta result: %d", 1);
  Log4("Http Refuse");  // above the default threshold
  Log1("two\nlines");
  FileLog::Close();
  Log1("after close");  // no object: nothing happens
  const auto lines = LinesOf("p2p-abc.log");
  ASSERT_EQ(lines.size(), 3u);
  const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[tid \d+\] L(\d) (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, shape)) << lines[0];
  EXPECT_EQ(m[1], "0");
  EXPECT_EQ(m[2], "Open file 1 error. name: a.bin, msg: denied");
  ASSERT_TRUE(std::regex_match(lines[1], m, shape));
  EXPECT_EQ(m[2], "CheckMeta result: 1");
  ASSERT_TRUE(std::regex_match(lines[2], m, shape));
  EXPECT_EQ(m[2], "two lines");
  fs::create_directories(dir_ / "p2p.log");  // a directory where the file should be
  FileLog::Open("");
  Log0("lost");  // logging is off, silently
  FileLog::Close();
  EXPECT_TRUE(fs::is_directory(dir_ / "p2p.log"));
}

TEST_F(FileLogTest, RaisedThresholdLongRecordsAndASecondLogObject) {
  FileLog::set_threshold(5);
  FileLog::Open("");
  const std::string big(10000, 'z');
  Log5("Recv: UID:%d.%d, Start:%d, Length:%d %s", 3, 4, 0, 8192, big.c_str());
  auto user_log = CreateLogObject("user.log", 0);
  ASSERT_NE(user_log, nullptr);
  user_log->Write(5, "User %d state change, %d -> %d, %d ms.", 7, 1, 2, 30);
  user_log.reset();
  FileLog::Close();
  const auto lines = LinesOf("p2p.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("L5 Recv: UID:3.4, Start:0, Length:8192 " + big), std::string::npos);
  ASSERT_EQ(LinesOf("user.log").size(), 1u);
  EXPECT_NE(LinesOf("user.log")[0].find("User 7 state change, 1 -> 2, 30 ms."), std::string::npos);
}

TEST_F(FileLogTest, ConcurrentWritersProduceWholeLines) {
  FileLog::Open("");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 250; ++i) Log3("writer %d record %d end", t, i);
    });
  for (auto& th : threads) th.join();
  FileLog::Close();
  const auto lines = LinesOf("p2p.log");
  ASSERT_EQ(lines.size(), 1000u);
  const std::regex shape(R"(.* L3 writer [0-3] record \d+ end)");
  for (const auto& l : lines) ASSERT_TRUE(std::regex_match(l, shape)) << l;
}

}  // namespace
}  // namespace brelvane
