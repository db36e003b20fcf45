// SPDX-License-Identifier: MIT
// The text side of an HTTP request: splitting a URL into user-info, host,
// directory and file, percent-encoding the request path, Base64, and the
// exact GET and POST texts the client sends.
//
// The splitting is deliberately literal (it is what mirrors already see from
// deployed clients): the directory part keeps its final "/" and another "/"
// goes before the file name, so "host/a/b/file.bin" is requested as
// "/a/b//file.bin" and "host/file.bin" as "//file.bin".
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "http/http_types.h"

namespace brelvane {

struct HttpUrlParts {
  std::string user_info;  // text before the first "@", empty when none
  std::string host;       // host name with optional ":port"
  std::string directory;  // after the first "/" up to and including the last "/"
  std::string file;       // after the last "/"
};

// Longest request path (after encoding) the client sends.
inline constexpr size_t kMaxRequestPathBytes = 4095;
// Every request text is built in a buffer of this size (one byte for the
// terminator), so a request may hold at most kRequestBufferBytes - 1 bytes.
inline constexpr size_t kRequestBufferBytes = 2048;

HttpUrlParts SplitUrl(const std::string& url);

// The directory, plus "/" and the file when the file is not empty,
// percent-encoded: letters, digits and "-_./?=" stay, every other byte
// becomes "%XX" with upper-case hexadecimal digits.
std::string EncodeRequestPath(const HttpUrlParts& parts);

// Splits "name[:port]" at the first ":".  Port 80 when absent; false when the
// port text is not a number from 1 to 65535 or the name is empty.
[[nodiscard]] bool SplitHostPort(const std::string& host, std::string* name, uint16_t* port);

// Standard Base64 with "=" padding.
std::string Base64Encode(const std::string& bytes);

// "1048576-" for an open end, "0-65535" otherwise.
std::string FormatRangeValue(uint64_t range_start, uint64_t range_end);

// The complete GET request text for `parts` (path already encoded in
// `encoded_path`).  False when it would not fit the request buffer.
[[nodiscard]] bool FormatGetRequest(const std::string& encoded_path, const std::string& host,
                                    uint64_t range_start, uint64_t range_end, std::string* out);

// The complete POST text, header and body.  False when it would not fit the
// request buffer.
[[nodiscard]] bool FormatPostRequest(const std::string& encoded_path, const HttpUrlParts& parts,
                                     const std::string& content_type, const std::string& body,
                                     std::string* out);

// The URL a redirect leads to.  A Location that starts with "//" names a host
// ("http:" is put before it); one that starts with a single "/" is a path on
// the host of `current` (its user-info is kept).  Any other Location is used
// as it stands.
std::string ResolveRedirect(const HttpUrlParts& current, const std::string& location);

}  // namespace brelvane
