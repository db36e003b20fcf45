// SPDX-License-Identifier: MIT
#include "catalogue/document_bounds.h"

#include <gtest/gtest.h>

#include <string>

namespace brelvane {
namespace {

constexpr DocumentBounds kSmall{.max_bytes = 128,
                                .max_nodes = 4,
                                .max_attributes = 3,
                                .max_nesting = 2,
                                .max_markup_bytes = 24};

// Each bound just reached passes; one more is refused.  Documents that inflate
// past the byte bound (file-list bombs, an endless torrent) are refused in
// bounded memory by the updater and the release tool:
// integration.bounded_documents_test.
TEST(DocumentScannerTest, EachBoundHoldsAtItsLimit) {
  const struct {
    const char* what;
    std::string text;
    DocumentFault fault;
  } rows[] = {
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
  for (const auto& row : rows) {
    EXPECT_EQ(CheckDocument(row.text, kSmall), row.fault) << row.what;
    // The same verdict when the text arrives a byte at a time.
    DocumentScanner scanner(kSmall);
    for (const char c : row.text) {
      if (!scanner.Feed(std::string_view(&c, 1))) break;
    }
    EXPECT_EQ(scanner.fault(), row.fault) << row.what << ", fed by bytes";
  }
}

}  // namespace
}  // namespace brelvane
