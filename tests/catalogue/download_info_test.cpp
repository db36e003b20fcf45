// SPDX-License-Identifier: MIT
#include "catalogue/download_info.h"

#include <gtest/gtest.h>

#include <filesystem>
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

TEST_F(DownloadInfoTest, NothingMissingWritesOnlyTheCompleteFlag) {
  ASSERT_TRUE(WriteDownloadInfo({}, path_));
  EXPECT_EQ(ReadBytes(path_), "[Global]\nAllFileComplete = 1\n\n");
}

TEST_F(DownloadInfoTest, WritesSectionsInByteWiseOrderAsTheGoldenFile) {
  ASSERT_TRUE(WriteDownloadInfo(Example(), path_));
  EXPECT_EQ(ReadBytes(path_), ReadTestData("download_info.ini"));
  EXPECT_EQ(DownloadInfoText(Example()), ReadTestData("download_info.ini"));
}

TEST_F(DownloadInfoTest, FilesWithNoMissingPartsAreLeftOut) {
  std::map<uint32_t, RangeSet32> not_complete = Example();
  not_complete[7];  // empty set
  EXPECT_EQ(DownloadInfoText(not_complete), ReadTestData("download_info.ini"));
  EXPECT_EQ(DownloadInfoText({{4, RangeSet32()}}), "[Global]\nAllFileComplete = 1\n\n");
}

TEST_F(DownloadInfoTest, RoundTripGivesTheSameMap) {
  std::map<uint32_t, RangeSet32> not_complete = Example();
  not_complete[0] = Parts({0});
  not_complete[4294967295u].InsertRange(100, 1100);
  not_complete[4294967295u].Insert(4294967295u);
  ASSERT_TRUE(WriteDownloadInfo(not_complete, path_));
  DownloadInfoData data;
  ASSERT_TRUE(ReadDownloadInfo(path_, &data));
  EXPECT_FALSE(data.all_file_complete);
  EXPECT_EQ(data.not_complete, not_complete);
}

TEST_F(DownloadInfoTest, ReadsTheGoldenFile) {
  DownloadInfoData data;
  ASSERT_TRUE(ReadText(ReadTestData("download_info.ini"), &data));
  EXPECT_FALSE(data.all_file_complete);
  EXPECT_EQ(data.not_complete, Example());
}

TEST_F(DownloadInfoTest, CompleteFlagIgnoresTheRest) {
  DownloadInfoData data;
  ASSERT_TRUE(ReadText("[Global]\nAllFileComplete = 1\nNotCompleteFileId = 3\n", &data));
  EXPECT_TRUE(data.all_file_complete);
  EXPECT_TRUE(data.not_complete.empty());
}

