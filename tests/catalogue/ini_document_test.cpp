// SPDX-License-Identifier: MIT
#include "catalogue/ini_document.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "catalogue/catalogue_test_util.h"

namespace brelvane {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::string Value(const IniDocument& doc, const std::string& section, const std::string& key) {
  std::string value;
  return doc.Get(section, key, &value) ? value : "<missing>";
}

TEST(IniDocumentTest, TrimsLinesKeysAndValues) {
  IniDocument doc;
  ASSERT_TRUE(doc.Parse(" \t[ Main ]\t\r\n  key one  =  a value = with equals \r\n"));
  EXPECT_EQ(Value(doc, "Main", "key one"), "a value = with equals");
}

TEST(IniDocumentTest, SkipsEmptyAndCommentLines) {
  IniDocument doc;
  ASSERT_TRUE(doc.Parse("\n# comment = not a key\n   \n  # indented comment\n[S]\nk=v\n"));
  EXPECT_EQ(doc.sections().size(), 1u);
  EXPECT_EQ(Value(doc, "S", "k"), "v");
}

TEST(IniDocumentTest, KeysBeforeAnyHeaderGoToTheUnnamedSection) {
  IniDocument doc;
  ASSERT_TRUE(doc.Parse("a/b.txt = 1\nc =\n[S]\nd = 2\n"));
  EXPECT_EQ(Value(doc, "", "a/b.txt"), "1");
  EXPECT_EQ(Value(doc, "", "c"), "");
  EXPECT_TRUE(doc.HasKey("", "c"));
  EXPECT_FALSE(doc.HasKey("", "d"));
}

TEST(IniDocumentTest, ReopenedSectionContinuesAndLaterValuesWin) {
  IniDocument doc;
  ASSERT_TRUE(doc.Parse("[A]\nx = 1\n[B]\ny = 2\n[A]\nz = 3\nx = 4\n"));
  EXPECT_EQ(Value(doc, "A", "x"), "4");
  EXPECT_EQ(Value(doc, "A", "z"), "3");
  EXPECT_EQ(Value(doc, "B", "y"), "2");
}

TEST(IniDocumentTest, NamesAndKeysAreCaseSensitive) {
  IniDocument doc;
  ASSERT_TRUE(doc.Parse("[Global]\nKey = 1\n"));
  EXPECT_FALSE(doc.HasKey("global", "Key"));
  EXPECT_FALSE(doc.HasKey("Global", "key"));
  EXPECT_TRUE(doc.HasKey("Global", "Key"));
}

TEST(IniDocumentTest, LineWithoutDelimiterStopsWithItsNumber) {
  IniDocument doc;
  EXPECT_FALSE(doc.Parse("[S]\nk = v\n\n  key value  \nlater = 1\n"));
  EXPECT_EQ(doc.error_text(), "Parse Error.");
  EXPECT_EQ(doc.error_line(), "key value");
  EXPECT_EQ(doc.error_line_number(), 4u);
  std::ostringstream out;
  doc.PrintError(out);
  EXPECT_EQ(out.str(), "Parse Error.\nAt line 4\nError Line: key value\n");
}

TEST(IniDocumentTest, UnclosedHeaderNeedsADelimiter) {
  IniDocument doc;
  EXPECT_FALSE(doc.Parse("[Open\n"));
  EXPECT_EQ(doc.error_line_number(), 1u);
  ASSERT_TRUE(doc.Parse("[Open = x\n"));
  EXPECT_EQ(Value(doc, "", "[Open"), "x");
}

TEST(IniDocumentTest, OtherDelimiter) {
  IniDocument doc(':');
  ASSERT_TRUE(doc.Parse("[S]\nk: v=w\n"));
  EXPECT_EQ(Value(doc, "S", "k"), "v=w");
  EXPECT_EQ(doc.Print(), "[S]\nk : v=w\n\n");
}

TEST(IniDocumentTest, MissingFileReportsThePath) {
  TempDir dir;
  IniDocument doc;
  EXPECT_FALSE(doc.Load(dir.Path("nothing.ini")));
  EXPECT_EQ(doc.error_text(), "Cannot Open File.");
  EXPECT_EQ(doc.error_line(), dir.Path("nothing.ini"));
  EXPECT_EQ(doc.error_line_number(), 0u);
}

TEST(IniDocumentTest, PrintsSectionsAndKeysInByteWiseOrder) {
  IniDocument doc;
  ASSERT_TRUE(doc.Set("b", "z", "1"));
  ASSERT_TRUE(doc.Set("b", "a", "2"));
  ASSERT_TRUE(doc.Set("B", "k", "3"));
  ASSERT_TRUE(doc.Set("10", "k", "4"));
  ASSERT_TRUE(doc.Set("9", "k", uint64_t{5}));
  EXPECT_EQ(doc.Print(),
            "[10]\nk = 4\n\n[9]\nk = 5\n\n[B]\nk = 3\n\n[b]\na = 2\nz = 1\n\n");
}

TEST(IniDocumentTest, SavedDocumentLoadsBackEqual) {
  TempDir dir;
  IniDocument doc;
  ASSERT_TRUE(doc.Set("", "loose key", "loose value"));
  ASSERT_TRUE(doc.Set("Section", "k", "v with  spaces"));
  ASSERT_TRUE(doc.Set("Section", "not a header", "[x]"));
  ASSERT_TRUE(doc.Save(dir.Path("doc.ini")));
  IniDocument back;
  ASSERT_TRUE(back.Load(dir.Path("doc.ini")));
  EXPECT_EQ(back.sections(), doc.sections());
  EXPECT_EQ(ReadBytes(dir.Path("doc.ini")), doc.Print());
}

TEST(IniDocumentTest, SetTrimsAndRefusesValuesThatCannotBeStored) {
  IniDocument doc;
  ASSERT_TRUE(doc.Set("S", "k", "  padded\t"));
  EXPECT_EQ(Value(doc, "S", "k"), "padded");
  EXPECT_FALSE(doc.Set("S", "k", "   "));
  EXPECT_FALSE(doc.Set("S", "k", ""));
  EXPECT_FALSE(doc.Set("S", "k", "two\nlines"));
  EXPECT_FALSE(doc.Set("S", "k", std::string("nul\0byte", 8)));
  EXPECT_EQ(Value(doc, "S", "k"), "padded");
}

TEST(IniDocumentTest, SetRefusesNamesThatWouldNotReadBack) {
  IniDocument doc;
  EXPECT_FALSE(doc.Set("S", "a=b", "v"));
  EXPECT_FALSE(doc.Set("S", "#k", "v"));
  EXPECT_FALSE(doc.Set("S", " k", "v"));
  EXPECT_FALSE(doc.Set("S", "k\n", "v"));
  EXPECT_FALSE(doc.Set(" S", "k", "v"));
  EXPECT_FALSE(doc.Set("S\nT", "k", "v"));
  EXPECT_TRUE(doc.sections().empty());
}

TEST(IniDocumentTest, TypedGets) {
  IniDocument doc;
  ASSERT_TRUE(doc.Parse("[S]\nt = 1\nf = 0\nword = true\nn = 18446744073709551615\nbad = 1x\n"));
  bool flag = false;
  EXPECT_TRUE(doc.Get("S", "t", &flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(doc.Get("S", "f", &flag));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(doc.Get("S", "word", &flag));
  EXPECT_FALSE(doc.Get("S", "missing", &flag));
  uint64_t number = 0;
  EXPECT_TRUE(doc.Get("S", "n", &number));
  EXPECT_EQ(number, UINT64_MAX);
  EXPECT_FALSE(doc.Get("S", "bad", &number));
}

}  // namespace
}  // namespace brelvane
