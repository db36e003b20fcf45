// SPDX-License-Identifier: MIT
// The resume file: exact bytes, hand-written variants, refusals and every
// cut a crash may leave.  Round trips of hostile input: fuzz/download_info.
#include "catalogue/download_info.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <optional>

#include "catalogue/catalogue_test_util.h"

namespace brelvane {
namespace {

using namespace testing;  // NOLINT: the catalogue test helpers

RangeSet32 Parts(std::initializer_list<uint32_t> ids) {
  RangeSet32 set;
  for (const uint32_t id : ids) set.Insert(id);
  return set;
}

// File 3 missing parts 0, 1, 2 and 7; file 12 missing part 5.
std::map<uint32_t, RangeSet32> Example() { return {{3, Parts({0, 1, 2, 7})}, {12, Parts({5})}}; }

// Reads `text` as a resume file in `dir`; nullopt when refused.
std::optional<DownloadInfoData> ReadText(const TempDir& dir, const std::string& text) {
  WriteBytes(dir.File("info"), text);
  DownloadInfoData data;
  return ReadDownloadInfo(dir.File("info"), &data) ? std::optional(data) : std::nullopt;
}

TEST(DownloadInfoTest, WritesTheGoldenBytesAndReadsThemBackAtTheEdgesOfTheIds) {
  TempDir dir;
  const std::string path = dir.File(".Download_Info_Data");
  std::map<uint32_t, RangeSet32> not_complete = Example();
  not_complete[7];  // files with no missing parts are left out
  ASSERT_TRUE(WriteDownloadInfo(not_complete, path));
  EXPECT_EQ(ReadBytes(path), ReadTestData("download_info.ini"));
  EXPECT_EQ(DownloadInfoText(Example()), ReadTestData("download_info.ini"));
  not_complete = Example(), not_complete[0] = Parts({0});
  not_complete[4294967295u].InsertRange(100, 1100), not_complete[4294967295u].Insert(4294967295u);
  ASSERT_TRUE(WriteDownloadInfo(not_complete, path));
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(path, &data));
  EXPECT_EQ(std::pair(data.all_file_complete, data.not_complete), std::pair(false, not_complete));
  // Nothing missing: only the flag, replacing the old file without a temporary.
  ASSERT_TRUE(WriteDownloadInfo({{4, RangeSet32()}}, path));
  EXPECT_EQ(ReadBytes(path), "[Global]\nAllFileComplete = 1\n\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_FALSE(WriteDownloadInfo(Example(), dir.File("no/such/dir/info")));
}

TEST(DownloadInfoTest, ReadsHandWrittenFiles) {
  const struct { const char* text; std::map<uint32_t, RangeSet32> missing; } cases[] = {  // none: complete
      {"[Global]\nAllFileComplete = 1\nNotCompleteFileId = 3\n", {}},  // flag wins
      {"[0]\nNotCompletePartId = 00|4\n[Global]\nAllFileComplete = 0\nNotCompleteFileId = 0\n",
       {{0, Parts({0, 4})}}},  // several zeros are zero
      {"[3]\nNotCompletePartId = 5abc|6\n[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3\n",
       {{3, Parts({5, 6})}}},  // text after a number is ignored
      {"# resume data\r\n\r\n  [ 3 ]  \r\n\tNotCompletePartId=4|2\r\n[Global]\r\n"
       "NotCompleteFileId   =   3\r\nAllFileComplete=0\r\n",
       {{3, Parts({2, 4})}}},
      {"[3]\nNotCompletePartId = 4294967295| 12|7 and more\n[Global]\nAllFileComplete = 0\n"
       "NotCompleteFileId = 3\n", {{3, Parts({7, 12, 4294967295u})}}},  // blanks, digits, anything
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::optional<DownloadInfoData> d = ReadText(dir, c.text);
    ASSERT_TRUE(d) << c.text;
    EXPECT_EQ(std::pair(d->all_file_complete, d->not_complete), std::pair(c.missing.empty(), c.missing));
  }
}

TEST(DownloadInfoTest, RefusesMalformedAndUnreadableFiles) {
  const std::string sections = "[3]\nNotCompletePartId = 1\n[12]\nNotCompletePartId = 2\n";
  const std::string global = "[Global]\nAllFileComplete = 0\nNotCompleteFileId = ";
  const std::string flag = sections + "[Global]\nNotCompleteFileId = 3|12\nAllFileComplete =";  // 0 or 1 only
  std::vector<std::string> texts = {
      "", std::string("\0\0\x01\xff garbage\n", 13), "[Global]\nAllFileComplete 1\n", flag + " yes\n",
      flag + " 2\n", flag + "\n", flag + " 01\n", sections + "[Global]\nNotCompleteFileId = 3\n",
      sections + "[Global]\nAllFileComplete = 0\n", sections + "[Other]\nAllFileComplete = 1\n"};
  for (const char* ids : {"3|x", "3||12", "|3|12", "-3|12", "3|4294967296", "3|12|13", "0x3|12", ""})
    texts.push_back(sections + global + ids + "\n");
  for (const char* ids : {"1|two", "0x1", "1|-1", "1|+1", "1| 0", "0 |1", "1| |2", "1||2", "1|4294967296"})
    texts.push_back(std::string("[3]\nNotCompletePartId = ") + ids + "\n" + global + "3\n");
  for (const char* other : {"[3]\nOther = 1\n", "[4]\nNotCompletePartId = 1\n"})
    texts.push_back(other + global + "3\n");
  TempDir dir;
  for (const std::string& text : texts) EXPECT_FALSE(ReadText(dir, text)) << text;
  DownloadInfoData data;
  EXPECT_FALSE(ReadDownloadInfo(dir.File("missing"), &data) || ReadDownloadInfo(dir.path(), &data));
}

// Whatever the point where a crash cut the file, what is left is refused,
// unless only the final line ends were lost.
TEST(DownloadInfoTest, RefusesEveryTruncation) {
  std::map<uint32_t, RangeSet32> not_complete = Example();
  not_complete[120] = Parts({1, 2}), not_complete[1] = Parts({9});
  const std::string full = DownloadInfoText(not_complete);
  const size_t content_end = full.find_last_not_of('\n') + 1;
  TempDir dir;
  for (size_t cut = 0; cut < full.size(); ++cut) {
    const std::optional<DownloadInfoData> data = ReadText(dir, full.substr(0, cut));
    EXPECT_EQ(data.has_value(), cut >= content_end) << "cut at " << cut << ":\n" << full.substr(0, cut);
    EXPECT_TRUE(!data || data->not_complete == not_complete) << cut;
  }
}

}  // namespace
}  // namespace brelvane
