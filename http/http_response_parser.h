// SPDX-License-Identifier: MIT
// HttpResponseParser reads the header of one HTTP response, fed in pieces of
// any size, and stops at the first byte of the body.
//
// Lines end at a line feed; a trailing carriage return is dropped before a
// line is looked at.  The header ends at the first empty line or line that
// starts with a carriage return.  From the lines it takes:
//   - the status: the three characters after the first space of the first
//     line;
//   - "Content-Length:" anywhere in a line: the decimal number that starts 16
//     characters after the name (one separator character is expected);
//   - "Connection:": close_connection when the text from 12 characters after
//     the name, trimmed of spaces, tabs and carriage returns, is "close";
//   - "Location:": the text from 10 characters after the name to the end of
//     the line, untrimmed;
//   - "Content-Range:": the first byte of a "bytes FIRST-LAST/TOTAL" value.
// Names are matched case-sensitively and a line may carry several.  Header
// folding is not recognised: a continuation line is a line of its own.
//
// Hard limits (a response beyond any of them puts the parser in kError): the
// whole header, up to and including the line that ends it, at most
// kMaxHeaderBytes; one line at most kMaxLineBytes; at most kMaxLines lines.
//
// Thread safety: one parser is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "http/http_types.h"

namespace brelvane {

class HttpResponseParser {
 public:
  static constexpr size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr size_t kMaxLineBytes = 16 * 1024;
  static constexpr size_t kMaxLines = 512;

  enum class State {
    kStatusLine,   // collecting the first line; next kHeaderLine (or kComplete)
    kHeaderLine,   // collecting a header line; next kHeaderLine or kComplete
    kComplete,     // the ending line has been read; Feed consumes nothing more
    kError,        // a limit was broken; Feed consumes nothing more
  };

  enum class Error { kNone, kHeaderTooLarge, kLineTooLong, kTooManyLines };

  HttpResponseParser() { Reset(); }

  void Reset();

  // Consumes bytes up to and including the end of the header and returns how
  // many it took; the rest of `data` is the start of the body.  Once the
  // state is kComplete or kError, consumes nothing.
  size_t Feed(const char* data, size_t length);

  State state() const { return state_; }
  Error error() const { return error_; }
  bool complete() const { return state_ == State::kComplete; }

  const HttpResponseInfo& info() const { return info_; }
  // The raw header bytes read so far (the whole header once complete).
  const std::string& header_text() const { return header_text_; }

  bool has_content_range() const { return has_content_range_; }
  uint64_t content_range_first() const { return content_range_first_; }

 private:
  // Handles one complete line (without its line feed).  Returns false when
  // it ends the header.
  bool TakeLine(std::string& line);
  void TakeHeaderLine(const std::string& line);
  void Fail(Error error);

  State state_ = State::kStatusLine;
  Error error_ = Error::kNone;
  HttpResponseInfo info_;
  std::string header_text_;
  std::string line_;  // the line being collected, without its line feed
  size_t lines_ = 0;
  bool has_content_range_ = false;
  uint64_t content_range_first_ = 0;
};

}  // namespace brelvane
