// SPDX-License-Identifier: MIT
// Text encoding conversion for the console.  Source texts are UTF-8; the
// launcher reads GBK (code page 936).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace brelvane::platform {

// Converts UTF-8 text to GBK.  Characters GBK cannot hold become '?'; invalid
// UTF-8 bytes are passed through unchanged.
//
// Thread safety: one converter must not be used by two threads at once.
class Utf8ToGbk {
 public:
  Utf8ToGbk();
  ~Utf8ToGbk();
  Utf8ToGbk(const Utf8ToGbk&) = delete;
  Utf8ToGbk& operator=(const Utf8ToGbk&) = delete;

  std::string Convert(std::string_view utf8);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The opposite direction, for tests and tools that read GBK text back.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace brelvane::platform
