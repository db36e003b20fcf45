// SPDX-License-Identifier: MIT
// Size bounds on the two release documents, and the streaming scanner that
// enforces them before any text is kept or parsed.
//
// The documents arrive from outside (a mirror, a stored seed), and TinyXML
// builds a DOM of roughly ten times the text (about 220 bytes per element
// and 150 per attribute), recursing once per nesting level.  A few hundred
// KiB of gzip can expand to gigabytes of white space, nesting or one
// endless attribute.  So every document is scanned first, a block at a
// time, and refused as soon as it passes one of these bounds:
//
//   bytes       the XML text (after gzip inflation for the file list);
//   nodes       elements, text runs, comments, CDATA and declarations;
//   attributes  name="value" pairs in start tags;
//   nesting     depth of open elements (TinyXML parses and frees
//               recursively);
//   markup      the longest single tag, comment, declaration or
//               non-blank text run (a huge attribute, a huge comment).
//
// kFileListBounds fits the biggest real release with room to spare: a part
// line is about 95 bytes and a file line about 140, so 64 MiB holds some
// 700,000 parts (about 43 GiB of release in 64 KiB parts, 340 GiB in 512
// KiB parts) or 400,000 one-part files.  A document inside the bounds costs
// at most what the largest real list costs; one outside them costs only the
// scanner's few bytes and one inflation block.  kTorrentBounds fits a
// torrent whose seed has a few thousand parts and any sensible number of
// mirrors and trackers.
//
// Thread safety: DocumentScanner is confined to one thread; the functions
// are pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brelvane {

struct DocumentBounds {
  uint64_t max_bytes;
  uint64_t max_nodes;
  uint64_t max_attributes;
  uint32_t max_nesting;
  uint32_t max_markup_bytes;
};

inline constexpr DocumentBounds kFileListBounds{
    .max_bytes = uint64_t{64} << 20,
    .max_nodes = uint64_t{1} << 20,
    .max_attributes = uint64_t{4} << 20,
    .max_nesting = 64,
    .max_markup_bytes = 64 * 1024,
};

inline constexpr DocumentBounds kTorrentBounds{
    .max_bytes = uint64_t{1} << 20,
    .max_nodes = uint64_t{64} << 10,
    .max_attributes = uint64_t{256} << 10,
    .max_nesting = 64,
    .max_markup_bytes = 64 * 1024,
};

// Why a document was refused before parsing.
enum class DocumentFault {
  kNone,
  kTooManyBytes,
  kTooManyNodes,
  kTooManyAttributes,
  kTooDeep,
  kMarkupTooLong,
  kNulByte,
};

// "more than 67108864 bytes of XML text", ... for the logs and the tool.
std::string DescribeDocumentFault(DocumentFault fault, const DocumentBounds& bounds);

// Counts what TinyXML would build from a text fed to it in pieces.  The
// scan is lexical only: malformed XML is left for the parser to refuse,
// but no arrangement of bytes makes the counts wrong by more than the
// parser's own view of one tag.
class DocumentScanner {
 public:
  explicit DocumentScanner(const DocumentBounds& bounds) : bounds_(bounds) {}

  // Scans the next piece.  False, with fault() set, as soon as a bound is
  // passed; later calls then do nothing and return false.
  [[nodiscard]] bool Feed(std::string_view piece);

  DocumentFault fault() const { return fault_; }
  uint64_t bytes() const { return bytes_; }
  uint64_t nodes() const { return nodes_; }

 private:
  enum class State { kText, kOpen, kStartTag, kEndTag, kComment, kCData, kSpecial };

  bool Step(char c);
  bool Fail(DocumentFault fault);
  bool CloseMarkup();
  bool AddNode();

  DocumentBounds bounds_;
  DocumentFault fault_ = DocumentFault::kNone;
  State state_ = State::kText;
  uint64_t bytes_ = 0;
  uint64_t nodes_ = 0;
  uint64_t attributes_ = 0;
  uint32_t depth_ = 0;
  uint32_t markup_ = 0;     // length of the construct or text run in progress
  std::string opening_;     // characters after "<" until the construct is known
  char quote_ = 0;          // open quote inside a start tag
  char last_ = 0;           // previous character outside quotes
  char before_last_ = 0;
};

// Scans a whole text at once (one longer than max_bytes is refused unscanned).
DocumentFault CheckDocument(std::string_view text, const DocumentBounds& bounds);

}  // namespace brelvane
