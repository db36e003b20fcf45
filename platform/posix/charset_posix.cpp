// SPDX-License-Identifier: MIT
#include "platform/charset.h"

#include <iconv.h>

#include <cerrno>

namespace brelvane::platform {
namespace {

// Runs `cd` over `in`; on a character the target cannot hold, writes
// `replacement` and skips one input character (one UTF-8 sequence when the
// input is UTF-8, one byte otherwise).
std::string RunIconv(iconv_t cd, std::string_view in, bool input_is_utf8) {
  std::string out;
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  out.reserve(in.size() + 8);
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char buf[512];
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  while (src_left > 0) {
    char* dst = buf;
    size_t dst_left = sizeof(buf);
    size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: not representable or not valid input.
    size_t skip = 1;
    const auto lead = static_cast<unsigned char>(*src);
    if (input_is_utf8) {
      if (lead >= 0xF0) skip = 4;
      else if (lead >= 0xE0) skip = 3;
      else if (lead >= 0xC0) skip = 2;
      // A lone continuation byte, a malformed or a cut sequence is kept as
      // it is.
      bool valid = lead >= 0xC0 && skip <= src_left;
      for (size_t i = 1; valid && i < skip; ++i)
        valid = (static_cast<unsigned char>(src[i]) & 0xC0) == 0x80;
      if (!valid) {
        out.push_back(*src);
        skip = 1;
      } else {
        out.push_back('?');
      }
    } else {
      out.push_back('?');
    }
    src += skip;
    src_left -= skip;
  }
  return out;
}

}  // namespace

struct Utf8ToGbk::Impl {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  ~Impl() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
};

Utf8ToGbk::Utf8ToGbk() : impl_(std::make_unique<Impl>()) {}
Utf8ToGbk::~Utf8ToGbk() = default;

std::string Utf8ToGbk::Convert(std::string_view utf8) {
  // Plain ASCII is the same in both encodings: skip iconv for it.
  bool ascii = true;
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) return std::string(utf8);
  return RunIconv(impl_->cd, utf8, true);
}

std::string GbkToUtf8(std::string_view gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  std::string out = RunIconv(cd, gbk, false);
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return out;
}

}  // namespace brelvane::platform
