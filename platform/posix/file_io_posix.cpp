// SPDX-License-Identifier: MIT
#include "platform/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace brelvane::platform {
namespace {

int Fd(NativeFile file) { return static_cast<int>(file); }

// The errno of a failed call, never 0 (a failure must read as a failure).
OsError LastError() { return errno != 0 ? errno : EIO; }

bool FitsOffset(uint64_t value) {
  return value <= static_cast<uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

OsError OpenFile(const std::string& path, FileAccess access, FileDisposition disposition,
                 bool sequential, NativeFile* out) {
  *out = kInvalidFile;
  int flags = O_CLOEXEC | O_NONBLOCK | (access == FileAccess::kReadWrite ? O_RDWR : O_RDONLY);
  switch (disposition) {
    case FileDisposition::kOpenExisting:
      break;
    case FileDisposition::kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case FileDisposition::kOpenAlways:
      flags |= O_CREAT;
      break;
  }
  // A read-only open that must create the file: O_TRUNC with O_RDONLY is
  // unspecified, so truncate only when writing.
  if (access == FileAccess::kReadOnly) flags &= ~O_TRUNC;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return LastError();
  // Only regular files are storage (O_NONBLOCK above keeps a FIFO from
  // blocking the open; it changes nothing for regular files).
  struct stat st;
  OsError err = 0;
  if (::fstat(fd, &st) != 0) {
    err = LastError();
  } else if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  }
  if (err != 0) {
    ::close(fd);
    return err;
  }
  ::posix_fadvise(fd, 0, 0, sequential ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
  *out = fd;
  return 0;
}

OsError CloseFile(NativeFile file) {
  if (file == kInvalidFile) return 0;
  return ::close(Fd(file)) == 0 ? 0 : LastError();
}

OsError GetFileLength(NativeFile file, uint64_t* length) {
  struct stat st;
  if (::fstat(Fd(file), &st) != 0) return LastError();
  *length = static_cast<uint64_t>(st.st_size);
  return 0;
}

OsError SetFileLength(NativeFile file, uint64_t length, bool reserve) {
  if (!FitsOffset(length)) return EFBIG;
  uint64_t old_length = 0;
  if (reserve) {
    if (OsError err = GetFileLength(file, &old_length)) return err;
  }
  int rc;
  do {
    rc = ::ftruncate(Fd(file), static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return LastError();
  if (reserve && length > old_length) {
    // posix_fallocate returns the error instead of setting errno.
    int err = ::posix_fallocate(Fd(file), static_cast<off_t>(old_length),
                                static_cast<off_t>(length - old_length));
    if (err != 0 && err != EOPNOTSUPP && err != EINVAL) {
      // Leave the file as it was: an extension the disk cannot hold is refused.
      (void)::ftruncate(Fd(file), static_cast<off_t>(old_length));
      return err;
    }
  }
  return 0;
}

OsError ReadAt(NativeFile file, void* buffer, size_t length, uint64_t offset) {
  auto* out = static_cast<char*>(buffer);
  while (length > 0) {
    if (!FitsOffset(offset)) return EFBIG;
    ssize_t n = ::pread(Fd(file), out, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return EIO;  // the file ended early
    out += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return 0;
}

OsError WriteAt(NativeFile file, const void* data, size_t length, uint64_t offset) {
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    if (!FitsOffset(offset)) return EFBIG;
    ssize_t n = ::pwrite(Fd(file), in, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return ENOSPC;
    in += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return 0;
}

OsError SyncFileData(NativeFile file) {
  int rc;
  do {
    rc = ::fdatasync(Fd(file));
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : LastError();
}

uint64_t OpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
  return static_cast<uint64_t>(limit.rlim_cur);
}

uint32_t AllocationGranularity() {
  static const uint32_t granularity = [] {
    long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<uint32_t>(page) : 4096u;
  }();
  return granularity;
}

OsError MapView(NativeFile file, uint64_t offset, size_t length, bool writable, MappedView* out) {
  *out = MappedView{};
  if (length == 0) return EINVAL;
  if (!FitsOffset(offset)) return EFBIG;
  int prot = PROT_READ | (writable ? PROT_WRITE : 0);
  void* address = ::mmap(nullptr, length, prot, MAP_SHARED, Fd(file), static_cast<off_t>(offset));
  if (address == MAP_FAILED) return LastError();
  out->address = address;
  out->length = length;
  return 0;
}

OsError UnmapView(MappedView* view) {
  if (view->address == nullptr) return 0;
  int rc = ::munmap(view->address, view->length);
  *view = MappedView{};
  return rc == 0 ? 0 : LastError();
}

std::string ErrorText(OsError code) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be `buf`.
  const char* text = ::strerror_r(code, buf, sizeof(buf));
  return text != nullptr ? std::string(text) : std::string("Unknown error");
}

PathKind GetPathKind(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISLNK(st.st_mode)) return PathKind::kSymlink;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISREG(st.st_mode)) return PathKind::kFile;
  return PathKind::kOther;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

OsError MakeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 ? 0 : LastError();
}

OsError ResolvePath(const std::string& path, std::string* out) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return LastError();
  out->assign(resolved);
  std::free(resolved);
  return 0;
}

OsError FreeDiskSpace(const std::string& path, uint64_t* bytes) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) return LastError();
  *bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return 0;
}

OsError RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : LastError();
}

OsError RemoveDirectory(const std::string& path) {
  return ::rmdir(path.c_str()) == 0 ? 0 : LastError();
}

OsError ReplaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : LastError();
}

OsError SyncPath(const std::string& path) {
  NativeFile file;
  if (OsError err = OpenFile(path, FileAccess::kReadOnly, FileDisposition::kOpenExisting,
                             false, &file)) {
    return err;
  }
  OsError err = SyncFileData(file);
  CloseFile(file);
  return err;
}

OsError SyncFileSystem(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastError();
  int rc = ::syncfs(fd);
  OsError err = rc == 0 ? 0 : LastError();
  ::close(fd);
  return err;
}

OsError SyncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LastError();
  int rc = ::fsync(fd);
  OsError err = rc == 0 ? 0 : LastError();
  ::close(fd);
  return err;
}

}  // namespace brelvane::platform
