// SPDX-License-Identifier: MIT
#include "catalogue/xml_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace brelvane {
namespace {

// The events of a whole text: "<name a=value>" per start with the attributes
// asked for, "/name" per end, "!" on an error.
std::string Trace(std::string_view text) {
  XmlReader reader(text);
  std::string trace;
  for (;;) {
    switch (reader.Next()) {
      case XmlReader::Event::kStart:
        trace += "<" + std::string(reader.name());
        for (const char* key : {"a", "n"}) {
          if (const char* value = reader.Attribute(key)) trace += std::string(" ") + key + "=" + value;
        }
        trace += ">";
        break;
      case XmlReader::Event::kEnd:
        trace += "/" + std::string(reader.name());
        break;
      case XmlReader::Event::kDone:
        return trace;
      case XmlReader::Event::kError:
        return trace + "!";
    }
  }
}

TEST(XmlReaderTest, ReadsElementsAndRefusesMalformedText) {
  const struct {
    std::string_view text;
    std::string_view trace;
  } kCases[] = {
      {"<R a=\"1\" n='x y'><E/>\n<E a=\"2\" ></E ></R>\n", "<R a=1 n=x y><E>/E<E a=2>/E/R"},
      {"<!DOCTYPE d><R><!-- <x> --><![CDATA[</R>]]><?pi <y>?>text &x; </R><!-- end -->", "<R>/R"},
      {"<A/> <R/>", "<A>/A<R>/R"},
      {"<R n=\"&amp;&lt;&gt;&quot;&apos;&bogus;&\"/>", "<R n=&<>\"'&bogus;&>/R"},
      // Character references: one byte without a UTF-8 declaration, UTF-8 with one.
      {"<R n=\"&#65;&#xE9;\"/>", "<R n=A\xE9>/R"},
      {"<?xml version=\"1.0\"?><R n=\"&#xE9;\"/>", "<R n=\xC3\xA9>/R"},
      {"\xEF\xBB\xBF<R n=\"&#x10348;\"/>", "<R n=\xF0\x90\x8D\x88>/R"},
      {"<?xml version='1.0' encoding='latin1'?><R n=\"&#x100;\"/>", "!"},
      {"<R n=\"&#xG;\"/>", "!"},
      {"<R n=\"&#12\"/>", "!"},
      // Structure.
      {"", "!"},
      {"  \n", "!"},
      {"x<R/>", "!"},
      {"<R/>x", "<R>/R!"},
      {"<R>", "<R>!"},
      {"<R></S>", "<R>!"},
      {"<R><E></R>", "<R><E>!"},
      {"<R a=\"1\" a=\"2\"/>", "!"},
      {"<R a=1/>", "!"},
      {"<R a=\"1/>", "!"},
      {"<R/ >", "!"},
      {"< R/>", "!"},
      {"<R><!-- open", "<R>!"},
      {"<R><![CDATA[ open", "<R>!"},
      {"<?xml open", "!"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(Trace(c.text), c.trace);
  }
}

TEST(XmlReaderTest, ValuesStopAtANulAndDepthCountsOpenElements) {
  XmlReader reader(std::string_view("<R n=\"a&#0;b\"><E/></R>"));
  ASSERT_EQ(reader.Next(), XmlReader::Event::kStart);
  EXPECT_STREQ(reader.Attribute("n"), "a");
  EXPECT_EQ(reader.depth(), 1u);
  ASSERT_EQ(reader.Next(), XmlReader::Event::kStart);
  EXPECT_EQ(reader.depth(), 2u);
  EXPECT_EQ(reader.Attribute("n"), nullptr);
  ASSERT_EQ(reader.Next(), XmlReader::Event::kEnd);
  EXPECT_EQ(reader.depth(), 1u);
  ASSERT_EQ(reader.Next(), XmlReader::Event::kEnd);
  EXPECT_EQ(reader.Next(), XmlReader::Event::kDone);
  EXPECT_EQ(reader.Next(), XmlReader::Event::kDone);
}

}  // namespace
}  // namespace brelvane
