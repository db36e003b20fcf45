// SPDX-License-Identifier: MIT
// The response-header parser: every case is fed whole, split in two at every
// byte boundary, and one byte at a time, and must give the same answer.
#include "http/http_response_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brelvane {
namespace {

using State = HttpResponseParser::State;
using Error = HttpResponseParser::Error;

constexpr uint32_t kNone = kHttpNoContentLength;

struct ParseCase {
  const char* name;
  std::string input;   // header and possibly the start of a body
  State state;
  std::string status;
  uint32_t content_length;
  bool close;
  std::string location;
  std::string body;    // what follows the header (empty when incomplete)
  bool has_range = false;
  uint64_t range_first = 0;
};

const std::vector<ParseCase>& Cases() {
  static const std::vector<ParseCase> cases = {
      {"partial content",
       "HTTP/1.1 206 Partial Content\r\nContent-Length: 65536\r\n"
       "Content-Range: bytes 0-65535/100000\r\nConnection: Keep-Alive\r\n\r\nBODY",
       State::kComplete, "206", 65536, false, "", "BODY", true, 0},
      {"names are case-sensitive",
       "HTTP/1.1 200 OK\r\ncontent-length: 5\r\nconnection: close\r\nlocation: /x\r\n\r\n",
       State::kComplete, "200", kNone, false, "", ""},
      {"close with blanks around it", "HTTP/1.1 200 OK\r\nConnection: \t close \t\r\n\r\n",
       State::kComplete, "200", kNone, true, "", ""},
      {"close value is case-sensitive", "HTTP/1.1 200 OK\r\nConnection: Close\r\n\r\n",
       State::kComplete, "200", kNone, false, "", ""},
      {"value read at a fixed distance from the name",
       "HTTP/1.1 200 OK\r\nConnection:close\r\nContent-Length:12345\r\n\r\n", State::kComplete,
       "200", 2345, false, "", ""},
      {"blanks before the length", "HTTP/1.1 200 OK\r\nContent-Length:    77\r\n\r\n",
       State::kComplete, "200", 77, false, "", ""},
      {"overflowing length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n",
       State::kComplete, "200", 0xFFFFFFFFu, false, "", ""},
      {"length without digits", "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n",
       State::kComplete, "200", 0, false, "", ""},
      {"last length wins",
       "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nX-Content-Length: 20\r\n\r\n", State::kComplete,
       "200", 20, false, "", ""},
      {"location kept untrimmed",
       "HTTP/1.1 302 Found\r\nLocation:  /two-spaces \r\n\r\n", State::kComplete, "302", kNone,
       false, " /two-spaces ", ""},
      {"absolute location", "HTTP/1.1 301 Moved\r\nLocation: http://h:1/x\r\n\r\n<html>",
       State::kComplete, "301", kNone, false, "http://h:1/x", "<html>"},
      {"bare line feeds", "HTTP/1.0 302 Found\nLocation: http://a/b\n\nrest", State::kComplete,
       "302", kNone, false, "http://a/b", "rest"},
      {"header ends at a line starting with a carriage return",
       "HTTP/1.1 200 OK\r\nA: b\r\n\rjunk\nBODY", State::kComplete, "200", kNone, false, "",
       "BODY"},
      {"folded lines are lines of their own",
       "HTTP/1.1 301 Moved\r\nLocation:\r\n http://folded/\r\n\r\n", State::kComplete, "301",
       kNone, false, "", ""},
      {"short status", "HTTP/1.1 20\r\n\r\n", State::kComplete, "20", kNone, false, "", ""},
      {"status line without a space", "garbage\r\n\r\nx", State::kComplete, "", kNone, false, "",
       "x"},
      {"empty first line ends the header", "\r\nHTTP/1.1 200 OK\r\n\r\n", State::kComplete, "",
       kNone, false, "", "HTTP/1.1 200 OK\r\n\r\n"},
      {"names match anywhere in a line",
       "HTTP/1.1 302 Found\r\nContent-Location: /c\r\nProxy-Connection: close\r\n\r\n",
       State::kComplete, "302", kNone, true, "/c", ""},
      {"content range from the middle",
       "HTTP/1.1 206 Partial\r\nContent-Range: bytes 1048576-2097151/5000000\r\n"
       "Content-Length: 1048576\r\n\r\n",
       State::kComplete, "206", 1048576, false, "", "", true, 1048576},
      {"unsatisfied content range", "HTTP/1.1 416 Range\r\nContent-Range: bytes */5000\r\n\r\n",
       State::kComplete, "416", kNone, false, "", ""},
      {"incomplete header", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", State::kHeaderLine,
       "200", 5, false, "", ""},
      {"incomplete status line", "HTTP/1.1 200 O", State::kStatusLine, "", kNone, false, "", ""},
  };
  return cases;
}

struct Outcome {
  State state;
  size_t consumed;
  HttpResponseInfo info;
  std::string header_text;
  bool has_range;
  uint64_t range_first;
};

// Feeds `input` in the pieces that `cuts` (ascending positions) make.
Outcome FeedInPieces(const std::string& input, const std::vector<size_t>& cuts) {
  HttpResponseParser parser;
  size_t consumed = 0;
  size_t begin = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(input.size());
  for (size_t end : ends) {
    consumed += parser.Feed(input.data() + begin, end - begin);
    begin = end;
  }
  return {parser.state(), consumed, parser.info(), parser.header_text(),
          parser.has_content_range(), parser.content_range_first()};
}

void ExpectCase(const ParseCase& c, const Outcome& got) {
  size_t header_length = c.input.size() - c.body.size();
  EXPECT_EQ(got.state, c.state);
  EXPECT_EQ(got.consumed, header_length);
  EXPECT_EQ(got.header_text, c.input.substr(0, header_length));
  EXPECT_EQ(got.info.status, c.status);
  EXPECT_EQ(got.info.content_length, c.content_length);
  EXPECT_EQ(got.info.close_connection, c.close);
  EXPECT_EQ(got.info.location, c.location);
  EXPECT_EQ(got.has_range, c.has_range);
  EXPECT_EQ(got.range_first, c.range_first);
}

TEST(HttpResponseParserTest, ParsesEveryCaseFedWholeSplitAnywhereOrByteByByte) {
  for (const ParseCase& c : Cases()) {
    std::vector<std::vector<size_t>> splits = {{}, {}};  // whole; one byte at a time
    for (size_t i = 1; i < c.input.size(); ++i) splits[1].push_back(i);
    for (size_t cut = 0; cut <= c.input.size(); ++cut) splits.push_back({cut});
    for (const std::vector<size_t>& cuts : splits) {
      SCOPED_TRACE(std::string(c.name) + ", cuts: " + std::to_string(cuts.size()) + " from " +
                   std::to_string(cuts.empty() ? 0 : cuts[0]));
      ExpectCase(c, FeedInPieces(c.input, cuts));
    }
  }
}

TEST(HttpResponseParserTest, ConsumesNothingOnceComplete) {
  HttpResponseParser parser;
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  EXPECT_EQ(parser.Feed(head.data(), head.size()), head.size());
  EXPECT_EQ(parser.Feed("HTTP/1.1 404 X\r\n\r\n", 18), 0u);
  EXPECT_EQ(parser.info().status, "200");
  parser.Reset();
  EXPECT_EQ(parser.state(), State::kStatusLine);
  EXPECT_TRUE(parser.header_text().empty());
  EXPECT_EQ(parser.info().content_length, kNone);
}

// A header of exactly `total` bytes (total >= 2000): the status line, filler
// lines of 1000 to 1999 bytes, and the empty line.
std::string HeaderOfSize(size_t total) {
  std::string header = "HTTP/1.1 200 OK\r\n";
  auto add_line = [&header](size_t bytes) { header += "X: " + std::string(bytes - 5, 'v') + "\r\n"; };
  while (total - header.size() - 2 >= 2000) add_line(1000);
  add_line(total - header.size() - 2);
  return header + "\r\n";
}

TEST(HttpResponseParserTest, AcceptsAHeaderOfExactly64KiBAndRefusesMoreInAnyPieces) {
  for (const size_t size : {HttpResponseParser::kMaxHeaderBytes, HttpResponseParser::kMaxHeaderBytes + 1}) {
    const std::string header = HeaderOfSize(size);
    ASSERT_EQ(header.size(), size);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{512}, size_t{16384}, header.size()}) {
      SCOPED_TRACE(std::to_string(size) + " in pieces of " + std::to_string(piece));
      HttpResponseParser parser;
      for (size_t at = 0; at < header.size(); at += piece) {
        parser.Feed(header.data() + at, std::min(piece, header.size() - at));
      }
      const bool fits = size == HttpResponseParser::kMaxHeaderBytes;
      EXPECT_EQ(parser.state(), fits ? State::kComplete : State::kError);
      EXPECT_EQ(parser.error(), fits ? Error::kNone : Error::kHeaderTooLarge);
      EXPECT_LE(parser.header_text().size(), HttpResponseParser::kMaxHeaderBytes);
    }
  }
}

