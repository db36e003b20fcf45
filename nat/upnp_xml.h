// SPDX-License-Identifier: MIT
// A small, forgiving XML element reader for the answers of UPnP gateways.
//
// Gateway answers arrive as whole HTTP responses: a status line and headers,
// then an XML body.  XmlDocument parses such a text into a tree of elements
// and hands back, as its root, the first top-level element with a given name.
// Text that is not markup (the HTTP head, text between top-level elements) is
// passed over; declarations (<?xml ...?>), comments and DOCTYPE are skipped,
// so elements that follow a declaration count as top level.  Element names
// are compared without regard to case; a wanted name without a prefix also
// matches an element's local name ("Body" finds "s:Body").  Attributes are
// checked for form and dropped: nothing of the gateway protocol needs them.
//
// Errors carry the codes of XmlErrorText().  Code 1 is a warning (an end tag
// closed elements left open inside it, or the text ended inside elements):
// the root is still returned.  Any higher code leaves the root empty.  After
// the wanted root element closes, the rest of the text is ignored.
//
// Bounds: only the first kMaxInputBytes of the text are read; nesting deeper
// than kMaxDepth or more than kMaxElements elements end the parse with code 9,
// so hostile text costs memory proportional to at most 100 KiB of input.
//
// Thread safety: a parsed document is immutable; its const methods and its
// elements may be used from several threads.  XmlElement handles borrow the
// document: it must outlive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brelvane {

enum XmlError : int {
  kXmlNoError = 0,
  kXmlUnmatchedEndTagWarning = 1,
  kXmlNoData = 2,
  kXmlFirstTokenNotStartTag = 3,
  kXmlMissingStartTagName = 4,
  kXmlMissingEndTagName = 5,
  kXmlUnmatchedQuote = 6,
  kXmlUnmatchedEndTag = 7,
  kXmlUnexpectedToken = 8,
  kXmlInvalidTag = 9,
  kXmlNoElements = 10,
  kXmlFileNotFound = 11,
  kXmlFirstTagNotFound = 12,
};

// "No error", "Warning: Unmatched end tag", ... "Error: First Tag not found";
// "Unknown" for any other code.
const char* XmlErrorText(int code);

class XmlDocument;

// A borrowed handle on one element of a parsed document; empty when a lookup
// found nothing (every lookup on an empty handle answers empty again).
class XmlElement {
 public:
  XmlElement() = default;

  bool empty() const { return doc_ == nullptr; }
  std::string_view name() const;

  // The first child element named `name`, or empty.
  XmlElement Child(std::string_view name) const { return Child(name, 0); }
  // The n-th (0-based) child element named `name`, or empty.
  XmlElement Child(std::string_view name, int n) const;
  int ChildCount(std::string_view name) const;

  // The element's own text (not that of its children), joined, with the five
  // predefined entities decoded and surrounding white space trimmed.  Any
  // other entity is kept as written and, when `warning` is given, reported
  // there as "unknown escape character: '&name;'".
  std::string Text(std::string* warning = nullptr) const;

 private:
  friend class XmlDocument;
  XmlElement(const XmlDocument* doc, int index) : doc_(doc), index_(index) {}

  const XmlDocument* doc_ = nullptr;
  int index_ = -1;
};

class XmlDocument {
 public:
  static constexpr size_t kMaxInputBytes = 102400;
  static constexpr int kMaxDepth = 64;
  static constexpr size_t kMaxElements = 4096;

  XmlDocument() = default;
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Parses `text` (a copy of its first kMaxInputBytes is kept) and looks for
  // the top-level element `root_name`.  Returns error(): 0 or 1 when the root
  // was found, a higher code otherwise.  A document may be parsed again.
  int Parse(std::string_view text, std::string_view root_name);

  XmlElement root() const { return root_; }
  int error() const { return error_; }
  // Where the error was found, 1-based (0 when there was none).
  int line() const { return line_; }
  int column() const { return column_; }

  // "XML Parsing error inside file '<source>'.\nError: <text>\nAt line <l>,
  // column <c>.\nTag is '<root name>'.\n"
  std::string ErrorReport(std::string_view source) const;

 private:
  friend class XmlElement;

  struct Node {
    uint32_t name_at = 0;
    uint32_t name_length = 0;
    int first_child = -1;
    int last_child = -1;
    int next_sibling = -1;
    int first_text = -1;
    int last_text = -1;
  };
  struct TextPiece {
    uint32_t at = 0;
    uint32_t length = 0;
    bool cdata = false;
    int next = -1;
  };
  class Parser;

  std::string_view NameOf(int index) const;

  std::string text_;
  std::string root_name_;
  std::vector<Node> nodes_;  // nodes_[0] holds the top-level elements
  std::vector<TextPiece> texts_;
  XmlElement root_;
  int error_ = kXmlNoError;
  int line_ = 0;
  int column_ = 0;
};

}  // namespace brelvane
