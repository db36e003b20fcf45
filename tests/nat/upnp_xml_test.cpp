// SPDX-License-Identifier: MIT
#include "nat/upnp_xml.h"

#include <gtest/gtest.h>

namespace brelvane {
namespace {

// Every error code with its position, the error texts and the report.
TEST(UpnpXmlTest, ReportsEachErrorCodeWithItsPosition) {
  const std::tuple<const char*, int, int, int> cases[] = {  // text, code, line, column
      {"HTTP/1.1 200 OK\r\nX: y\r\n\r\n<?xml version=\"1.0\"?>\n<root><a/></root>", 0, 0, 0},
      {"<ROOT></Root>", 0, 0, 0},          {"<root><a><b></a></root>", 1, 1, 13},
      {"<root><a>", 1, 1, 10},             {"", 2, 1, 1},
      {" \r\n ", 2, 2, 2},                 {"text\n</a><root/>", 3, 2, 1},
      {"<root>< a></root>", 4, 1, 7},      {"<root></ ></root>", 5, 1, 7},
      {"<root a=\"1></root>", 6, 1, 9},    {"<root><a></b></root>", 7, 1, 10},
      {"<root =\"1\"></root>", 8, 1, 7},   {"<root><!-- no end</root>", 9, 1, 7},
      {"plain text only", 10, 1, 16},      {"<a/><b><root/></b>", 12, 0, 0},
      {"<root/>trailing < junk", 0, 0, 0}};
  for (const auto& [text, code, line, column] : cases) {
    XmlDocument doc;
    EXPECT_EQ(doc.Parse(text, "root"), code) << text;
    EXPECT_EQ(std::tuple(doc.root().empty(), doc.line(), doc.column()),
              std::tuple(code > 1, line, column)) << text;
  }
  for (const auto& [code, text] : {std::pair{0, "No error"}, {1, "Warning: Unmatched end tag"},
                                   {7, "Error: Unmatched end tag"}, {11, "Error: File not found"},
                                   {12, "Error: First Tag not found"}, {13, "Unknown"}, {-1, "Unknown"}})
    EXPECT_STREQ(XmlErrorText(code), text);
  XmlDocument doc;
  doc.Parse("<root>\n  <a x='1></root>", "root");
  EXPECT_EQ(
      doc.ErrorReport("http://10.0.0.1/d.xml"),
      "XML Parsing error inside file 'http://10.0.0.1/d.xml'.\nError: Error: Unmatched quote\n"
      "At line 2, column 8.\nTag is 'root'.\n");
}

TEST(UpnpXmlTest, FindsChildrenByNameIgnoringCaseAndPrefixAndDecodesEntities) {
  XmlDocument doc;
  ASSERT_EQ(doc.Parse("<s:Envelope><s:Body><u:R><x>1</x><X>2</X><y/><x>3</x></u:R></s:Body>"
                      "</s:Envelope>", "s:envelope"), 0);
  XmlElement r = doc.root().Child("Body").Child("r");
  EXPECT_EQ(std::string(r.name()) + r.Child("x", 1).Text() + r.Child("x", 2).Text(), "u:R23");
  EXPECT_EQ(r.ChildCount("x"), 3);
  EXPECT_TRUE(r.Child("x", 3).empty() && r.Child("missing").Child("x").empty());
  EXPECT_EQ(r.Child("missing").Text(), "");
  XmlDocument prefixed;  // a wanted name with a prefix must match it whole
  EXPECT_EQ(prefixed.Parse("<Envelope/>", "s:Envelope"), kXmlFirstTagNotFound);
  // The five entities are decoded, others reported.
  ASSERT_EQ(doc.Parse("<root> <a>&lt;x&gt; &amp; &quot;&apos;</a><b>1&nbsp;2&#38;</b>"
                      "<c>a<![CDATA[&lt;<raw>]]>b<!-- c --></c></root>", "root"), 0);
  std::string warning = "stale";
  EXPECT_EQ(doc.root().Child("a").Text(&warning), "<x> & \"'");
  EXPECT_EQ(warning, "");
  EXPECT_EQ(doc.root().Child("b").Text(&warning), "1&nbsp;2&#38;");
  EXPECT_EQ(warning, "unknown escape character: '&nbsp;'");
  EXPECT_EQ(doc.root().Child("c").Text(), "a&lt;<raw>b");
}

TEST(UpnpXmlTest, BoundsDepthElementsAndInput) {
  XmlDocument doc;
  std::string deep;
  for (int i = 0; i < XmlDocument::kMaxDepth + 1; ++i) deep += "<a>";
  EXPECT_EQ(doc.Parse("<root>" + deep, "root"), kXmlInvalidTag);
  std::string many = "<root>";
  for (size_t i = 0; i < XmlDocument::kMaxElements + 1; ++i) many += "<a/>";
  EXPECT_EQ(doc.Parse(many + "</root>", "root"), kXmlInvalidTag);
  // A root that starts within the first 100 KiB is kept, cut; one after is never seen.
  std::string padding(XmlDocument::kMaxInputBytes, ' ');
  std::string big = "<root><a>x</a>" + padding + "<b>y</b></root>";
  EXPECT_EQ(doc.Parse(big, "root"), kXmlUnmatchedEndTagWarning);
  EXPECT_EQ(doc.root().Child("a").Text(), "x");
  EXPECT_TRUE(doc.root().Child("b").empty());
  EXPECT_EQ(doc.Parse(padding + "<root/>", "root"), kXmlNoData);
}

}  // namespace
}  // namespace brelvane
