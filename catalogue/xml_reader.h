// SPDX-License-Identifier: MIT
// XmlReader walks an XML text element by element without building a tree,
// so that reading a document costs its text plus what the caller keeps.  A
// file list of a large release is megabytes of text; a DOM of it (TinyXML
// spends about 220 bytes per element and 150 per attribute) would take ten
// times that for a moment, which sets the peak memory of a whole update.
//
// What it reads: elements with attributes in single or double quotes; the
// five named entities and decimal or hexadecimal character references in
// attribute values; and it steps over text, comments, CDATA sections,
// processing instructions, the XML declaration and <!...> declarations.
// What it refuses, as kError: an unterminated construct, an end tag that
// does not match the open element, an element left open at the end, a
// duplicate or unquoted attribute, a malformed character reference, a text
// without any element.  Text content is not interpreted.
//
// Character references follow the document's encoding as TinyXML does: with
// a UTF-8 byte order mark or an XML declaration naming UTF-8 (or none) they
// become UTF-8; otherwise a reference below 256 is that byte, and a larger
// one is refused.  Values are cut at a NUL character, as C strings would.
//
// Thread safety: one reader is used by one thread; it only reads `text`,
// which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brelvane {

class XmlReader {
 public:
  enum class Event {
    kStart,  // a start tag (or empty-element tag): name(), Attribute()
    kEnd,    // the element's end (also right after an empty-element tag)
    kDone,   // the text ended after a complete document
    kError,  // malformed; every later call answers kError too
  };

  explicit XmlReader(std::string_view text);

  Event Next();

  // The element just started or ended.
  std::string_view name() const { return name_; }
  // Open elements, counting the one just started (1 for the root); after
  // kEnd, the elements still open.
  size_t depth() const { return open_.size(); }
  // The decoded value of the started element's attribute, or null.
  const char* Attribute(std::string_view name) const;

 private:
  Event Fail();
  bool SkipPast(std::string_view terminator);
  bool ReadName(std::string_view* name);
  bool ReadStartTag();
  bool ReadEndTag();
  bool DecodeValue(std::string_view raw, std::string* value) const;
  bool AppendReference(std::string_view digits, bool hex, std::string* value) const;
  void NoteDeclaration(std::string_view body);

  struct AttributeEntry {
    std::string_view name;
    std::string value;
  };

  std::string_view text_;
  size_t at_ = 0;
  bool utf8_ = false;
  bool seen_element_ = false;
  bool pending_end_ = false;  // an empty-element tag owes its kEnd
  bool failed_ = false;
  std::string_view name_;
  std::vector<std::string_view> open_;
  std::vector<AttributeEntry> attributes_;
  size_t attribute_count_ = 0;  // entries of attributes_ in use (kept for reuse)
};

}  // namespace brelvane
