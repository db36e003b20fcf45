// SPDX-License-Identifier: MIT
// The response-header parser: every case is fed whole, split in two at every
// byte boundary, and one byte at a time, and must give the same answer.
#include "http/http_response_parser.h"

#include <gtest/gtest.h>

namespace brelvane {
namespace {

using State = HttpResponseParser::State;
using Error = HttpResponseParser::Error;

constexpr uint32_t kNone = kHttpNoContentLength;

struct ParseCase {
  const char* name;
  std::string input;   // header and possibly the start of a body
  // "[<state> ]<status>|<Content-Length>|<close>|<Location>|<Content-Range first>", without a state
  // when complete; "-" for a length or range that is absent.
  std::string expected;
  std::string body{};  // what follows the header (empty when incomplete)
};

const std::vector<ParseCase>& Cases() {
  static const std::vector<ParseCase> cases = {
      {"partial content",
       "HTTP/1.1 206 Partial Content\r\nContent-Length: 65536\r\n"
       "Content-Range: bytes 0-65535/100000\r\nConnection: Keep-Alive\r\n\r\nBODY",
       "206|65536|0||0", "BODY"},
      {"names are case-sensitive",
       "HTTP/1.1 200 OK\r\ncontent-length: 5\r\nconnection: close\r\nlocation: /x\r\n\r\n", "200|-|0||-"},
      {"close with blanks around it", "HTTP/1.1 200 OK\r\nConnection: \t close \t\r\n\r\n", "200|-|1||-"},
      {"close value is case-sensitive", "HTTP/1.1 200 OK\r\nConnection: Close\r\n\r\n", "200|-|0||-"},
      {"value read at a fixed distance from the name",
       "HTTP/1.1 200 OK\r\nConnection:close\r\nContent-Length:12345\r\n\r\n", "200|2345|0||-"},
      {"blanks before the length", "HTTP/1.1 200 OK\r\nContent-Length:    77\r\n\r\n", "200|77|0||-"},
      {"overflowing length (none)", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", "200|-|0||-"},
      {"length without digits", "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", "200|0|0||-"},
      {"last one wins", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nX-Content-Length: 2\r\n\r\n", "200|2|0||-"},
      {"location kept untrimmed", "HTTP/1.1 302 Found\r\nLocation:  /two \r\n\r\n", "302|-|0| /two |-"},
      {"absolute location", "HTTP/1.1 301 Moved\r\nLocation: http://h:1/x\r\n\r\n<html>",
       "301|-|0|http://h:1/x|-", "<html>"},
      {"bare line feeds", "HTTP/1.0 302 Found\nLocation: http://a/b\n\nrest", "302|-|0|http://a/b|-", "rest"},
      {"header ends at a line starting with a carriage return", "HTTP/1.1 200 OK\r\nA: b\r\n\rjunk\nBODY",
       "200|-|0||-", "BODY"},
      {"folded lines are lines of their own", "HTTP/1.1 301 Moved\r\nLocation:\r\n http://folded/\r\n\r\n",
       "301|-|0||-"},
      {"short status", "HTTP/1.1 20\r\n\r\n", "20|-|0||-"},
      {"status line without a space", "garbage\r\n\r\nx", "|-|0||-", "x"},
      {"empty first line ends it", "\r\nHTTP/1.1 200 OK\r\n\r\n", "|-|0||-", "HTTP/1.1 200 OK\r\n\r\n"},
      {"names match anywhere in a line",
       "HTTP/1.1 302 Found\r\nContent-Location: /c\r\nProxy-Connection: close\r\n\r\n", "302|-|1|/c|-"},
      {"content range from the middle",
       "HTTP/1.1 206 Partial\r\nContent-Range: bytes 1048576-2097151/5000000\r\nContent-Length: 1048576\r\n"
       "\r\n", "206|1048576|0||1048576"},
      {"unsatisfied range", "HTTP/1.1 416 Range\r\nContent-Range: bytes */5000\r\n\r\n", "416|-|0||-"},
      {"incomplete header", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", "header 200|5|0||-"},
      {"incomplete status line", "HTTP/1.1 200 O", "status |-|0||-"},
  };
  return cases;
}

// Feeds `c.input` in the pieces that `cuts` (ascending positions) make and
// checks the outcome.
void FeedInPiecesAndCheck(const ParseCase& c, const std::vector<size_t>& cuts) {
  HttpResponseParser parser;
  size_t consumed = 0, begin = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(c.input.size());
  for (size_t end : ends) {
    consumed += parser.Feed(c.input.data() + begin, end - begin);
    begin = end;
  }
  const HttpResponseInfo& info = parser.info();
  const auto optional = [](uint64_t v, bool present) { return present ? std::to_string(v) : "-"; };
  const std::string state = parser.state() == State::kComplete     ? ""
                            : parser.state() == State::kHeaderLine ? "header "
                            : parser.state() == State::kStatusLine ? "status "
                                                                   : "error ";
  EXPECT_EQ(state + info.status + "|" + optional(info.content_length, info.content_length != kNone) +
                "|" + std::to_string(info.close_connection) + "|" + info.location + "|" +
                optional(parser.content_range_first(), parser.has_content_range()),
            c.expected);
  const size_t header_length = c.input.size() - c.body.size();
  EXPECT_EQ(consumed, header_length);
  EXPECT_EQ(parser.header_text(), c.input.substr(0, header_length));
}

TEST(HttpResponseParserTest, ParsesEveryCaseFedWholeSplitAnywhereOrByteByByte) {
  for (const ParseCase& c : Cases()) {
    std::vector<std::vector<size_t>> splits = {{}, {}};  // whole; one byte at a time
    for (size_t i = 1; i < c.input.size(); ++i) splits[1].push_back(i);
    for (size_t cut = 0; cut <= c.input.size(); ++cut) splits.push_back({cut});
    for (const std::vector<size_t>& cuts : splits) {
      SCOPED_TRACE(std::string(c.name) + ", cuts: " + std::to_string(cuts.size()) + " from " +
                   std::to_string(cuts.empty() ? 0 : cuts[0]));
      FeedInPiecesAndCheck(c, cuts);
    }
  }
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

TEST(HttpResponseParserTest, AcceptsEachLimitExactlyAndRefusesOneMore) {
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
      {header_with_lines(HttpResponseParser::kMaxLines + 1), State::kError, Error::kTooManyLines},
      {HeaderOfSize(HttpResponseParser::kMaxHeaderBytes), State::kComplete, Error::kNone},
      {HeaderOfSize(HttpResponseParser::kMaxHeaderBytes + 1), State::kError, Error::kHeaderTooLarge}};
  for (const auto& [header, state, error] : cases) {
    HttpResponseParser parser;
    parser.Feed(header.data(), header.size());
    EXPECT_EQ(parser.state(), state) << header.size();
    EXPECT_EQ(parser.error(), error) << header.size();
    EXPECT_LE(parser.header_text().size(), HttpResponseParser::kMaxHeaderBytes);
  }
}

}  // namespace
}  // namespace brelvane
