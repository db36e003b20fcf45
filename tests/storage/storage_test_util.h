// SPDX-License-Identifier: MIT
// Helpers shared by the storage tests: a scratch directory removed at the end
// of each test, and whole-file read/write shortcuts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brelvane::testing {

// A fresh directory under the system's temporary directory; removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, with a trailing '/'.
  const std::string& path() const { return path_; }
  // path() + name.
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string& path);
// Replaces the file's content.
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The file's length, or -1 when it does not exist.
int64_t FileLength(const std::string& path);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed);

}  // namespace brelvane::testing