TEST_F(DownloadInfoTest, ReplacesTheOldFileAndLeavesNoTemporary) {
  ASSERT_TRUE(WriteDownloadInfo(Example(), path_));
  ASSERT_TRUE(WriteDownloadInfo({}, path_));
  EXPECT_EQ(ReadBytes(path_), "[Global]\nAllFileComplete = 1\n\n");
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(DownloadInfoTest, WriteIntoAMissingDirectoryFails) {
  EXPECT_FALSE(WriteDownloadInfo(Example(), dir_.Path("no/such/dir/info")));
}

TEST_F(DownloadInfoTest, ZeroWrittenAsSeveralZerosIsAnId) {
  DownloadInfoData data;
  ASSERT_TRUE(ReadText(
      "[0]\nNotCompletePartId = 00|4\n[Global]\nAllFileComplete = 0\nNotCompleteFileId = 0\n",
      &data));
  ASSERT_EQ(data.not_complete.size(), 1u);
  EXPECT_EQ(Values(data.not_complete.at(0)), (std::vector<uint32_t>{0, 4}));
}

TEST_F(DownloadInfoTest, TextAfterANumberIsIgnored) {
  DownloadInfoData data;
  ASSERT_TRUE(ReadText(
      "[3]\nNotCompletePartId = 5abc|6\n[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3\n",
      &data));
  EXPECT_EQ(Values(data.not_complete.at(3)), (std::vector<uint32_t>{5, 6}));
}

TEST_F(DownloadInfoTest, RefusesMalformedValues) {
  const std::string sections = "[3]\nNotCompletePartId = 1\n[12]\nNotCompletePartId = 2\n";
  const char* bad_globals[] = {
      "[Global]\nAllFileComplete = yes\n",
      "[Global]\nAllFileComplete = 2\n",
      "[Global]\nAllFileComplete =\n",
      "[Global]\nNotCompleteFileId = 3\n",
      "[Global]\nAllFileComplete = 0\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3|x\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3||12\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId = |3|12\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId = -3|12\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3|4294967296\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3|12|13\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId = 0x3|12\n",
      "[Global]\nAllFileComplete = 0\nNotCompleteFileId =\n",
      "[Other]\nAllFileComplete = 1\n",
  };
  for (const char* global : bad_globals) {
    DownloadInfoData data;
    EXPECT_FALSE(ReadText(sections + global, &data)) << global;
  }
}

TEST_F(DownloadInfoTest, RefusesBadPartLists) {
  const std::string global = "[Global]\nAllFileComplete = 0\nNotCompleteFileId = 3\n";
  for (const char* parts : {"[3]\nNotCompletePartId = 1|two\n", "[3]\nNotCompletePartId = 0x1\n",
                            "[3]\nOther = 1\n", "[4]\nNotCompletePartId = 1\n"}) {
    DownloadInfoData data;
    EXPECT_FALSE(ReadText(parts + global, &data)) << parts;
  }
}

TEST_F(DownloadInfoTest, RefusesUnreadableFiles) {
  DownloadInfoData data;
  EXPECT_FALSE(ReadDownloadInfo(dir_.Path("missing"), &data));
  EXPECT_FALSE(ReadDownloadInfo(dir_.path(), &data));
  EXPECT_FALSE(ReadText("", &data));
  EXPECT_FALSE(ReadText(std::string("\0\0\x01\xff garbage\n", 13), &data));
  EXPECT_FALSE(ReadText("[Global]\nAllFileComplete 1\n", &data));
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
    if (cut >= content_end) {
      EXPECT_TRUE(read) << "cut at " << cut;
      EXPECT_EQ(data.not_complete, not_complete);
    } else {
      EXPECT_FALSE(read) << "cut at " << cut << ":\n" << full.substr(0, cut);
    }
  }
}

TEST_F(DownloadInfoTest, ReadsHandWrittenFilesWithCommentsAndBlanks) {
  DownloadInfoData data;
  ASSERT_TRUE(ReadText(
      "# resume data\r\n\r\n  [ 3 ]  \r\n\tNotCompletePartId=4|2\r\n[Global]\r\n"
      "NotCompleteFileId   =   3\r\nAllFileComplete=0\r\n",
      &data));
  EXPECT_EQ(Values(data.not_complete.at(3)), (std::vector<uint32_t>{2, 4}));
}

TEST(ParseIdTokenTest, FollowsTheIdListRules) {
  uint32_t id = 99;
  EXPECT_TRUE(ParseIdToken("0", &id));
  EXPECT_EQ(id, 0u);
  EXPECT_TRUE(ParseIdToken("000", &id));
  EXPECT_EQ(id, 0u);
  EXPECT_TRUE(ParseIdToken("12", &id));
  EXPECT_EQ(id, 12u);
  EXPECT_TRUE(ParseIdToken(" 12", &id));
  EXPECT_EQ(id, 12u);
  EXPECT_TRUE(ParseIdToken("12 and more", &id));
  EXPECT_EQ(id, 12u);
  EXPECT_TRUE(ParseIdToken("4294967295", &id));
  EXPECT_EQ(id, 4294967295u);
  for (const char* bad : {"", " ", "x", "|12", "-1", "+1", "0x", " 0", "0 ", "4294967296"}) {
    EXPECT_FALSE(ParseIdToken(bad, &id)) << "\"" << bad << "\"";
  }
}

}  // namespace
}  // namespace brelvane
