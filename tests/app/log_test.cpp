// SPDX-License-Identifier: MIT
// The two logs: console records (levels, numbers, charset, status line) and
// the file log (stamped lines, threshold, instances, log objects).
#include "base/console_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "app/console_capture.h"
#include "base/file_log.h"
#include "catalogue/temp_dir.h"
#include "platform/charset.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre, ::testing::EndsWith, ::testing::HasSubstr;

using testing::ConsoleCapture;

// A record is the level name then the text on one line; floats take six
// significant digits without trailing zeros; the threshold hides higher
// levels but never answers.
TEST(ConsoleLogTest, RecordsNumbersAndThreshold) {
  ConsoleCapture capture;
  ConsoleLog& log = ConsoleLog::Get();
  log.Print(ConsoleLevel::Info, "正在退出程序"), log.Answer("P2PState", int32_t{16});
  log.Begin(ConsoleLevel::Error) << "a" << int32_t{-1} << uint32_t{4000000000u} << uint16_t{65535}
                                 << int64_t{-5000000000LL};
  for (float f : {45.5f, 100.0f, 0.0f, 12.3456789f, 1234567.0f}) log.Answer("v", f);
  log.set_threshold(3), log.Print(ConsoleLevel::Info, "info"), log.Print(ConsoleLevel::Warning, "warning");
  log.Print(ConsoleLevel::Error, "error");
  log.set_threshold(0), log.Print(ConsoleLevel::Error, "hidden"), log.Answer("x", int32_t{1});
  log.set_threshold(6), log.Print(ConsoleLevel::Debug, "debug");
  EXPECT_EQ(capture.Text(),
            "[Info]正在退出程序\n[Interactive]P2PState=16\n[Error]a-1400000000065535-5000000000\n"
            "[Interactive]v=45.5\n[Interactive]v=100\n[Interactive]v=0\n[Interactive]v=12.3457\n"
            "[Interactive]v=1.23457e+06\n[Error]error\n[Interactive]x=1\n[Debug]debug\n");
}

TEST(ConsoleLogTest, DefaultCharsetWritesGbkBytesAndConversionSurvivesBadInput) {
  ConsoleCapture capture;
  ConsoleLog& log = ConsoleLog::Get();
  log.set_charset(ConsoleCharset::Gbk), log.Print(ConsoleLevel::Info, "程序正常退出");
  log.set_charset(ConsoleCharset::Utf8);
  EXPECT_EQ(capture.Text().substr(0, 8), "[Info]\xB3\xCC");  // 程 is B3 CC in GBK
  EXPECT_EQ(platform::GbkToUtf8(capture.Text()), "[Info]程序正常退出\n");
  platform::Utf8ToGbk gbk;
  EXPECT_EQ(gbk.Convert("a😀b"), "a?b");  // no GBK form
  EXPECT_EQ(gbk.Convert(std::string("a\xff" "b")), std::string("a\xff" "b"));
  EXPECT_EQ(gbk.Convert(std::string("a\xe4")), std::string("a\xe4"));  // cut sequence
}

TEST(ConsoleLogTest, RecordErasesTheStatusLineAndDrawsItAgain) {
  std::ostringstream screen;  // one terminal for standard output and error
  ConsoleLog& log = ConsoleLog::Get();
  log.SetOutput(&screen), log.SetStatusOutput(&screen), log.set_charset(ConsoleCharset::Utf8);
  log.Print(ConsoleLevel::Info, "a");  // no status line: nothing but the record
  log.SetStatusLine("50%"), log.Print(ConsoleLevel::Info, "b");
  log.SetStatusLine("60%"), log.SetStatusLine(""), log.Print(ConsoleLevel::Info, "c");
  log.SetOutput(nullptr), log.SetStatusOutput(nullptr);
  EXPECT_EQ(screen.str(), "[Info]a\n50%\r\033[K[Info]b\n50%\r\033[K60%\r\033[K[Info]c\n");
}

class FileLogTest : public ::testing::Test {
 protected:
  void SetUp() override { old_ = fs::current_path(), fs::current_path(dir_.path()); }
  void TearDown() override { FileLog::Close(), FileLog::set_threshold(3), fs::current_path(old_); }
  std::vector<std::string> LinesOf(const std::string& name) {
    std::ifstream in(dir_.File(name));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  testing::TempDir dir_;  // the working directory while the test runs
  fs::path old_;
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
  const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[tid \d+\] (L\d .*))");
  std::vector<std::string> records;
  std::smatch m;
  for (const auto& line : LinesOf("p2p-abc.log"))
    records.push_back(std::regex_match(line, m, shape) ? m[1].str() : "bad: " + line);
  EXPECT_EQ(records, (std::vector<std::string>{"L0 Open file 1 error. name: a.bin, msg: denied",
                                               "L3 CheckMeta result: 1", "L1 two lines"}));
  fs::create_directories(dir_.File("p2p.log"));  // a directory where the file should be
  FileLog::Open("");
  Log0("lost");  // logging is off, silently
  FileLog::Close();
  EXPECT_TRUE(fs::is_directory(dir_.File("p2p.log")));
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
  EXPECT_THAT(LinesOf("p2p.log"), ElementsAre(EndsWith(" L5 Recv: UID:3.4, Start:0, Length:8192 " + big)));
  EXPECT_THAT(LinesOf("user.log"), ElementsAre(HasSubstr("User 7 state change, 1 -> 2, 30 ms.")));
}

// Four writers at once: every console record and every file line stays whole.
TEST_F(FileLogTest, ConcurrentRecordsNeverMix) {
  ConsoleCapture capture;
  FileLog::Open("");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 250; ++i)
        Log3("writer %d record %d end", t, i), ConsoleLog::Get().Begin(ConsoleLevel::Info) << t << ":" << i;
    });
  for (auto& th : threads) th.join();
  FileLog::Close();
  const std::regex file_shape(R"(.* L3 writer [0-3] record \d+ end)"), shape(R"(\[Info\][0-3]:\d+)");
  ASSERT_EQ(std::pair(LinesOf("p2p.log").size(), capture.Lines().size()), std::pair(1000ul, 1000ul));
  for (const auto& l : LinesOf("p2p.log")) ASSERT_TRUE(std::regex_match(l, file_shape)) << l;
  for (const auto& l : capture.Lines()) ASSERT_TRUE(std::regex_match(l, shape)) << l;
}

}  // namespace
}  // namespace brelvane
