// SPDX-License-Identifier: MIT
// The seed documents (file list, torrent): golden layouts, refusals, part
// layouts; and the diff of two file lists.
#include "catalogue/seed_document.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <sstream>

#include "catalogue/catalogue_test_util.h"
#include "catalogue/seed_diff.h"

namespace brelvane {
namespace {

using namespace testing;  // NOLINT: the catalogue test helpers

// The model behind tests/catalogue/data/file_list.xml.
std::vector<FileEntry> GoldenFiles() {
  return {MakeEntry(0, "readme.txt", "hello\n"), MakeEntry(1, "data/game.pak", std::string(65537, 'b')),
          MakeEntry(2, "empty.cfg", ""), MakeEntry(7, "docs/a & b <x>  two spaces.txt", "x")};
}

// The delete names written there, before the writer drops "readme.txt"
// (it is also a file of the release).
const std::vector<std::string> kGoldenDeleteNamesGiven{"old/removed.dll", "readme.txt", "bin/old tool.exe"};

// The model behind tests/catalogue/data/torrent.xml.
SeedInfo GoldenTorrent() {
  return {{"http://127.0.0.1:8080/release", "http://127.0.0.2/mirror"},
          {{"127.0.0.1", 9000}, {"10.0.0.2", 65535}}, 5368709120ull,
          MakeEntry(kSeedFileId, "Seed.xml.gz", std::string(70000, 'S'))};
}

// gzip with a default header (no name, time 0) at level 9, Z_FILTERED, as
// WriteFileList must write it (zlib's default level and strategy differ).
std::string Gzip(const std::string& text) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_FILTERED), Z_OK);
  std::string out(deflateBound(&stream, text.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data())), stream.avail_in = text.size();
  stream.next_out = reinterpret_cast<Bytef*>(out.data()), stream.avail_out = out.size();
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  deflateEnd(&stream);
  return out.substr(0, stream.total_out);
}

// A file list document around the given Exist content.
std::string FileListWith(const std::string& exist_body) {
  return "<Root><Exist>" + exist_body + "</Exist><NonExist></NonExist></Root>";
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
  const std::string golden = ReadTestData("file_list.xml"), path = dir.File("list.gz");
  ASSERT_TRUE(WriteFileList(GoldenFiles(), kGoldenDeleteNamesGiven, path));
  EXPECT_EQ(ReadBytes(path), Gzip(golden));
  WriteBytes(dir.File("plain.xml"), golden);
  for (const std::string& name : {path, dir.File("plain.xml")}) {
    FileList list;
    ASSERT_TRUE(ReadFileList(name, &list)) << name;
    EXPECT_EQ(list.files, GoldenFiles());
    EXPECT_EQ(list.delete_names, (std::vector<std::string>{"old/removed.dll", "bin/old tool.exe"}));
  }
  EXPECT_FALSE(WriteFileList(GoldenFiles(), {}, dir.File("no/such/dir/list.gz")));
}

