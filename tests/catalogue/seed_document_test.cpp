// SPDX-License-Identifier: MIT
#include "catalogue/seed_document.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/catalogue_test_util.h"

namespace brelvane {
namespace {

using testing::MakeEntry;
using testing::ReadBytes;
using testing::ReadTestData;
using testing::TempDir;
using testing::WriteBytes;

// The model behind tests/catalogue/data/file_list.xml.
std::vector<FileEntry> GoldenFiles() {
  return {
      MakeEntry(0, "readme.txt", "hello\n", 65536),
      MakeEntry(1, "data/game.pak", std::string(65537, 'b'), 65536),
      MakeEntry(2, "empty.cfg", "", 65536),
      MakeEntry(7, "docs/a & b <x>  two spaces.txt", "x", 65536),
  };
}

// The delete names written there, before the writer drops "readme.txt"
// (it is also a file of the release).
std::vector<std::string> GoldenDeleteNamesGiven() {
  return {"old/removed.dll", "readme.txt", "bin/old tool.exe"};
}

// The model behind tests/catalogue/data/torrent.xml.
SeedInfo GoldenTorrent() {
  SeedInfo info;
  info.http_urls = {"http://127.0.0.1:8080/release", "http://127.0.0.2/mirror"};
  info.trackers = {{"127.0.0.1", 9000}, {"10.0.0.2", 65535}};
  info.total_size = 5368709120ull;
  info.file = MakeEntry(kSeedFileId, "Seed.xml.gz", std::string(70000, 'S'), 65536);
  return info;
}

// gzip with a default header (no name, time 0); WriteFileList must produce
// level 9, Z_FILTERED.
std::string Gzip(const std::string& text, int level = 9, int strategy = Z_FILTERED) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, strategy), Z_OK);
  std::string out(deflateBound(&stream, text.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// A file list document around the given Exist content.
std::string FileListWith(const std::string& exist_body, const std::string& non_exist_body = "") {
  return "<Root><Exist>" + exist_body + "</Exist><NonExist>" + non_exist_body +
         "</NonExist></Root>";
}

const char kDigest[] = "900150983CD24FB0D6963F7D28E17F72";

std::string GoodFile() {
  return std::string("<File id=\"0\" name=\"a\" size=\"3\" md5=\"") + kDigest +
         "\"><Part id=\"0\" start=\"0\" length=\"3\" md5=\"" + kDigest + "\" /></File>";
}

// GoodFile() with the first `from` replaced by `to`.
std::string FileWith(const std::string& from, const std::string& to) {
  std::string file = GoodFile();
  return file.replace(file.find(from), from.size(), to);
}

TEST(FileListGoldenTest, WritesTheGoldenLayoutAsGzipLevelNineFilteredAndReadsItBack) {
  TempDir dir;
  const std::string golden = ReadTestData("file_list.xml");
  EXPECT_EQ(FileListText(GoldenFiles(), GoldenDeleteNamesGiven()), golden);
  const std::string path = dir.File("list.gz");
  ASSERT_TRUE(WriteFileList(GoldenFiles(), GoldenDeleteNamesGiven(), path));
  const std::string written = ReadBytes(path);
  EXPECT_EQ(written, Gzip(golden));
  EXPECT_NE(written, Gzip(golden, 6, Z_DEFAULT_STRATEGY));  // the comparison can fail
  WriteBytes(dir.File("plain.xml"), golden);
  for (const std::string& name : {path, dir.File("plain.xml")}) {
    FileList list;
    ASSERT_TRUE(ReadFileList(name, &list)) << name;
    EXPECT_EQ(list.files, GoldenFiles());
    EXPECT_EQ(list.delete_names,
              (std::vector<std::string>{"old/removed.dll", "bin/old tool.exe"}));
  }
  EXPECT_FALSE(WriteFileList(GoldenFiles(), {}, dir.File("no/such/dir/list.gz")));
}

TEST(TorrentGoldenTest, WritesAndReadsTheGoldenLayout) {
  EXPECT_EQ(TorrentText(GoldenTorrent()), ReadTestData("torrent.xml"));
  std::ostringstream out;
  ASSERT_TRUE(WriteTorrent(GoldenTorrent(), out));
  EXPECT_EQ(out.str(), ReadTestData("torrent.xml"));
  std::istringstream in(ReadTestData("torrent.xml"));
  SeedInfo info;
  ASSERT_TRUE(ReadTorrent(in, &info));
  EXPECT_EQ(info, GoldenTorrent());
  EXPECT_EQ(DetectDocumentKind(ReadTestData("torrent.xml")), DocumentKind::kTorrent);
  EXPECT_EQ(DetectDocumentKind(ReadTestData("file_list.xml")), DocumentKind::kFileList);
  EXPECT_EQ(DetectDocumentKind("<Other />"), DocumentKind::kNotADocument);
  EXPECT_EQ(DetectDocumentKind("\x1f\x8b"), DocumentKind::kNotADocument);
}

// Servers without usable addresses are skipped, the others kept in document
// order; without a Server element the first file alone is taken; a document
// without a file to describe is refused.
TEST(ReadTorrentTest, TakesUsableServersAndTheFirstFileAndRefusesDocumentsWithoutOne) {
  const std::string text =
      "<Root><Server><Http url=\"http://a\" /><Http /><Http url=\"  http://c  extra\" />"
      "<Tracker ip=\"1.2.3.4\" port=\"80\" /><Tracker ip=\"1.2.3.5\" />"
      "<Tracker ip=\"1.2.3.6\" port=\"70000\" /><Tracker ip=\"1.2.3.7\" port=\"-1\" />"
      "<Tracker port=\"81\" /><Tracker ip=\"1.2.3.8\" port=\"82\" /></Server><Exist>" +
      GoodFile() + "</Exist></Root>";
  SeedInfo info;
  ASSERT_TRUE(ParseTorrent(text, &info));
  EXPECT_EQ(info.http_urls, (std::vector<std::string>{"http://a", "http://c"}));
  EXPECT_EQ(info.trackers, (std::vector<TrackerEntry>{{"1.2.3.4", 80}, {"1.2.3.8", 82}}));
  const std::string second = FileWith("name=\"a\"", "name=\"b\"");
  info = SeedInfo();
  ASSERT_TRUE(ParseTorrent("<Root><Exist>" + GoodFile() + second + "</Exist></Root>", &info));
  EXPECT_EQ(info, (SeedInfo{{}, {}, 0, MakeEntry(0, "a", "abc", 65536)}));
  for (const std::string& bad :
       {std::string("<Root><Server /><Exist /></Root>"), std::string("<Root><Server /></Root>"),
        "<Other><Exist>" + GoodFile() + "</Exist></Other>", std::string(), std::string("not xml"),
        std::string("<Root><Exist><File id=\"0\" size=\"3\" md5=\"00\" /></Exist></Root>")}) {
    EXPECT_FALSE(ParseTorrent(bad, &info)) << bad;
  }
  std::istringstream in("<Root><Exist>" + GoodFile());  // cut short
  EXPECT_FALSE(ReadTorrent(in, &info));
}

TEST(ReadExistTest, RefusesMissingAttributesAndNumbersThatAreNotPlainUnsignedDecimal) {
  std::vector<std::pair<std::string, std::string>> edits = {
      {"id=\"0\" name", "x=\"0\" name"}, {"name=", "x="}, {"size=", "x="},
      {"size=\"3\" md5=", "size=\"3\" x="}, {"<Part id=", "<Part x="}, {"start=", "x="},
      {"length=", "x="}, {"length=\"3\" md5=", "length=\"3\" x="},
      {"size=\"3\"", "size=\"18446744073709551616\""},
      {"length=\"3\"", "length=\"4294967296\""}};
  for (const char* id : {"-1", "12abc", "4294967296", "", " 5", "1e3", "+5", "0x10"}) {
    edits.emplace_back("id=\"0\"", std::string("id=\"") + id + "\"");
  }
  FileList list;
  for (const auto& [from, to] : edits) {
    EXPECT_FALSE(ParseFileList(FileListWith(FileWith(from, to)), &list)) << from << " -> " << to;
  }
  // Elements after the first File are entries whatever their name, and one
  // without the attributes fails the read; elements before it are not entries.
  EXPECT_FALSE(ParseFileList(FileListWith(GoodFile() + "<Note />"), &list));
  std::string renamed = GoodFile();
  renamed.replace(1, 4, "Item");
  renamed.replace(renamed.rfind("File"), 4, "Item");
  FileList two;
  ASSERT_TRUE(ParseFileList(FileListWith("<Note />" + GoodFile() + renamed), &two));
  EXPECT_EQ(two.files.size(), 2u);
}

TEST(ReadExistTest, AcceptsLargestValuesNamesWithSpacesAndDigestsInEitherCase) {
  std::string file = FileWith("size=\"3\"", "size=\"18446744073709551615\"");
  file.replace(file.find("id=\"0\""), 6, "id=\"4294967295\"");
  file.replace(file.find("name=\"a\""), 8, "name=\" lead  and trail \"");
  for (size_t at = file.find(kDigest); at != std::string::npos; at = file.find(kDigest)) {
    file.replace(at, 32, "900150983cd24fb0d6963f7d28e17f72");
  }
  FileList list;
  ASSERT_TRUE(ParseFileList(FileListWith(file), &list));
  EXPECT_EQ(list.files[0].size, UINT64_MAX);
  EXPECT_EQ(list.files[0].id, UINT32_MAX);
  EXPECT_EQ(list.files[0].name, " lead  and trail ");
  EXPECT_EQ(DigestToHex(list.files[0].md5), kDigest);
  EXPECT_EQ(DigestToHex(list.files[0].parts[0].md5), kDigest);
  // Quoted and escaped angle brackets are no nesting; a missing Exist means
  // no files, and nameless deletes are skipped.
  FileList quoted;
  ASSERT_TRUE(ParseFileList(
      "<!-- <a><a><a> -->" + FileListWith(FileWith("name=\"a\"", "name=\"x/>y&lt;z>w\"")),
      &quoted));
  EXPECT_EQ(quoted.files[0].name, "x/>y<z>w");
  FileList deletes;
  ASSERT_TRUE(ParseFileList(
      "<Root><NonExist><File name=\"x\" /><File /><File name=\"y z\" /></NonExist></Root>",
      &deletes));
  EXPECT_EQ(deletes, (FileList{{}, {"x", "y z"}}));
}

TEST(ReadFileListTest, RefusesWhatIsNotACompleteDocument) {
  TempDir dir;
  const std::string gzip = Gzip(ReadTestData("file_list.xml"));
  std::string damaged = gzip;
  damaged[damaged.size() - 6] ^= 0x01;  // inside the CRC-32 of the trailer
  std::string deep = "<Root><Exist>", nested = "<Root>";
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  for (int i = 0; i < 100; ++i) nested += "<x>";
  for (int i = 0; i < 100; ++i) nested += "</x>";
  std::vector<std::string> texts = {"just some text", "", damaged, deep, nested + "</Root>",
                                    ReadTestData("file_list.xml").substr(0, 300),
                                    std::string("<Root>\0<Exist /></Root>", 23)};
  for (size_t cut = 1; cut < gzip.size(); ++cut) texts.push_back(gzip.substr(0, cut));
  FileList list;
  for (const std::string& text : texts) {
    WriteBytes(dir.File("list"), text);
    ASSERT_FALSE(ReadFileList(dir.File("list"), &list)) << text.size() << " bytes";
  }
  EXPECT_FALSE(ReadFileList(dir.File("missing.gz"), &list));
  EXPECT_FALSE(ReadFileList(dir.path(), &list));
  WriteBytes(dir.File("list"), gzip);
  EXPECT_TRUE(ReadFileList(dir.File("list"), &list));
}

TEST(CheckPartLayoutTest, AcceptsWhatTheBuilderProducesAndRefusesEveryOtherLayout) {
  for (const size_t size : {0, 65537, 131072}) {
    EXPECT_TRUE(CheckPartLayout(MakeEntry(0, "a", std::string(size, 'x'), 65536))) << size;
  }
  const FileEntry good = MakeEntry(0, "a", std::string(200000, 'x'), 65536);
  const std::function<void(FileEntry&)> breaks[] = {
      [](FileEntry& e) { e.parts[1].start += 1; }, [](FileEntry& e) { e.parts[2].id = 5; },
      [](FileEntry& e) { e.size += 1; },           [](FileEntry& e) { e.parts.pop_back(); },
      [](FileEntry& e) { e.parts.clear(); },       [](FileEntry& e) { e.parts[0].length = 0; }};
  for (const auto& brk : breaks) {
    FileEntry entry = good;
    brk(entry);
    std::string why;
    EXPECT_FALSE(CheckPartLayout(entry, &why)) << &brk - breaks;
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
}  // namespace brelvane
