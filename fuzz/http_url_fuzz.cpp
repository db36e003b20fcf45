// SPDX-License-Identifier: MIT
// URL splitting, path encoding, host:port splitting, redirect resolution and
// the request texts, for any URL and Location a mirror could hand over.  The
// input is "url\nlocation".
#include <string>

#include "fuzz/fuzz_support.h"
#include "http/http_url.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  const std::string url = input.substr(0, cut);
  const std::string location = cut == std::string::npos ? "" : input.substr(cut + 1);

  const brelvane::HttpUrlParts parts = brelvane::SplitUrl(url);
  const std::string path = brelvane::EncodeRequestPath(parts);
  for (const char c : path) {
    Require(c > ' ' && c < 0x7F, "encoded path is printable without blanks");
  }
  std::string name;
  uint16_t port = 0;
  if (brelvane::SplitHostPort(parts.host, &name, &port)) {
    Require(!name.empty() && port != 0, "host and port");
  }
  std::string request;
  if (brelvane::FormatGetRequest(path, parts.host, 0, brelvane::kHttpOpenEnd, &request)) {
    Require(request.size() < brelvane::kRequestBufferBytes, "GET fits its buffer");
  }
  if (brelvane::FormatPostRequest(path, parts, "text/xml", location, &request)) {
    Require(request.size() < brelvane::kRequestBufferBytes, "POST fits its buffer");
  }
  const std::string next = brelvane::ResolveRedirect(parts, location);
  (void)brelvane::SplitUrl(next);
  (void)brelvane::Base64Encode(parts.user_info);
  return 0;
}
