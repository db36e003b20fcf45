// SPDX-License-Identifier: MIT
#include "catalogue/document_bounds.h"

namespace brelvane {
namespace {

constexpr std::string_view kCommentOpening = "!--";
constexpr std::string_view kCDataOpening = "![CDATA[";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::string DescribeDocumentFault(DocumentFault fault, const DocumentBounds& bounds) {
  switch (fault) {
    case DocumentFault::kNone: return "no bound passed";
    case DocumentFault::kTooManyBytes:
      return "more than " + std::to_string(bounds.max_bytes) + " bytes of XML text";
    case DocumentFault::kTooManyNodes:
      return "more than " + std::to_string(bounds.max_nodes) + " elements and other nodes";
    case DocumentFault::kTooManyAttributes:
      return "more than " + std::to_string(bounds.max_attributes) + " attributes";
    case DocumentFault::kTooDeep:
      return "elements nested more than " + std::to_string(bounds.max_nesting) + " levels deep";
    case DocumentFault::kMarkupTooLong:
      return "a tag, comment or text longer than " + std::to_string(bounds.max_markup_bytes) +
             " bytes";
    case DocumentFault::kNulByte: return "a NUL byte in the XML text";
  }
  return "unknown fault";
}

bool DocumentScanner::Feed(std::string_view piece) {
  if (fault_ != DocumentFault::kNone) return false;
  // bytes_ never exceeds max_bytes, so the subtraction cannot wrap.
  if (piece.size() > bounds_.max_bytes - bytes_) return Fail(DocumentFault::kTooManyBytes);
  bytes_ += piece.size();
  for (const char c : piece) {
    if (!Step(c)) return false;
  }
  return true;
}

bool DocumentScanner::Fail(DocumentFault fault) {
  fault_ = fault;
  return false;
}

bool DocumentScanner::AddNode() {
  return ++nodes_ <= bounds_.max_nodes || Fail(DocumentFault::kTooManyNodes);
}

bool DocumentScanner::CloseMarkup() {
  markup_ = 0;
  state_ = State::kText;
  return AddNode();
}

bool DocumentScanner::Step(char c) {
  if (c == '\0') return Fail(DocumentFault::kNulByte);
  if (state_ == State::kText) {
    if (c == '<') {
      // A text run that held more than white space becomes a text node.
      if (markup_ > 0 && !AddNode()) return false;
      markup_ = 1;
      opening_.clear();
      state_ = State::kOpen;
    } else if ((markup_ > 0 || !IsBlank(c)) && ++markup_ > bounds_.max_markup_bytes) {
      return Fail(DocumentFault::kMarkupTooLong);
    }
    return true;
  }
  if (++markup_ > bounds_.max_markup_bytes) return Fail(DocumentFault::kMarkupTooLong);

  if (state_ == State::kOpen) {
    // Tell the construct from the characters after "<", as TinyXML does.
    opening_ += c;
    last_ = before_last_ = 0;
    if (opening_ == "/") {
      state_ = State::kEndTag;
      return true;
    }
    if (opening_ == "?") {
      state_ = State::kSpecial;
      return true;
    }
    if (opening_.front() == '!') {
      if (opening_ == kCommentOpening) {
        state_ = State::kComment;
        return true;
      }
      if (opening_ == kCDataOpening) {
        state_ = State::kCData;
        return true;
      }
      if (kCommentOpening.starts_with(opening_) || kCDataOpening.starts_with(opening_)) {
        return true;  // not known yet
      }
      state_ = State::kSpecial;
    } else {
      state_ = State::kStartTag;
      quote_ = 0;
    }
    // `c` is the construct's first character proper: scan it below.
  }

  switch (state_) {
    case State::kStartTag:
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
        return true;
      }
      if (c == '"' || c == '\'') {
        quote_ = c;
      } else if (c == '=') {
        if (++attributes_ > bounds_.max_attributes) return Fail(DocumentFault::kTooManyAttributes);
      } else if (c == '>') {
        const bool empty_element = last_ == '/';
        if (!CloseMarkup()) return false;
        if (!empty_element && ++depth_ > bounds_.max_nesting) return Fail(DocumentFault::kTooDeep);
        return true;
      }
      last_ = c;
      return true;
    case State::kEndTag:
      if (c == '>') {
        if (depth_ > 0) --depth_;
        markup_ = 0;
        state_ = State::kText;
      }
      return true;
    case State::kComment:
    case State::kCData: {
      const char closing = state_ == State::kComment ? '-' : ']';
      if (c == '>' && last_ == closing && before_last_ == closing) return CloseMarkup();
      before_last_ = last_;
      last_ = c;
      return true;
    }
    case State::kSpecial:
      if (c == '>') return CloseMarkup();
      return true;
    case State::kText:
    case State::kOpen:
      break;
  }
  return true;
}

DocumentFault CheckDocument(std::string_view text, const DocumentBounds& bounds) {
  // A text too long as a whole is refused without scanning it.
  if (text.size() > bounds.max_bytes) return DocumentFault::kTooManyBytes;
  DocumentScanner scanner(bounds);
  (void)scanner.Feed(text);
  return scanner.fault();
}

}  // namespace brelvane
