// SPDX-License-Identifier: MIT
#include "catalogue/document_bounds.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <string>

#include "catalogue/catalogue_test_util.h"
#include "catalogue/seed_document.h"

namespace brelvane {
namespace {

using testing::TempDir;
using testing::WriteBytes;

constexpr DocumentBounds kSmall{.max_bytes = 128,
                                .max_nodes = 4,
                                .max_attributes = 3,
                                .max_nesting = 2,
                                .max_markup_bytes = 24};

struct Row {
  const char* what;
  std::string text;
  DocumentFault fault;
};

// Each bound just reached passes; one more is refused.
TEST(DocumentScannerTest, EachBoundHoldsAtItsLimit) {
  const Row rows[] = {
      {"bytes at the bound", std::string(128, ' '), DocumentFault::kNone},
      {"bytes over", std::string(129, ' '), DocumentFault::kTooManyBytes},
      {"four nodes, text counted", "<a>x</a><a/><!-- c -->", DocumentFault::kNone},
      {"five nodes", "<a>x</a><a/><!-- c --><?p?>", DocumentFault::kTooManyNodes},
      {"three attributes", "<a b='1' c='2' d='3'/>", DocumentFault::kNone},
      {"quoted = not counted", "<a b='=' c=\"==\"/>", DocumentFault::kNone},
      {"four attributes", "<a b=1 c=2 d=3 e=4/>", DocumentFault::kTooManyAttributes},
      {"two levels, empty third", "<a><b><c/></b></a>", DocumentFault::kNone},
      {"three levels", "<a><b><c></c></b></a>", DocumentFault::kTooDeep},
      {"end tags close levels", "<a><b/></a><a><b></b></a>", DocumentFault::kNone},
      {"quoted /> closes nothing", "<a x='/>'><b x=\"/\"></b></a>", DocumentFault::kNone},
      {"tag of 24", "<a b=\"" + std::string(15, 'x') + "\"/>", DocumentFault::kNone},
      {"tag of 25", "<a b=\"" + std::string(16, 'x') + "\"/>", DocumentFault::kMarkupTooLong},
      {"comment of 25", "<!--" + std::string(18, '<') + "-->", DocumentFault::kMarkupTooLong},
      {"markup in comment and CDATA", "<!--<a><a><a>--><![CDATA[<b><b><b>]]>",
       DocumentFault::kNone},
      {"text of 24", std::string(24, 'x') + "<a/>", DocumentFault::kNone},
      {"text of 25", std::string(25, 'x') + "<a/>", DocumentFault::kMarkupTooLong},
      {"blank runs are free", "<a>" + std::string(100, ' ') + "</a>", DocumentFault::kNone},
      {"NUL", std::string("<a>\0</a>", 8), DocumentFault::kNulByte},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CheckDocument(row.text, kSmall), row.fault) << row.what;
    // The same verdict when the text arrives a byte at a time.
    DocumentScanner scanner(kSmall);
    for (const char c : row.text) {
      if (!scanner.Feed(std::string_view(&c, 1))) break;
    }
    EXPECT_EQ(scanner.fault(), row.fault) << row.what << ", fed by bytes";
  }
}

// `count` gzip members of one MiB of blanks each, after a valid start.
std::string BlankGzipMembers(int count) {
  const std::string blanks(1 << 20, ' ');
  std::string member(compressBound(blanks.size()) + 64, '\0');
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(blanks.data()));
  stream.avail_in = static_cast<uInt>(blanks.size());
  stream.next_out = reinterpret_cast<Bytef*>(member.data());
  stream.avail_out = static_cast<uInt>(member.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  member.resize(stream.total_out);
  deflateEnd(&stream);
  std::string out;
  for (int i = 0; i < count; ++i) out += member;
  return out;
}

TEST(ReadGzipFileTest, BombStopsAtTheBoundWithoutKeepingText) {
  TempDir dir;
  // 80 MiB of blanks and then a damaged member: a reader that inflated the
  // whole before measuring would meet the damage, not the bound.
  WriteBytes(dir.Path("bomb.gz"), BlankGzipMembers(80) + "\x1f\x8b\x08\x00garbage");
  std::string text = "old";
  DocumentFault fault = DocumentFault::kNone;
  EXPECT_FALSE(ReadGzipFile(dir.Path("bomb.gz"), &text, &fault));
  EXPECT_EQ(fault, DocumentFault::kTooManyBytes);
  EXPECT_TRUE(text.empty());
  EXPECT_LT(text.capacity(), 1024u);

  FileList list;
  fault = DocumentFault::kNone;
  EXPECT_FALSE(ReadFileList(dir.Path("bomb.gz"), &list, &fault));
  EXPECT_EQ(fault, DocumentFault::kTooManyBytes);
}

TEST(ReadGzipFileTest, ListOfExactlyTheBoundIsRead) {
  TempDir dir;
  const std::string root = "<Root><Exist /></Root>";
  std::string text = root + std::string(kFileListBounds.max_bytes - root.size(), '\n');
  WriteBytes(dir.Path("full.xml"), text);
  FileList list;
  DocumentFault fault = DocumentFault::kTooDeep;
  EXPECT_TRUE(ReadFileList(dir.Path("full.xml"), &list, &fault));
  EXPECT_EQ(fault, DocumentFault::kNone);
  text += '\n';
  WriteBytes(dir.Path("over.xml"), text);
  EXPECT_FALSE(ReadFileList(dir.Path("over.xml"), &list, &fault));
  EXPECT_EQ(fault, DocumentFault::kTooManyBytes);
}

TEST(TorrentBoundsTest, TorrentBeyondItsBoundsIsRefusedUnparsed) {
  const std::string torrent = testing::ReadTestData("torrent.xml");
  SeedInfo info;
  ASSERT_TRUE(ParseTorrent(torrent, &info));
  const std::string padded = torrent + std::string(kTorrentBounds.max_bytes - torrent.size(), ' ');
  EXPECT_TRUE(ParseTorrent(padded, &info));
  DocumentFault fault = DocumentFault::kNone;
  EXPECT_FALSE(ParseTorrent(padded + " ", &info, &fault));
  EXPECT_EQ(fault, DocumentFault::kTooManyBytes);
  std::istringstream in(padded + " ");
  EXPECT_FALSE(ReadTorrent(in, &info));
  std::string many = "<Root>";
  for (uint64_t i = 0; i <= kTorrentBounds.max_nodes; ++i) many += "<a/>";
  EXPECT_FALSE(ParseTorrent(many + "</Root>", &info, &fault));
  EXPECT_EQ(fault, DocumentFault::kTooManyNodes);
}

}  // namespace
}  // namespace brelvane
