// SPDX-License-Identifier: MIT
#include "platform/readonly_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brelvane::platform {

ReadOnlyFile::~ReadOnlyFile() { Close(); }

bool ReadOnlyFile::Open(const std::string& path, bool sequential) {
  Close();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error_ = errno;
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error_ = errno;
    ::close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error_ = EISDIR;
    ::close(fd);
    return false;
  }
  if (sequential) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd_ = fd;
  error_ = 0;
  return true;
}

void ReadOnlyFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ReadOnlyFile::Size(uint64_t* size) {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    error_ = fd_ < 0 ? EBADF : errno;
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadOnlyFile::Seek(uint64_t offset) {
  if (fd_ < 0 || offset > static_cast<uint64_t>(INT64_MAX) ||
      ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
    error_ = fd_ < 0 ? EBADF : (offset > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno);
    return false;
  }
  return true;
}

int64_t ReadOnlyFile::Read(void* buffer, size_t length) {
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t got = ::read(fd_, p + done, length - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

int64_t ReadOnlyFile::ReadAt(uint64_t offset, void* buffer, size_t length) {
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t got =
        ::pread(fd_, p + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

std::string ReadOnlyFile::error_text() const {
  char buf[256];
  // The GNU strerror_r returns the text, which may or may not be `buf`.
  return std::string(::strerror_r(error_, buf, sizeof(buf)));
}

}  // namespace brelvane::platform
