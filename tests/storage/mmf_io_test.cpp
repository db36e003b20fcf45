// SPDX-License-Identifier: MIT
#include "storage/mmf_io.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <cstring>

#include "platform/file_io.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using namespace testing;  // NOLINT(google-build-using-namespace): the storage test helpers
using std::filesystem::file_size;  // throws for a missing file
using Bytes = std::vector<uint8_t>;

// Every behaviour must hold for both methods: they differ only in speed.
class CWinMMFIOTest : public ::testing::TestWithParam<IoMethod> {
 protected:
  std::unique_ptr<CWinMMFIO> OpenReadWrite(const std::string& name) {
    auto io = std::make_unique<CWinMMFIO>(dir_.File(name), GetParam());
    EXPECT_TRUE(io->Open(CWinMMFIO::kModeReadWrite, CWinMMFIO::kOpenAlways, 0, false));
    return io;
  }
  TempDir dir_;
};

TEST_P(CWinMMFIOTest, WriteBeyondEndExtendsFileAndReadsStopAtTheEnd) {
  auto io = OpenReadWrite("a");
  EXPECT_EQ(io->GetSize(), 0u);
  const auto data = PatternBytes(100, 1);
  ASSERT_TRUE(io->Write(data.data(), 100, 70000));
  EXPECT_EQ(io->GetSize(), 70100u);
  io->Close();
  Bytes expected(70100, 0);
  std::copy(data.begin(), data.end(), expected.begin() + 70000);
  EXPECT_EQ(ReadWholeFile(dir_.File("a")), expected);
  auto empty = OpenReadWrite("b");  // an empty or null write succeeds and changes nothing
  EXPECT_TRUE(empty->Write(data.data(), 0, 5000) && empty->Write(nullptr, 10, 5000));
  EXPECT_EQ(file_size(dir_.File("b")), 0u);
  const auto data2 = PatternBytes(10000, 2);
  WriteWholeFile(dir_.File("c"), data2);
  io = OpenReadWrite("c");
  Bytes buf(5000, 0xEE);
  EXPECT_FALSE(io->Read(buf.data(), 1, 10000) || io->Read(buf.data(), 1, 20000) || io->Read(nullptr, 1, 0));
  EXPECT_TRUE(io->Read(buf.data(), 0, 20000));  // nothing asked, nothing wrong
  ASSERT_TRUE(io->Read(buf.data(), 5000, 8000));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 2000), Bytes(data2.begin() + 8000, data2.end()));
  EXPECT_EQ(buf[2000], 0xEE);  // nothing past the end was copied
}

TEST_P(CWinMMFIOTest, RequestsCrossingGranulesRoundTrip) {
  const uint32_t g = platform::AllocationGranularity();
  auto io = OpenReadWrite("a");
  auto data = PatternBytes(3 * g + 17, 3);
  // Start just before a granule boundary so the span covers several granules.
  const uint64_t offset = 5 * static_cast<uint64_t>(g) - 9;
  ASSERT_TRUE(io->Write(data.data(), static_cast<uint32_t>(data.size()), offset));
  Bytes back(data.size());
  ASSERT_TRUE(io->Read(back.data(), static_cast<uint32_t>(back.size()), offset));
  EXPECT_EQ(back, data);
  // A small overwrite inside, unaligned on both ends.
  const auto patch = PatternBytes(33, 4);
  ASSERT_TRUE(io->Write(patch.data(), 33, offset + g - 5));
  ASSERT_TRUE(io->Read(back.data(), static_cast<uint32_t>(back.size()), offset));
  std::memcpy(data.data() + g - 5, patch.data(), patch.size());
  EXPECT_EQ(back, data);
}

TEST_P(CWinMMFIOTest, OpensExtendOnlyWhenCreatingRefuseWithAnErrorAndCreateAlwaysTruncates) {
  WriteWholeFile(dir_.File("a"), PatternBytes(10, 5));
  CWinMMFIO existing(dir_.File("a"), GetParam());
  ASSERT_TRUE(existing.Open(CWinMMFIO::kModeReadWrite, CWinMMFIO::kOpenExisting, 4096, false));
  EXPECT_EQ(existing.GetSize(), 10u);
  existing.Close();
  CWinMMFIO creating(dir_.File("a"), GetParam());
  ASSERT_TRUE(creating.Open(CWinMMFIO::kModeReadWrite, CWinMMFIO::kOpenAlways, 4096, false));
  EXPECT_EQ(creating.GetSize(), 4096u);
  EXPECT_EQ(file_size(dir_.File("a")), 4096u);
  auto io = OpenReadWrite("b");
  EXPECT_FALSE(io->Open(CWinMMFIO::kModeReadWrite, CWinMMFIO::kOpenAlways, 0, false));
  EXPECT_EQ(io->last_error(), 32u);  // already open; the first open is untouched
  EXPECT_TRUE(io->IsOpen());
  std::string text, missing_text = "unchanged";
  io->GetErrorText(&text);
  EXPECT_FALSE(text.empty());
  CWinMMFIO missing(dir_.File("missing"), GetParam());
  EXPECT_FALSE(missing.Open(CWinMMFIO::kModeRead, CWinMMFIO::kOpenExisting, 0, false));
  EXPECT_NE(missing.last_error(), 0u);
  missing.GetErrorText(&missing_text);
  EXPECT_NE(missing_text, "unchanged");
  EXPECT_FALSE(PathExists(dir_.File("missing")));
  ASSERT_TRUE(CreateDirectories(dir_.File("d")));
  CWinMMFIO directory(dir_.File("d"), GetParam());
  EXPECT_FALSE(directory.Open(CWinMMFIO::kModeRead, CWinMMFIO::kOpenAlways, 0, false) || directory.IsOpen());
  WriteWholeFile(dir_.File("t"), PatternBytes(10, 5));
  CWinMMFIO truncated(dir_.File("t"), GetParam());
  ASSERT_TRUE(truncated.Open(CWinMMFIO::kModeReadWrite, CWinMMFIO::kCreateAlways, 0, true));
  EXPECT_EQ(truncated.GetSize(), 0u);
}

