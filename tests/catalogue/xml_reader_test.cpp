// SPDX-License-Identifier: MIT
// The XML reader, and the bounds every document is scanned against first.
#include "catalogue/xml_reader.h"

#include <gtest/gtest.h>

#include "catalogue/document_bounds.h"

namespace brelvane {
namespace {

// The events of a whole text: "<name a=value>" per start with the attributes
// asked for, "/name" per end, "!" on an error.
std::string Trace(std::string_view text) {
  XmlReader reader(text);
  for (std::string trace;;) {
    switch (reader.Next()) {
      case XmlReader::Event::kStart:
        trace += "<" + std::string(reader.name());
        for (const char* key : {"a", "n"})
          if (const char* value = reader.Attribute(key)) trace += std::string(" ") + key + "=" + value;
        trace += ">";
        break;
      case XmlReader::Event::kEnd: trace += "/" + std::string(reader.name()); break;
      case XmlReader::Event::kDone: return trace;
      case XmlReader::Event::kError: return trace + "!";
    }
  }
}

TEST(XmlReaderTest, ReadsElementsAndRefusesMalformedText) {
  const struct { std::string_view text, trace; } kCases[] = {
      {"<R a=\"1\" n='x y'><E/>\n<E a=\"2\" ></E ></R>\n", "<R a=1 n=x y><E>/E<E a=2>/E/R"},
      {"<!DOCTYPE d><R><!-- <x> --><![CDATA[</R>]]><?pi <y>?>text &x; </R><!-- end -->", "<R>/R"},
      {"<A/> <R/>", "<A>/A<R>/R"},
      {"<R n=\"&amp;&lt;&gt;&quot;&apos;&bogus;&\"/>", "<R n=&<>\"'&bogus;&>/R"},
      // Character references: one byte without a UTF-8 declaration, UTF-8 with one.
      {"<R n=\"&#65;&#xE9;\"/>", "<R n=A\xE9>/R"},
      {"<?xml version=\"1.0\"?><R n=\"&#xE9;\"/>", "<R n=\xC3\xA9>/R"},
      {"\xEF\xBB\xBF<R n=\"&#x10348;\"/>", "<R n=\xF0\x90\x8D\x88>/R"},
      {"<?xml version='1.0' encoding='latin1'?><R n=\"&#x100;\"/>", "!"},
      {"<R n=\"&#xG;\"/>", "!"}, {"<R n=\"&#12\"/>", "!"},
      // Structure.
      {"", "!"}, {"  \n", "!"}, {"x<R/>", "!"}, {"<R/>x", "<R>/R!"}, {"<R>", "<R>!"}, {"<R></S>", "<R>!"},
      {"<R><E></R>", "<R><E>!"}, {"<R a=\"1\" a=\"2\"/>", "!"}, {"<R a=1/>", "!"}, {"<R a=\"1/>", "!"},
      {"<R/ >", "!"}, {"< R/>", "!"}, {"<R><!-- open", "<R>!"}, {"<R><![CDATA[ open", "<R>!"},
      {"<?xml open", "!"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(Trace(c.text), c.trace);
  }
}

constexpr DocumentBounds kSmall{
    .max_bytes = 128, .max_nodes = 4, .max_attributes = 3, .max_nesting = 2, .max_markup_bytes = 24};

// Each bound just reached passes; one more is refused.  Documents that inflate
// past the byte bound (file-list bombs, an endless torrent) are refused in
// bounded memory by the updater and the release tool:
// integration.bounded_documents_test.
TEST(DocumentScannerTest, EachBoundHoldsAtItsLimit) {
  using enum DocumentFault;
  const struct { const char* what; std::string text; DocumentFault fault; } rows[] = {
      {"bytes at the bound", std::string(128, ' '), kNone}, {"over", std::string(129, ' '), kTooManyBytes},
      {"four nodes, text counted", "<a>x</a><a/><!-- c -->", kNone},
      {"five nodes", "<a>x</a><a/><!-- c --><?p?>", kTooManyNodes},
      {"three attributes", "<a b='1' c='2' d='3'/>", kNone}, {"quoted =", "<a b='=' c=\"==\"/>", kNone},
      {"four attributes", "<a b=1 c=2 d=3 e=4/>", kTooManyAttributes},
      {"two levels, empty third", "<a><b><c/></b></a>", kNone}, {"three", "<a><b><c></c></b></a>", kTooDeep},
      {"end tags close levels", "<a><b/></a><a><b></b></a>", kNone},
      {"quoted /> closes nothing", "<a x='/>'><b x=\"/\"></b></a>", kNone},
      {"tag of 24", "<a b=\"" + std::string(15, 'x') + "\"/>", kNone},
      {"tag of 25", "<a b=\"" + std::string(16, 'x') + "\"/>", kMarkupTooLong},
      {"comment of 25", "<!--" + std::string(18, '<') + "-->", kMarkupTooLong},
      {"markup in comment and CDATA", "<!--<a><a><a>--><![CDATA[<b><b><b>]]>", kNone},
      {"text of 24", std::string(24, 'x') + "<a/>", kNone},
      {"text of 25", std::string(25, 'x') + "<a/>", kMarkupTooLong},
      {"blank runs are free", "<a>" + std::string(100, ' ') + "</a>", kNone},
      {"NUL", std::string("<a>\0</a>", 8), kNulByte},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(CheckDocument(row.text, kSmall), row.fault) << row.what;
    // The same verdict when the text arrives a byte at a time.
    DocumentScanner scanner(kSmall);
    for (size_t i = 0; i < row.text.size() && scanner.Feed(std::string_view(row.text).substr(i, 1)); ++i) {}
    EXPECT_EQ(scanner.fault(), row.fault) << row.what << ", fed by bytes";
  }
}

}  // namespace
}  // namespace brelvane
