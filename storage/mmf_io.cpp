// SPDX-License-Identifier: MIT
#include "storage/mmf_io.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <vector>

namespace brelvane {

using platform::OsError;

IoMethod DefaultIoMethod() {
  // Positioned I/O measured faster than a view per call on Linux for every
  // block size we use (bench/storage_io.cpp), and a write to a sparse region
  // cannot fault on a full disk the way a mapped store can.
  return IoMethod::kPositioned;
}

namespace {

// Objects that may still keep a handle open; below zero means over budget.
// An eighth of the limit (at least 256) stays for sockets, logs and the rest.
int64_t InitialHandleBudget() {
  const uint64_t limit = platform::OpenFileLimit();
  const uint64_t reserve = std::max<uint64_t>(256, limit / 8);
  return static_cast<int64_t>(limit > reserve + 64 ? limit - reserve : 64);
}
std::atomic<int64_t> g_handle_budget{InitialHandleBudget()};

bool TakeHandlePermit() {
  if (g_handle_budget.fetch_sub(1) > 0) return true;
  g_handle_budget.fetch_add(1);
  return false;
}

void ReturnHandlePermit() { g_handle_budget.fetch_add(1); }

}  // namespace

int64_t CWinMMFIO::SetHandleBudgetForTesting(int64_t budget) {
  return g_handle_budget.exchange(budget);
}

CWinMMFIO::CWinMMFIO(std::string path, IoMethod method)
    : granularity_(platform::AllocationGranularity()), path_(std::move(path)), method_(method) {}

CWinMMFIO::~CWinMMFIO() { Close(); }

bool CWinMMFIO::Open(int mode, int disposition, uint64_t minimum_size, bool sequential) {
  if (IsOpen()) {
    last_error_ = kErrorAlreadyOpen;
    return false;
  }
  const bool writable = mode == kModeReadWrite;
  platform::FileDisposition disp = platform::FileDisposition::kOpenAlways;
  if (disposition == kOpenExisting) disp = platform::FileDisposition::kOpenExisting;
  if (disposition == kCreateAlways) disp = platform::FileDisposition::kCreateAlways;
  platform::NativeFile handle;
  if (OsError err = platform::OpenFile(
          path_, writable ? platform::FileAccess::kReadWrite : platform::FileAccess::kReadOnly,
          disp, sequential, &handle)) {
    return Fail(err);
  }
  uint64_t length = 0;
  if (OsError err = platform::GetFileLength(handle, &length)) {
    platform::CloseFile(handle);
    return Fail(err);
  }
  handle_ = handle;
  open_ = true;
  size_ = length;
  writable_ = writable;
  if (size_ < minimum_size && disp != platform::FileDisposition::kOpenExisting) {
    // Like the original, a failed extension does not fail the open; the error
    // is kept in last_error().
    (void)SetSize(minimum_size);
  }
  if (!TakeHandlePermit()) {
    platform::CloseFile(handle_);
    handle_ = platform::kInvalidFile;
  }
  return true;
}

bool CWinMMFIO::Close() {
  if (handle_ != platform::kInvalidFile) {
    platform::CloseFile(handle_);
    handle_ = platform::kInvalidFile;
    ReturnHandlePermit();
  }
  open_ = false;
  return true;
}

OsError CWinMMFIO::UseHandle(platform::NativeFile* handle, bool* temporary) {
  *temporary = handle_ == platform::kInvalidFile;
  if (!*temporary) {
    *handle = handle_;
    return 0;
  }
  return platform::OpenFile(
      path_, writable_ ? platform::FileAccess::kReadWrite : platform::FileAccess::kReadOnly,
      platform::FileDisposition::kOpenExisting, false, handle);
}

template <typename Op>
bool CWinMMFIO::WithHandle(Op op) {
  platform::NativeFile handle;
  bool temporary = false;
  if (OsError err = UseHandle(&handle, &temporary)) return Fail(err);
  const OsError err = op(handle);
  if (temporary) platform::CloseFile(handle);
  return err == 0 || Fail(err);
}

bool CWinMMFIO::SetSize(uint64_t size) {
  if (!IsOpen()) return Fail(EBADF);
  // A mapped store into an unallocated block faults (SIGBUS) when the disk is
  // full, so the mapped method reserves the blocks when it extends.
  const bool reserve = method_ == IoMethod::kMappedView;
  if (!WithHandle([&](platform::NativeFile h) { return platform::SetFileLength(h, size, reserve); })) {
    return false;
  }
  size_ = size;
  return true;
}

bool CWinMMFIO::Sync() {
  if (!IsOpen()) return Fail(EBADF);
  return WithHandle([](platform::NativeFile h) { return platform::SyncFileData(h); });
}

CWinMMFIO::View CWinMMFIO::PlaceView(uint32_t length, uint64_t offset) const {
  View view;
  view.start = offset - offset % granularity_;
  const uint64_t span = (offset - view.start) + length;
  view.length = span <= granularity_ ? granularity_ : span;
  if (view.start + view.length > size_) view.length = size_ > view.start ? size_ - view.start : 0;
  return view;
}

namespace {

// Copies through a view mapped for this one request.
OsError CopyThroughView(platform::NativeFile handle, uint64_t view_start, uint64_t view_length,
                        uint64_t offset, bool write, void* bytes, uint64_t count) {
  if (view_length > std::numeric_limits<size_t>::max()) return EFBIG;
  platform::MappedView mapped;
  if (OsError err = platform::MapView(handle, view_start, static_cast<size_t>(view_length), write,
                                      &mapped)) {
    return err;
  }
  char* at = static_cast<char*>(mapped.address) + (offset - view_start);
  if (write) {
    std::memcpy(at, bytes, static_cast<size_t>(count));
  } else {
    std::memcpy(bytes, at, static_cast<size_t>(count));
  }
  platform::UnmapView(&mapped);
  return 0;
}

}  // namespace

bool CWinMMFIO::Write(const void* data, uint32_t length, uint64_t offset) {
  if (!IsOpen()) return false;
  if (length == 0 || data == nullptr) return true;
  // A read-only view would fault on the copy; refuse the way the OS refuses a
  // write through a read-only handle.
  if (!writable_) return Fail(EBADF);
  if (offset > std::numeric_limits<uint64_t>::max() - length) return Fail(EFBIG);
  if (method_ == IoMethod::kPositioned) {
    // A positioned write past the end extends the file to offset + length by
    // itself, as the explicit extension before a mapped copy does, and saves
    // a system call and an inode update per growing write.
    if (!WithHandle([&](platform::NativeFile h) {
          return platform::WriteAt(h, data, length, offset);
        })) {
      return false;
    }
    size_ = std::max(size_, offset + length);
    return true;
  }
  if (offset + length > size_ && !SetSize(offset + length)) return false;
  const View view = PlaceView(length, offset);
  if (view.length == 0) return true;
  uint64_t count = length;
  if (offset + count > size_) count = size_ - offset;
  return WithHandle([&](platform::NativeFile h) {
    return CopyThroughView(h, view.start, view.length, offset, true, const_cast<void*>(data),
                           count);
  });
}

bool CWinMMFIO::Read(void* buffer, uint32_t length, uint64_t offset) {
  if (!IsOpen()) return false;
  if (length == 0) return true;
  if (offset >= size_ || buffer == nullptr) return false;
  const View view = PlaceView(length, offset);
  if (view.length == 0) return false;
  uint64_t count = length;
  if (offset + count > size_) count = size_ - offset;
  if (method_ == IoMethod::kPositioned) {
    return WithHandle([&](platform::NativeFile h) {
      return platform::ReadAt(h, buffer, static_cast<size_t>(count), offset);
    });
  }
  return WithHandle([&](platform::NativeFile h) {
    return CopyThroughView(h, view.start, view.length, offset, false, buffer, count);
  });
}

void CWinMMFIO::GetErrorText(std::string* out) const {
  if (last_error_ == kErrorAlreadyOpen) {
    *out = "The file is already open.";
    return;
  }
  *out = platform::ErrorText(static_cast<platform::OsError>(last_error_));
}

bool CreateDirectories(const std::string& path) {
  // Nearly every call finds the directory there already (one per file of a
  // release): one look at the whole path first, and only when it is missing
  // the climb to the deepest existing ancestor.
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty() || p == "/" || platform::IsDirectory(p)) return true;
  if (platform::GetPathKind(p) != platform::PathKind::kMissing) return false;
  const size_t slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0 && !CreateDirectories(p.substr(0, slash))) {
    return false;
  }
  return platform::MakeDirectory(p) == 0 || platform::IsDirectory(p);
}

bool PathExists(const std::string& path) {
  return platform::GetPathKind(path) != platform::PathKind::kMissing;
}

}  // namespace brelvane