TEST_P(CWinMMFIOTest, ReadOnlyObjectRefusesWritesSetSizeTruncatesAndClosedRefusesAll) {
  const auto data = PatternBytes(100, 6);
  WriteWholeFile(dir_.File("a"), data);
  CWinMMFIO io(dir_.File("a"), GetParam());
  ASSERT_TRUE(io.Open(CWinMMFIO::kModeRead, CWinMMFIO::kOpenAlways, 0, false));
  Bytes back(100);
  ASSERT_TRUE(io.Read(back.data(), 100, 0));
  EXPECT_EQ(back, data);
  EXPECT_FALSE(io.Write(back.data(), 10, 0) || io.Write(back.data(), 10, 200));
  EXPECT_NE(io.last_error(), 0u);
  EXPECT_EQ(ReadWholeFile(dir_.File("a")), data);
  WriteWholeFile(dir_.File("b"), PatternBytes(1000, 8));
  auto rw = OpenReadWrite("b");
  ASSERT_TRUE(rw->SetSize(300));
  EXPECT_EQ(rw->GetSize(), 300u);
  EXPECT_EQ(file_size(dir_.File("b")), 300u);
  EXPECT_TRUE(rw->Sync() && rw->Close());
  EXPECT_FALSE(rw->IsOpen());
  uint8_t b = 0;
  EXPECT_FALSE(rw->Write(&b, 1, 0) || rw->Read(&b, 1, 0) || rw->SetSize(10) || rw->Sync());
}

TEST_P(CWinMMFIOTest, ObjectBeyondTheHandleBudgetReopensPerOperation) {
  const int64_t saved = CWinMMFIO::SetHandleBudgetForTesting(1);
  auto kept = OpenReadWrite("kept");
  auto lean = OpenReadWrite("lean");
  EXPECT_TRUE(kept->keeps_handle() && !lean->keeps_handle() && lean->IsOpen());
  const auto data = PatternBytes(9000, 10);
  ASSERT_TRUE(lean->Write(data.data(), 9000, 100));
  EXPECT_EQ(lean->GetSize(), 9100u);
  Bytes back(9000);
  ASSERT_TRUE(lean->Read(back.data(), 9000, 100));
  EXPECT_EQ(back, data);
  ASSERT_TRUE(lean->Sync() && lean->SetSize(50));
  EXPECT_EQ(file_size(dir_.File("lean")), 50u);
  kept->Close();  // its permit goes back
  EXPECT_TRUE(OpenReadWrite("next")->keeps_handle());
  CWinMMFIO::SetHandleBudgetForTesting(saved);
}

INSTANTIATE_TEST_SUITE_P(BothMethods, CWinMMFIOTest,
                         ::testing::Values(IoMethod::kMappedView, IoMethod::kPositioned), [](const auto& p) {
                           return p.param == IoMethod::kMappedView ? "Mapped" : "Positioned";
                         });

TEST(CreateDirectoriesTest, MakesEveryLevelAcceptsExistingOnesAndStopsAtAFile) {
  TempDir dir;
  ASSERT_TRUE(CreateDirectories(dir.File("a/b\\c//d")));
  EXPECT_TRUE(platform::IsDirectory(dir.File("a/b/c/d")));
  EXPECT_TRUE(CreateDirectories(dir.File("a/b/")));
  EXPECT_FALSE(PathExists(dir.File("x")));
  WriteWholeFile(dir.File("x"), {1, 2, 3});
  EXPECT_FALSE(CreateDirectories(dir.File("x/sub/deeper")));
  EXPECT_FALSE(PathExists(dir.File("x/sub")));
  EXPECT_EQ(file_size(dir.File("x")), 3u);
}

}  // namespace
}  // namespace brelvane
