// SPDX-License-Identifier: MIT
// An HTTP answer as a mirror could send it: the header parser fed in pieces
// of sizes the input picks, then the body cut into part-sized blocks the way
// the client hands it to its sink (bytes beyond the Content-Length dropped).
// Input: one byte of piece size, one byte choosing the block size, then the
// answer.
#include <algorithm>
#include <string>

#include "fuzz/fuzz_support.h"
#include "http/block_assembler.h"
#include "http/http_response_parser.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t piece = 1 + data[0] * 67u;  // 1 .. 17086 bytes per receive
  const uint32_t block_size = data[1] == 0 ? brelvane::kHttpNoLimit : data[1] * 13u;
  const char* answer = reinterpret_cast<const char*>(data + 2);
  const size_t length = size - 2;

  brelvane::HttpResponseParser parser;
  size_t at = 0;
  while (at < length && !parser.complete()) {
    const size_t n = std::min(piece, length - at);
    const size_t taken = parser.Feed(answer + at, n);
    Require(taken <= n, "parser takes at most what it is given");
    at += taken;
    if (parser.state() == brelvane::HttpResponseParser::State::kError) return 0;
    if (taken < n) Require(parser.complete(), "the rest of a piece is body only at the end");
  }
  Require(parser.header_text().size() <= brelvane::HttpResponseParser::kMaxHeaderBytes,
          "header bounded");
  if (!parser.complete()) return 0;
  const brelvane::HttpResponseInfo& info = parser.info();
  Require(info.status.size() <= 3, "status is three characters at most");

  uint64_t body = length - at;
  if (info.content_length != brelvane::kHttpNoContentLength) {
    body = std::min<uint64_t>(body, info.content_length);
  }
  brelvane::BlockAssembler assembler;
  assembler.Reset(block_size);
  uint64_t delivered = 0;
  for (uint64_t done = 0; done < body;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, body - done));
    assembler.Append(data + 2 + at + done, n);
    done += n;
    while (assembler.has_complete_block()) {
      Require(assembler.front().size() == block_size, "complete blocks have the block size");
      delivered += assembler.front().size();
      assembler.PopFront();
    }
  }
  Require(block_size == brelvane::kHttpNoLimit || assembler.fill() < block_size,
          "the current block is never full");
  Require(delivered + assembler.fill() == body, "every body byte lands in one block");
  return 0;
}
