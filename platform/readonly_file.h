// SPDX-License-Identifier: MIT
// A file opened for reading raw bytes, sequentially or at chosen offsets.
// Used where whole files are hashed or read (the catalogue's digests, the
// release tool), so that the readers need no operating-system headers.
//
// Thread safety: one object must not be used by two threads at once; Read
// and Seek share the file position.  ReadAt does not use the position, but
// still must not race with Close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brelvane::platform {

class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Opens `path` read-only, closing any file held before.  `sequential`
  // tells the system the file will be read once from start to end, so it
  // reads ahead more aggressively.  False when the file cannot be opened or
  // is a directory; error() then gives the system error code.
  [[nodiscard]] bool Open(const std::string& path, bool sequential = false);
  void Close();
  bool is_open() const { return fd_ >= 0; }

  // The current size of the open file.
  [[nodiscard]] bool Size(uint64_t* size);

  // Moves the read position to `offset` (which may lie past the end).
  [[nodiscard]] bool Seek(uint64_t offset);

  // Reads up to `length` bytes at the current position, retrying short and
  // interrupted reads, so that fewer bytes than asked means the end of the
  // file was reached.  Returns the byte count, or -1 on an error.
  int64_t Read(void* buffer, size_t length);

  // The same at `offset`, without moving the position.
  int64_t ReadAt(uint64_t offset, void* buffer, size_t length);

  // The system error code of the last failed operation (0 if none), and
  // its text.
  int error() const { return error_; }
  std::string error_text() const;

 private:
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace brelvane::platform
