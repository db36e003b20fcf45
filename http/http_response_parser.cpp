// SPDX-License-Identifier: MIT
#include "http/http_response_parser.h"

#include <cstring>

namespace brelvane {
namespace {

// Reads a decimal number the way strtoul does on the 32-bit platforms the
// mirrors were first written for: leading blanks skipped, digits up to the
// first other character, no digits giving 0 and overflow giving all ones.
uint32_t ParseDecimalU32(const std::string& line, size_t pos) {
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  uint64_t value = 0;
  for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9'; ++pos) {
    value = value * 10 + static_cast<uint64_t>(line[pos] - '0');
    if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

// "bytes FIRST-LAST/TOTAL" (blanks allowed around "bytes"): FIRST.
bool ParseContentRangeFirst(const std::string& line, size_t pos, uint64_t* first) {
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (line.compare(pos, 5, "bytes") != 0) return false;
  pos += 5;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  uint64_t value = 0;
  size_t digits = 0;
  for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9'; ++pos, ++digits) {
    if (digits == 19) return false;  // would not fit 64 bits
    value = value * 10 + static_cast<uint64_t>(line[pos] - '0');
  }
  if (digits == 0 || pos >= line.size() || line[pos] != '-') return false;
  *first = value;
  return true;
}

std::string TextFrom(const std::string& line, size_t pos) {
  return pos < line.size() ? line.substr(pos) : std::string();
}

std::string TrimBlanks(const std::string& text) {
  const char* kBlanks = " \t\r";
  size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(kBlanks);
  return text.substr(begin, end - begin + 1);
}

}  // namespace

void HttpResponseParser::Reset() {
  state_ = State::kStatusLine;
  error_ = Error::kNone;
  info_ = HttpResponseInfo{};
  header_text_.clear();
  line_.clear();
  lines_ = 0;
  has_content_range_ = false;
  content_range_first_ = 0;
}

void HttpResponseParser::Fail(Error error) {
  state_ = State::kError;
  error_ = error;
}

size_t HttpResponseParser::Feed(const char* data, size_t length) {
  size_t used = 0;
  while (used < length && (state_ == State::kStatusLine || state_ == State::kHeaderLine)) {
    const char* start = data + used;
    size_t available = length - used;
    const char* lf = static_cast<const char*>(std::memchr(start, '\n', available));
    size_t take = lf != nullptr ? static_cast<size_t>(lf - start) + 1 : available;
    size_t line_bytes = lf != nullptr ? take - 1 : take;
    if (header_text_.size() + take > kMaxHeaderBytes) {
      Fail(Error::kHeaderTooLarge);
      break;
    }
    if (line_.size() + line_bytes > kMaxLineBytes) {
      Fail(Error::kLineTooLong);
      break;
    }
    header_text_.append(start, take);
    line_.append(start, line_bytes);
    used += take;
    if (lf == nullptr) break;
    if (++lines_ > kMaxLines) {
      Fail(Error::kTooManyLines);
      break;
    }
    if (!TakeLine(line_)) state_ = State::kComplete;
    line_.clear();
  }
  return used;
}

bool HttpResponseParser::TakeLine(std::string& line) {
  if (line.empty() || line[0] == '\r') return false;
  if (line.back() == '\r') line.pop_back();
  if (state_ == State::kStatusLine) {
    size_t space = line.find(' ');
    if (space != std::string::npos) info_.status = line.substr(space + 1, 3);
    state_ = State::kHeaderLine;
    return true;
  }
  TakeHeaderLine(line);
  return true;
}

void HttpResponseParser::TakeHeaderLine(const std::string& line) {
  size_t at = line.find("Content-Length:");
  if (at != std::string::npos) info_.content_length = ParseDecimalU32(line, at + 16);

  at = line.find("Connection:");
  if (at != std::string::npos && TrimBlanks(TextFrom(line, at + 12)) == "close") {
    info_.close_connection = true;
  }

  at = line.find("Location:");
  if (at != std::string::npos) info_.location = TextFrom(line, at + 10);

  at = line.find("Content-Range:");
  if (at != std::string::npos) {
    uint64_t first = 0;
    has_content_range_ = ParseContentRangeFirst(line, at + 14, &first);
    content_range_first_ = has_content_range_ ? first : 0;
  }
}

}  // namespace brelvane