TEST(HttpResponseParserTest, RefusesAnOverlongLineAndTooManyLines) {
  const size_t limit = HttpResponseParser::kMaxLineBytes;
  auto header_with_lines = [](size_t lines) {
    std::string h = "HTTP/1.1 200 OK\r\n";
    for (size_t i = 2; i < lines; ++i) h += "A: b\r\n";
    return h + "\r\n";
  };
  const std::tuple<std::string, State, Error> cases[] = {
      {"HTTP/1.1 200 OK\r\nX: " + std::string(limit - 4, 'v') + "\r\n\r\n", State::kComplete,
       Error::kNone},  // a line of exactly the limit
      {"HTTP/1.1 200 OK\r\nX: " + std::string(limit, 'v'), State::kError,
       Error::kLineTooLong},  // no line end yet: still refused
      {header_with_lines(HttpResponseParser::kMaxLines), State::kComplete, Error::kNone},
      {header_with_lines(HttpResponseParser::kMaxLines + 1), State::kError, Error::kTooManyLines}};
  for (const auto& [header, state, error] : cases) {
    HttpResponseParser parser;
    parser.Feed(header.data(), header.size());
    EXPECT_EQ(parser.state(), state) << header.size();
    EXPECT_EQ(parser.error(), error) << header.size();
  }
}

}  // namespace
}  // namespace brelvane