TEST(TorrentGoldenTest, WritesAndReadsTheGoldenLayout) {
  const std::string golden = ReadTestData("torrent.xml");
  std::ostringstream out;
  ASSERT_TRUE(WriteTorrent(GoldenTorrent(), out));
  EXPECT_EQ(out.str(), golden);
  std::istringstream in(golden);
  SeedInfo info;
  ASSERT_TRUE(ReadTorrent(in, &info));
  EXPECT_EQ(info, GoldenTorrent());
  using enum DocumentKind;
  for (const auto& [text, kind] : {std::pair(golden, kTorrent), {ReadTestData("file_list.xml"), kFileList},
                                   {"<Other />", kNotADocument}, {"\x1f\x8b", kNotADocument}})
    EXPECT_EQ(DetectDocumentKind(text), kind) << text;
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
  EXPECT_EQ(info, (SeedInfo{{}, {}, 0, MakeEntry(0, "a", "abc")}));
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
      {"size=\"3\" md5=", "size=\"3\" x="}, {"<Part id=", "<Part x="}, {"start=", "x="}, {"length=", "x="},
      {"length=\"3\" md5=", "length=\"3\" x="}, {"size=\"3\"", "size=\"18446744073709551616\""},
      {"length=\"3\"", "length=\"4294967296\""}};
  for (const char* id : {"-1", "12abc", "4294967296", "", " 5", "1e3", "+5", "0x10"})
    edits.emplace_back("id=\"0\"", std::string("id=\"") + id + "\"");
  FileList list;
  for (const auto& [from, to] : edits)
    EXPECT_FALSE(ParseFileList(FileListWith(FileWith(from, to)), &list)) << from << " -> " << to;
  // Elements after the first File are entries whatever their name, and one
  // without the attributes fails the read; elements before it are not entries.
  EXPECT_FALSE(ParseFileList(FileListWith(GoodFile() + "<Note />"), &list));
  std::string renamed = GoodFile();
  renamed.replace(1, 4, "Item");
  renamed.replace(renamed.rfind("File"), 4, "Item");
  ASSERT_TRUE(ParseFileList(FileListWith("<Note />" + GoodFile() + renamed), &list));
  EXPECT_EQ(list.files.size(), 2u);
}

TEST(ReadExistTest, AcceptsLargestValuesNamesWithSpacesAndDigestsInEitherCase) {
  std::string file = FileWith("size=\"3\"", "size=\"18446744073709551615\"");
  file.replace(file.find("id=\"0\""), 6, "id=\"4294967295\"");
  file.replace(file.find("name=\"a\""), 8, "name=\" lead  and trail \"");
  for (size_t at = file.find(kDigest); at != std::string::npos; at = file.find(kDigest))
    file.replace(at, 32, "900150983cd24fb0d6963f7d28e17f72");
  FileList list;
  ASSERT_TRUE(ParseFileList(FileListWith(file), &list));
  const FileEntry& f = list.files[0];
  EXPECT_EQ(std::tuple(f.size, f.id, f.name, DigestToHex(f.md5), DigestToHex(f.parts[0].md5)),
            std::tuple(UINT64_MAX, UINT32_MAX, " lead  and trail ", kDigest, kDigest));
  // Quoted and escaped angle brackets are no nesting; a missing Exist means
  // no files, and nameless deletes are skipped.
  FileList quoted, deletes;
  ASSERT_TRUE(ParseFileList("<!-- <a><a><a> -->" + FileListWith(FileWith("a\"", "x/>y&lt;z>w\"")), &quoted));
  EXPECT_EQ(quoted.files[0].name, "x/>y<z>w");
  ASSERT_TRUE(ParseFileList("<Root><NonExist><File name=\"x\" /><File /><File name=\"y z\" />"
                            "</NonExist></Root>", &deletes));
  EXPECT_EQ(deletes, (FileList{{}, {"x", "y z"}}));
}

TEST(ReadFileListTest, RefusesWhatIsNotACompleteDocument) {
  TempDir dir;
  const std::string gzip = Gzip(ReadTestData("file_list.xml"));
  std::string damaged = gzip;
  damaged[damaged.size() - 6] ^= 0x01;  // inside the CRC-32 of the trailer
  std::string deep = "<Root><Exist>", nested = "<Root>";
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  for (int i = 0; i < 100; ++i) nested.insert(6, "<x>") += "</x>";
  std::vector<std::string> texts = {"just some text", "", damaged, deep, nested + "</Root>",
                                    ReadTestData("file_list.xml").substr(0, 300),
                                    std::string("<Root>\0<Exist /></Root>", 23)};
  for (size_t cut = 1; cut < gzip.size(); ++cut) texts.push_back(gzip.substr(0, cut));
  FileList list;
  for (const std::string& text : texts) {
    WriteBytes(dir.File("list"), text);
    ASSERT_FALSE(ReadFileList(dir.File("list"), &list)) << text.size() << " bytes";
  }
  EXPECT_FALSE(ReadFileList(dir.File("missing.gz"), &list) || ReadFileList(dir.path(), &list));
  WriteBytes(dir.File("list"), gzip);
  EXPECT_TRUE(ReadFileList(dir.File("list"), &list));
}

