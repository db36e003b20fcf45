// SPDX-License-Identifier: MIT
#include "catalogue/ini_document.h"

#include <gtest/gtest.h>

#include <sstream>

#include "catalogue/catalogue_test_util.h"

namespace brelvane {
namespace {

using namespace testing;  // NOLINT: the catalogue test helpers

std::string Value(const IniDocument& doc, const std::string& section, const std::string& key) {
  std::string value;
  return doc.Get(section, key, &value) ? value : "<missing>";
}

TEST(IniDocumentTest, ParsesSectionsKeysAndValues) {
  const struct { const char* text; std::vector<std::array<const char*, 3>> keys; } cases[] = {  // "<missing>"
      {" \t[ Main ]\t\r\n  key one  =  a value = with equals \r\n",
       {{"Main", "key one", "a value = with equals"}}},  // lines, keys and values are trimmed
      {"\n# comment = not a key\n   \n  # indented\n[S]\nk=v\n",
       {{"S", "k", "v"}, {"", "# comment", "<missing>"}}},
      {"a/b.txt = 1\nc =\n[S]\nd = 2\n", {{"", "a/b.txt", "1"}, {"", "c", ""}, {"", "d", "<missing>"}}},
      {"[A]\nx = 1\n[B]\ny = 2\n[A]\nz = 3\nx = 4\n",  // later values win; a section reopens
       {{"A", "x", "4"}, {"A", "z", "3"}, {"B", "y", "2"}}},
      {"[Global]\nKey = 1\n", {{"global", "Key", "<missing>"}, {"Global", "key", "<missing>"}}},  // by case
      {"[Open = x\n", {{"", "[Open", "x"}}},  // an unclosed header is a key
  };
  for (const auto& c : cases) {
    IniDocument doc;
    ASSERT_TRUE(doc.Parse(c.text)) << c.text;
    for (const auto& [section, key, value] : c.keys) {
      EXPECT_EQ(Value(doc, section, key), value) << c.text;
      EXPECT_EQ(doc.HasKey(section, key), std::string(value) != "<missing>") << c.text;
    }
  }
  IniDocument doc;
  ASSERT_TRUE(doc.Parse("\n# comment = not a key\n[S]\nk=v\n"));
  EXPECT_EQ(doc.sections().size(), 1u);
}

TEST(IniDocumentTest, ParseAndLoadErrorsNameTheLine) {
  IniDocument doc;
  EXPECT_FALSE(doc.Parse("[S]\nk = v\n\n  key value  \nlater = 1\n"));
  EXPECT_EQ(std::tuple(doc.error_text(), doc.error_line(), doc.error_line_number()),
            std::tuple("Parse Error.", "key value", 4u));
  std::ostringstream out;
  doc.PrintError(out);
  EXPECT_EQ(out.str(), "Parse Error.\nAt line 4\nError Line: key value\n");
  EXPECT_FALSE(doc.Parse("[Open\n"));  // an unclosed header needs a delimiter
  EXPECT_EQ(doc.error_line_number(), 1u);
  TempDir dir;
  EXPECT_FALSE(doc.Load(dir.File("nothing.ini")));
  EXPECT_EQ(std::tuple(doc.error_text(), doc.error_line(), doc.error_line_number()),
            std::tuple("Cannot Open File.", dir.File("nothing.ini"), 0u));
}

TEST(IniDocumentTest, PrintsInByteWiseOrderAndSavesWhatLoadsBackEqual) {
  IniDocument doc;
  ASSERT_TRUE(doc.Set("b", "z", "1") && doc.Set("b", "a", "2") && doc.Set("B", "k", "3") &&
              doc.Set("10", "k", "4") && doc.Set("9", "k", uint64_t{5}));
  EXPECT_EQ(doc.Print(), "[10]\nk = 4\n\n[9]\nk = 5\n\n[B]\nk = 3\n\n[b]\na = 2\nz = 1\n\n");
  ASSERT_TRUE(doc.Set("", "loose key", "loose value") && doc.Set("S", "not a header", "[x]  with  spaces"));
  TempDir dir;
  ASSERT_TRUE(doc.Save(dir.File("doc.ini")));
  IniDocument back;
  ASSERT_TRUE(back.Load(dir.File("doc.ini")));
  EXPECT_EQ(back.sections(), doc.sections());
  EXPECT_EQ(ReadBytes(dir.File("doc.ini")), doc.Print());
  IniDocument colon(':');
  ASSERT_TRUE(colon.Parse("[S]\nk: v=w\n"));
  EXPECT_EQ(Value(colon, "S", "k"), "v=w");
  EXPECT_EQ(colon.Print(), "[S]\nk : v=w\n\n");
}

TEST(IniDocumentTest, SetTrimsAndRefusesWhatWouldNotReadBack) {
  IniDocument doc;
  ASSERT_TRUE(doc.Set("S", "k", "  padded\t"));
  EXPECT_EQ(Value(doc, "S", "k"), "padded");
  const std::string bad[][3] = {
      {"S", "k", "   "},  {"S", "k", ""},   {"S", "k", "two\nlines"}, {"S", "k", {"nul\0b", 5}},
      {"S", "a=b", "v"},  {"S", "#k", "v"}, {"S", " k", "v"},         {"S", "k\n", "v"},
      {" S", "k", "v"},   {"S\nT", "k", "v"}};
  for (const auto& [section, key, value] : bad)
    EXPECT_FALSE(doc.Set(section, key, value)) << section << "/" << key << "=" << value;
  EXPECT_EQ(doc.sections().size(), 1u);
  EXPECT_EQ(Value(doc, "S", "k"), "padded");
}

// Numbers are plain decimal; flags (0 or 1): DownloadInfoTest.
TEST(IniDocumentTest, NumbersReadWhole) {
  IniDocument doc;
  ASSERT_TRUE(doc.Parse("[S]\nn = 18446744073709551615\nbad = 1x\n"));
  uint64_t number = 0;
  EXPECT_TRUE(doc.Get("S", "n", &number) && number == UINT64_MAX && !doc.Get("S", "bad", &number));
}

}  // namespace
}  // namespace brelvane
