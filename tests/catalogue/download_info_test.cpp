// SPDX-License-Identifier: MIT
#include "catalogue/download_info.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "catalogue/catalogue_test_util.h"

namespace brelvane {
namespace {

using testing::ReadBytes;
using testing::ReadTestData;
using testing::TempDir;
using testing::WriteBytes;

RangeSet32 Parts(std::initializer_list<uint32_t> ids) {
  RangeSet32 set;
  for (const uint32_t id : ids) set.Insert(id);
  return set;
}

std::vector<uint32_t> Values(const RangeSet32& set) { return {set.begin(), set.end()}; }

// File 3 missing parts 0, 1, 2 and 7; file 12 missing part 5.
std::map<uint32_t, RangeSet32> Example() {
  std::map<uint32_t, RangeSet32> not_complete;
  not_complete[3] = Parts({0, 1, 2, 7});
  not_complete[12] = Parts({5});
  return not_complete;
}

class DownloadInfoTest : public ::testing::Test {
 protected:
  // Reads `text` as a resume file.
  bool ReadText(const std::string& text, DownloadInfoData* data) {
    WriteBytes(path_, text);
    return ReadDownloadInfo(path_, data);
  }

  TempDir dir_;
  std::string path_ = dir_.Path(".Download_Info_Data");
};

TEST_F(DownloadInfoTest, WritesSectionsInByteWiseOrderAsTheGoldenFileAndReadsItBack) {
  std::map<uint32_t, RangeSet32> not_complete = Example();
  not_complete[7];  // files with no missing parts are left out
  ASSERT_TRUE(WriteDownloadInfo(not_complete, path_));
  EXPECT_EQ(ReadBytes(path_), ReadTestData("download_info.ini"));
  EXPECT_EQ(DownloadInfoText(Example()), ReadTestData("download_info.ini"));
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(path_, &data));
  EXPECT_FALSE(data.all_file_complete);
  EXPECT_EQ(data.not_complete, Example());
  // Nothing missing: only the flag, replacing the old file without a temporary.
  ASSERT_TRUE(WriteDownloadInfo({{4, RangeSet32()}}, path_));
  EXPECT_EQ(ReadBytes(path_), "[Global]\nAllFileComplete = 1\n\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()), 1);
  EXPECT_FALSE(WriteDownloadInfo(Example(), dir_.Path("no/such/dir/info")));
}

TEST_F(DownloadInfoTest, RoundTripGivesTheSameMapAtTheEdgesOfTheIds) {
  std::map<uint32_t, RangeSet32> not_complete = Example();
  not_complete[0] = Parts({0});
  not_complete[4294967295u].InsertRange(100, 1100);
  not_complete[4294967295u].Insert(4294967295u);
  ASSERT_TRUE(WriteDownloadInfo(not_complete, path_));
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(path_, &data));
  EXPECT_EQ(data.not_complete, not_complete);
}

TEST_F(DownloadInfoTest, ReadsHandWrittenFiles) {
  const struct {
    const char* text;
    uint32_t file;
    std::vector<uint32_t> parts;  // empty: all complete
  } cases[] = {
      {"[Global]\nAllFileComplete = 1\nNotCompleteFileId = 3\n", 0, {}},  // flag wins
      {"[0]\nNotCompletePartId = 00|4\n[Global]\nAllFileComplete = 0\nNotCompleteFileId = 0\n",
       0, {0, 4}},  // several zeros are zero
      {"[3]\nNotCompletePartId = 5abc|6\n[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3\n",
       3, {5, 6}},  // text after a number is ignored
      {"# resume data\r\n\r\n  [ 3 ]  \r\n\tNotCompletePartId=4|2\r\n[Global]\r\n"
       "NotCompleteFileId   =   3\r\nAllFileComplete=0\r\n",
       3, {2, 4}},
  };
  for (const auto& c : cases) {
    DownloadInfoData data;
    ASSERT_TRUE(ReadText(c.text, &data)) << c.text;
    EXPECT_EQ(data.all_file_complete, c.parts.empty()) << c.text;
    if (!c.parts.empty()) {
      EXPECT_EQ(Values(data.not_complete.at(c.file)), c.parts) << c.text;
    }
  }
}

TEST_F(DownloadInfoTest, RefusesMalformedAndUnreadableFiles) {
  const std::string sections = "[3]\nNotCompletePartId = 1\n[12]\nNotCompletePartId = 2\n";
  const std::string global = "[Global]\nAllFileComplete = 0\nNotCompleteFileId = ";
  std::vector<std::string> texts = {
      "", std::string("\0\0\x01\xff garbage\n", 13), "[Global]\nAllFileComplete 1\n",
      sections + "[Global]\nAllFileComplete = yes\n", sections + "[Global]\nAllFileComplete = 2\n",
      sections + "[Global]\nAllFileComplete =\n", sections + "[Global]\nNotCompleteFileId = 3\n",
      sections + "[Global]\nAllFileComplete = 0\n", sections + "[Other]\nAllFileComplete = 1\n"};
  for (const char* ids : {"3|x", "3||12", "|3|12", "-3|12", "3|4294967296", "3|12|13", "0x3|12",
                          ""}) {
    texts.push_back(sections + global + ids + "\n");
  }
  for (const char* parts : {"[3]\nNotCompletePartId = 1|two\n", "[3]\nNotCompletePartId = 0x1\n",
                            "[3]\nOther = 1\n", "[4]\nNotCompletePartId = 1\n"}) {
    texts.push_back(parts + global + "3\n");
  }
  for (const std::string& text : texts) {
    DownloadInfoData data;
    EXPECT_FALSE(ReadText(text, &data)) << text;
  }
  DownloadInfoData data;
  EXPECT_FALSE(ReadDownloadInfo(dir_.Path("missing"), &data));
  EXPECT_FALSE(ReadDownloadInfo(dir_.path(), &data));
}

// Whatever the point where a crash cut the file, what is left is refused,
// unless only the final line ends were lost.
TEST_F(DownloadInfoTest, RefusesEveryTruncation) {
  std::map<uint32_t, RangeSet32> not_complete = Example();
  not_complete[120] = Parts({1, 2});
  not_complete[1] = Parts({9});
  const std::string full = DownloadInfoText(not_complete);
  const size_t content_end = full.find_last_not_of('\n') + 1;
  for (size_t cut = 0; cut < full.size(); ++cut) {
    DownloadInfoData data;
    const bool read = ReadText(full.substr(0, cut), &data);
    EXPECT_EQ(read, cut >= content_end) << "cut at " << cut << ":\n" << full.substr(0, cut);
    if (read) {
      EXPECT_EQ(data.not_complete, not_complete);
    }
  }
}

TEST(ParseIdTokenTest, FollowsTheIdListRules) {
  const std::pair<const char*, uint32_t> good[] = {
      {"0", 0},           {"000", 0},          {"12", 12},
      {" 12", 12},        {"12 and more", 12}, {"4294967295", 4294967295u}};
  for (const auto& [text, value] : good) {
    uint32_t id = 99;
    EXPECT_TRUE(ParseIdToken(text, &id)) << text;
    EXPECT_EQ(id, value) << text;
  }
  uint32_t id = 99;
  for (const char* bad : {"", " ", "x", "|12", "-1", "+1", "0x", " 0", "0 ", "4294967296"}) {
    EXPECT_FALSE(ParseIdToken(bad, &id)) << "\"" << bad << "\"";
  }
}

}  // namespace
}  // namespace brelvane