TEST(CheckPartLayoutTest, AcceptsWhatTheBuilderProducesAndRefusesEveryOtherLayout) {
  for (size_t n : {0, 65537, 131072}) EXPECT_TRUE(CheckPartLayout(MakeEntry(0, "a", std::string(n, 'x'))));
  const FileEntry good = MakeEntry(0, "a", std::string(200000, 'x'));
  const std::function<void(FileEntry&)> breaks[] = {
      [](FileEntry& e) { e.parts[1].start += 1; }, [](FileEntry& e) { e.parts[2].id = 5; },
      [](FileEntry& e) { e.size += 1; },           [](FileEntry& e) { e.parts.pop_back(); },
      [](FileEntry& e) { e.parts.clear(); },       [](FileEntry& e) { e.parts[0].length = 0; }};
  for (const auto& brk : breaks) {
    FileEntry entry = good;
    std::string why;
    brk(entry);
    EXPECT_TRUE(!CheckPartLayout(entry, &why) && !why.empty()) << &brk - breaks;
  }
}

// A file of `parts` parts of 10 bytes whose part i has the digest of
// `tags[i]`; the whole-file digest is that of `whole`.
FileEntry Tagged(uint32_t id, const std::string& name, const std::string& tags, const std::string& whole) {
  FileEntry file{id, name, 10 * tags.size(), Md5Buffer(whole.data(), whole.size()), {}};
  for (uint32_t i = 0; i < tags.size(); ++i) file.parts.push_back({i, 10, 10 * i, Md5Buffer(&tags[i], 1)});
  return file;
}

// The parts to fetch of a realistic release pair (changed parts, new files,
// removed ones, exact printout): integration.release_tool_test's diff and
// integration.http_update_test's delta update.  The new list here is out of id
// order: files print by id all the same.
TEST(PrintDiffTest, PrintsDeletionsThenPartsByFileIdAndPlaceholdersForUnknownIds) {
  const std::vector<FileEntry> new_files = {Tagged(1, "a dir/a.dat", "pq", "n1"),
                                            Tagged(0, "b.dat", "aXcY", "n0")};
  const std::vector<FileEntry> old_files = {Tagged(0, "b.dat", "abcd", "o0"),
                                            Tagged(1, "old.txt", "z", "o1"),
                                            Tagged(2, "older.txt", "z", "o2")};
  const auto print = [&new_files](const SeedDiff& diff) {
    std::ostringstream out;
    return PrintDiff(diff, new_files, out), out.str();
  };
  EXPECT_EQ(print(DiffFileLists(new_files, old_files)),
            "File need to delete :\n\told.txt\n\tolder.txt\n"
            "File need to update :\nPartID Start Length\n"
            "\tb.dat\n\t\t1\t10\t10\n\t\t3\t30\t10\n"
            "\ta dir/a.dat\n\t\t0\t0\t10\n\t\t1\t10\t10\n");
  EXPECT_EQ(print(DiffFileLists(new_files, new_files)), "");
  // An equal whole digest needs nothing, even if parts differ.
  EXPECT_EQ(print(DiffFileLists({Tagged(0, "f", "xyz", "same")}, {Tagged(0, "f", "abc", "same")})), "");
  SeedDiff diff;  // ids the list does not hold: placeholders, no read past the list
  diff.parts_to_fetch[7].Insert(0);
  diff.parts_to_fetch[0].Insert(9);
  EXPECT_EQ(print(diff), "File need to update :\nPartID Start Length\n"
                         "\tb.dat\n\t\t9\t?\t?\n\t?\n\t\t0\t?\t?\n");
}

}  // namespace
}  // namespace brelvane
