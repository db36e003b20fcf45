// SPDX-License-Identifier: MIT
#include "base/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "base/console_log.h"

namespace brelvane {
namespace {

ArgumentTable Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv = {"brelvane.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  ArgumentTable table;
  table.Parse(static_cast<int>(argv.size()), argv.data());
  return table;
}

std::unique_ptr<ConfigSettings> Read(std::initializer_list<const char*> args) {
  auto s = std::make_unique<ConfigSettings>();
  ReadConfiguration(Parse(args), *s);
  return s;
}

TEST(ArgumentTableTest, GroupsValuesUnderTheLowerCasedKeyBeforeThem) {
  ArgumentTable t = Parse({"stray", "-Dir", "C:\\Game", "", "-", "-HttpUrl", "a", "b", "-Flag"});
  const auto texts = [&t](const char* key) {
    std::vector<std::string> v{"stale"};
    return t.GetTexts(key, v) ? v : std::vector<std::string>{"<absent>"};
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(texts("pgmname"), (V{"brelvane.exe", "stray"}));
  EXPECT_EQ(texts("DIR"), V{"C:\\Game"});
  EXPECT_EQ(texts("httpurl"), (V{"a", "b"}));
  EXPECT_TRUE(t.Has("flag") && texts("Flag").empty());
  EXPECT_FALSE(t.Has("absent"));
  EXPECT_EQ(texts("absent"), V{"<absent>"});
}

TEST(ParseInt32Test, FollowsStreamExtraction) {
  const std::pair<const char*, std::optional<int32_t>> cases[] = {
      {"  +42", 42}, {"-2147483648", INT32_MIN}, {"12abc", 12}, {"2147483648", {}},
      {"99999999999999999999", {}}, {"abc", {}}, {"-", {}}, {"", {}}};
  for (const auto& [text, want] : cases) {
    int32_t v = 0;
    EXPECT_EQ(ParseInt32(text, v) ? std::optional(v) : std::nullopt, want) << text;
  }
}

// The defaults: the answers of CommandLoopTest.StatAndGetAnswerEachNameInFixedOrder
// and every run of the integration tests.  A list of integers converts whole
// or not at all: "-P2PUploadThread 3 x" below.
TEST(ConfigurationTest, ValuesAreClampedScaledAndCleaned) {
  for (const char* key : {"-dir", "-DIR"}) EXPECT_EQ(Read({key, "C:\\Game"})->CurrentDir, "C:\\Game\\");
  EXPECT_EQ(Read({"-Dir", "C:\\Game\\"})->CurrentDir, "C:\\Game\\");  // one trailing separator
  EXPECT_EQ(Read({"-Dir", "C:/Game/"})->CurrentDir, "C:/Game/");
  // Clamped as unsigned, in KB; "-5" cannot be a value (it starts with a hyphen): a key of its own.
  for (const auto& [text, want] : {std::pair("1", 3072u), {"5000000", 1073741824u}, {"-5", 131072u}})
    EXPECT_EQ(Read({"-UploadLimit", text})->UploadLimit, want) << text;
  EXPECT_EQ(Read({"-DownloadLimit", "1"})->DownloadLimit, 10240u);
  EXPECT_EQ(Read({"-DownloadLimit", "300"})->DownloadLimit, 307200u);
  EXPECT_EQ(Read({"-ReportPercentInterval", "0"})->ReportPercentInterval, 1);
  EXPECT_EQ(Read({"-ReportPercentInterval", "250"})->ReportPercentInterval, 100);
  EXPECT_EQ(Read({"-LocalUdp", "12345"})->UdpProt, 12345);
  for (const char* ignored : {"70000", "0"})  // the random default (10000 to 19586) stays
    EXPECT_LE(Read({"-LocalUdp", ignored})->UdpProt - 10000u, 9586u);
  EXPECT_EQ(Read({"-LocalTcp", "8080"})->TcpListenPort, 8080);
  EXPECT_EQ(Read({"-LocalTcp", "65536"})->TcpListenPort, 0);
  // Characters file names cannot hold are replaced.
  EXPECT_EQ(Read({"-Postfix", "a:b|c"})->Postfix, "a-b-c");
  EXPECT_EQ(Read({"-Postfix", "\"*/:<>?\\|x"})->Postfix, "---------x");
  EXPECT_EQ(Read({"-MaxUploadNum", "12abc"})->MaxUploadNum, 12);
  EXPECT_EQ(Read({"-MaxUploadNum", "abc"})->MaxUploadNum, 20);  // malformed: the default
  EXPECT_EQ(Read({"-MaxDownloadNum", "9999"})->MaxDownloadNum, 9999);  // no range check
  EXPECT_EQ(Read({"-HttpThread", "0"})->HttpDownloadThreadNum, 0);
  EXPECT_EQ(Read({"-P2PUploadThread", "3", "x"})->UploadThreadNum, 10);  // all must convert
  EXPECT_TRUE(Read({"-Charset", "UTF-8"})->ConsoleUtf8 && Read({"-charset", "utf8"})->ConsoleUtf8);
  EXPECT_FALSE(Read({"-Charset", "GBK"})->ConsoleUtf8);
  for (const char* level : {"5", "42"}) EXPECT_EQ(Read({"-LogLevel", level})->FileLogLevel, 5) << level;
  for (const auto& [text, threshold] : {std::pair("3", 3), {"9", 6}})  // the console's, clamped as unsigned
    EXPECT_EQ((Read({"-oil", text}), ConsoleLog::Get().threshold()), threshold);
  ConsoleLog::Get().set_threshold(5);
}

TEST(ConfigurationTest, TextKeysListsRepeatsAndFlags) {
  auto s = Read({"-Torrent", "a", "-torrent", "b", "-id", "abc", "-UPnPText", "Game", "-HttpUrl",
                 "http://b/", "http://a/", "http://c/"});
  EXPECT_EQ(std::tie(s->Torrent, s->InstanceId, s->UPnPText), std::tuple("b", "abc", "Game"));
  std::sort(s->HttpUrl.begin(), s->HttpUrl.end());  // every mirror, in some order
  EXPECT_EQ(s->HttpUrl, (std::vector<std::string>{"http://a/", "http://b/", "http://c/"}));
  EXPECT_EQ(Read({"stray", "values"})->Torrent, "Seed.torrent");
  s = Read({"-HttpUrl", "-NotUsingUPnP", "-DeleteDownloadInfo"});  // lists and flags without values
  EXPECT_TRUE(s->HttpUrl.empty() && !s->UseUPnP && s->DeleteDownloadInfo);
}

}  // namespace
}  // namespace brelvane
