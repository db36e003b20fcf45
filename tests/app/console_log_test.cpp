// SPDX-License-Identifier: MIT
#include "base/console_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "app/fakes.h"
#include "platform/charset.h"

namespace brelvane {
namespace {

using testing::ConsoleCapture;

// A record is the level name then the text on one line; floats take six
// significant digits without trailing zeros; the threshold hides higher
// levels but never answers.
TEST(ConsoleLogTest, RecordsNumbersAndThreshold) {
  ConsoleCapture capture;
  ConsoleLog& log = ConsoleLog::Get();
  log.Print(ConsoleLevel::Info, "正在退出程序");
  log.Answer("P2PState", int32_t{16});
  log.Begin(ConsoleLevel::Error) << "a" << int32_t{-1} << uint32_t{4000000000u} << uint16_t{65535}
                                 << int64_t{-5000000000LL};
  for (float f : {45.5f, 100.0f, 0.0f, 12.3456789f, 1234567.0f}) log.Answer("v", f);
  log.set_threshold(3);
  log.Print(ConsoleLevel::Info, "info");
  log.Print(ConsoleLevel::Warning, "warning");
  log.Print(ConsoleLevel::Error, "error");
  log.set_threshold(0);
  log.Print(ConsoleLevel::Error, "hidden");
  log.Answer("x", int32_t{1});
  log.set_threshold(6);
  log.Print(ConsoleLevel::Debug, "debug");
  EXPECT_EQ(capture.Text(),
            "[Info]正在退出程序\n[Interactive]P2PState=16\n[Error]a-1400000000065535-5000000000\n"
            "[Interactive]v=45.5\n[Interactive]v=100\n[Interactive]v=0\n[Interactive]v=12.3457\n"
            "[Interactive]v=1.23457e+06\n[Error]error\n[Interactive]x=1\n[Debug]debug\n");
}

TEST(ConsoleLogTest, DefaultCharsetWritesGbkBytesAndConversionSurvivesBadInput) {
  ConsoleCapture capture;
  ConsoleLog::Get().set_charset(ConsoleCharset::Gbk);
  ConsoleLog::Get().Print(ConsoleLevel::Info, "程序正常退出");
  ConsoleLog::Get().set_charset(ConsoleCharset::Utf8);
  EXPECT_EQ(capture.Text().substr(0, 8), "[Info]\xB3\xCC");  // 程 is B3 CC in GBK
  EXPECT_EQ(platform::GbkToUtf8(capture.Text()), "[Info]程序正常退出\n");
  platform::Utf8ToGbk gbk;
  EXPECT_EQ(gbk.Convert("plain ascii"), "plain ascii");
  EXPECT_EQ(gbk.Convert("a😀b"), "a?b");  // no GBK form
  EXPECT_EQ(gbk.Convert(std::string("a\xff" "b")), std::string("a\xff" "b"));
  EXPECT_EQ(gbk.Convert(std::string("a\xe4")), std::string("a\xe4"));  // cut sequence
}

TEST(ConsoleLogTest, RecordErasesTheStatusLineAndDrawsItAgain) {
  std::ostringstream screen;  // one terminal for standard output and error
  ConsoleLog& log = ConsoleLog::Get();
  log.SetOutput(&screen);
  log.SetStatusOutput(&screen);
  log.set_charset(ConsoleCharset::Utf8);
  log.Print(ConsoleLevel::Info, "a");  // no status line: nothing but the record
  log.SetStatusLine("50%");
  log.Print(ConsoleLevel::Info, "b");
  log.SetStatusLine("60%");
  log.SetStatusLine("");
  log.Print(ConsoleLevel::Info, "c");
  log.SetOutput(nullptr);
  log.SetStatusOutput(nullptr);
  EXPECT_EQ(screen.str(), "[Info]a\n50%\r\033[K[Info]b\n50%\r\033[K60%\r\033[K[Info]c\n");
}

TEST(ConsoleLogTest, ConcurrentRecordsNeverMix) {
  ConsoleCapture capture;
  constexpr int kThreads = 4;
  constexpr int kRecords = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i)
        ConsoleLog::Get().Begin(ConsoleLevel::Info) << "t" << int32_t{t} << ":" << int32_t{i}
                                                    << ":end";
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
  const std::regex shape(R"(\[Info\]t[0-3]:\d+:end)");
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, shape)) << line;
}

}  // namespace
}  // namespace brelvane
