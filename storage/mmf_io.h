// SPDX-License-Identifier: MIT
// Byte I/O of the storage engine.  A File (storage/file.h) reaches the disk only
// through an IFile, so tests can put a fake disk (one that refuses writes, or
// runs out of room) under it.  CWinMMFIO is the real implementation: it keeps
// one OS file open and performs every read and write either through a small
// mapped view that is mapped, copied and unmapped per call, or through
// positioned reads and writes.  Both methods give the same results; the
// default is the faster one on this platform (measured by bench/storage_io.cpp,
// see docs/readme-storage.md).
//
// Handles: a release may hold more files than the process may keep open, so
// only a budget of objects (the open-file limit less an eighth) keeps its handle open
// for its whole life; an object opened beyond the budget opens the file again
// for each operation.  Both give the same results.
//
// Results: every operation returns false on failure and stores the OS error
// code in last_error(); nothing is logged here.  A view never outlives the
// call that mapped it.
//
// Thread safety: none of its own.  Each File owns one I/O object and calls it
// only under the file's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_io.h"

namespace brelvane {

// The byte-I/O interface.  Lengths are 32-bit, offsets 64-bit.
class IIO {
 public:
  virtual ~IIO() = default;
  // Writes `length` bytes of `data` at `offset`, extending the object first
  // when the write reaches past its end.
  [[nodiscard]] virtual bool Write(const void* data, uint32_t length, uint64_t offset) = 0;
  // Reads up to `length` bytes at `offset`; a read running past the end
  // returns the bytes up to the end.
  [[nodiscard]] virtual bool Read(void* buffer, uint32_t length, uint64_t offset) = 0;
};

// IIO with a length; adds Sync for durability (see FileSystem's resume write).
class IFile : public IIO {
 public:
  // The current length of the file.
  virtual uint64_t GetSize() = 0;
  // Extends or truncates to `size`.
  [[nodiscard]] virtual bool SetSize(uint64_t size) = 0;
  // Makes every byte written so far survive a power cut.
  [[nodiscard]] virtual bool Sync() = 0;
};

enum class IoMethod {
  kMappedView,  // map a view per call, copy, unmap
  kPositioned,  // pread/pwrite
};

// The method CWinMMFIO uses unless told otherwise.
IoMethod DefaultIoMethod();

class CWinMMFIO : public IFile {
 public:
  // Open modes and dispositions, as the numbers the callers pass.
  static constexpr int kModeRead = 0;
  static constexpr int kModeReadWrite = 1;
  static constexpr int kOpenExisting = 0;
  static constexpr int kCreateAlways = 1;
  static constexpr int kOpenAlways = 2;  // (any other value)
  // The error stored when Open is called on an open object (the Win32
  // sharing-violation code, kept so that callers see the same number).
  static constexpr uint32_t kErrorAlreadyOpen = 32;

  // Stores the path; nothing is opened.
  explicit CWinMMFIO(std::string path, IoMethod method = DefaultIoMethod());
  ~CWinMMFIO() override;  // closes the file if open
  CWinMMFIO(const CWinMMFIO&) = delete;
  CWinMMFIO& operator=(const CWinMMFIO&) = delete;

  [[nodiscard]] bool Write(const void* data, uint32_t length, uint64_t offset) override;
  [[nodiscard]] bool Read(void* buffer, uint32_t length, uint64_t offset) override;
  uint64_t GetSize() override { return size_; }
  [[nodiscard]] bool SetSize(uint64_t size) override;
  [[nodiscard]] bool Sync() override;

  // `mode` kModeReadWrite opens for reading and writing, anything else for
  // reading only.  `disposition`: kOpenExisting, kCreateAlways, anything else
  // opens or creates.  A creating open extends the file to `minimum_size`.
  // Fails with last error kErrorAlreadyOpen when already open.
  [[nodiscard]] bool Open(int mode, int disposition, uint64_t minimum_size, bool sequential);
  // Makes an open object read-only, as closing it and opening it again for
  // reading would, without giving up its handle: later writes are refused.
  void MakeReadOnly() { writable_ = false; }
  // Closes the file if open; always true.
  bool Close();
  bool IsOpen() const { return open_; }
  // Opened for writing (meaningful while open).
  bool writable() const { return writable_; }

  // The text of the last error; `out` is left unchanged when there is none.
  void GetErrorText(std::string* out) const;

  uint32_t last_error() const { return last_error_; }
  const std::string& path() const { return path_; }
  IoMethod method() const { return method_; }
  // True when the object keeps its handle open between operations.
  bool keeps_handle() const { return handle_ != platform::kInvalidFile; }

  // Sets how many objects may keep a handle open (tests); returns the old
  // budget.  Objects already holding one keep it.
  static int64_t SetHandleBudgetForTesting(int64_t budget);

 private:
  struct View {
    uint64_t start;
    uint64_t length;
  };
  // The view for `length` bytes at `offset`: whole granules, cut at the end
  // of the file.
  View PlaceView(uint32_t length, uint64_t offset) const;
  // The handle for one operation: the kept one, or one opened for it, which
  // the caller closes when `*temporary` comes back true.
  platform::OsError UseHandle(platform::NativeFile* handle, bool* temporary);
  // Runs `op(handle)` (returning an OsError) with the handle for one
  // operation; false, storing the error, when either fails.
  template <typename Op>
  bool WithHandle(Op op);
  bool Fail(platform::OsError err) {
    last_error_ = static_cast<uint32_t>(err);
    return false;
  }

  platform::NativeFile handle_ = platform::kInvalidFile;  // kept handle, if any
  bool open_ = false;
  uint64_t size_ = 0;
  uint32_t granularity_;
  bool writable_ = false;
  std::string path_;
  uint32_t last_error_ = 0;
  IoMethod method_;
};

// Creates every directory named by `path` (components split at '/' and '\').
// Stops with false at the first prefix that cannot be created or exists as
// something other than a directory.
[[nodiscard]] bool CreateDirectories(const std::string& path);

// True when something exists at `path` (a symbolic link counts, followed or not).
bool PathExists(const std::string& path);

}  // namespace brelvane
