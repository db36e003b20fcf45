// SPDX-License-Identifier: MIT
// Operating-system files for the storage engine: open/create, size, positioned
// reads and writes, mapped views, data flushes, directories, free disk space
// and the path checks that keep writes inside the update directory.
//
// Every fallible call returns an OsError: 0 on success, otherwise the
// operating system's error code (errno on POSIX).  Codes become text only when
// logged, through ErrorText.
//
// Thread safety: the functions keep no state of their own.  Calls on one
// handle from several threads are safe as far as the OS makes them safe
// (positioned reads and writes do not share a file offset); callers serialise
// anything stronger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brelvane::platform {

using OsError = int;

// An open file; kInvalidFile when closed.  Wide enough for a Win32 HANDLE.
using NativeFile = intptr_t;
inline constexpr NativeFile kInvalidFile = -1;

enum class FileAccess { kReadOnly, kReadWrite };

// What to do when the file does (not) exist, as the three Win32 dispositions.
enum class FileDisposition {
  kOpenExisting,  // fail when missing
  kCreateAlways,  // create, or truncate an existing file to 0
  kOpenAlways,    // open, or create when missing
};

// Opens `path`.  `sequential` hints a front-to-back scan, otherwise random
// access.  The handle is not inherited by child processes.
[[nodiscard]] OsError OpenFile(const std::string& path, FileAccess access,
                               FileDisposition disposition, bool sequential, NativeFile* out);
// Closes the handle (ignores kInvalidFile).
OsError CloseFile(NativeFile file);

[[nodiscard]] OsError GetFileLength(NativeFile file, uint64_t* length);
// Extends (the new bytes read as zero) or truncates the file to `length`.
// With `reserve`, the blocks of an extension are allocated on the device now,
// so that a later write through a mapped view cannot meet a full disk.
[[nodiscard]] OsError SetFileLength(NativeFile file, uint64_t length, bool reserve);

// Reads exactly `length` bytes at `offset`.  A file that ends first is an
// error (EIO on POSIX); nothing about the buffer is then promised.
[[nodiscard]] OsError ReadAt(NativeFile file, void* buffer, size_t length, uint64_t offset);
// Writes exactly `length` bytes at `offset`, extending the file if needed.
[[nodiscard]] OsError WriteAt(NativeFile file, const void* data, size_t length, uint64_t offset);
// Flushes the file's data (and the metadata needed to read it back) to the device.
[[nodiscard]] OsError SyncFileData(NativeFile file);

// How many files this process may have open at once (the soft limit).
uint64_t OpenFileLimit();

// Views start at multiples of this (the page size on POSIX, the allocation
// granularity on Win32).  Read once; cheap afterwards.
uint32_t AllocationGranularity();

// A mapped view of part of a file.  `address` is null when not mapped.
struct MappedView {
  void* address = nullptr;
  size_t length = 0;
};
// Maps [offset, offset + length) of the file; offset must be a multiple of
// AllocationGranularity() and the range must lie inside the file.
[[nodiscard]] OsError MapView(NativeFile file, uint64_t offset, size_t length, bool writable,
                              MappedView* out);
// Unmaps the view and clears it.
OsError UnmapView(MappedView* view);

// A human-readable text for an error code.
std::string ErrorText(OsError code);

enum class PathKind { kMissing, kFile, kDirectory, kSymlink, kOther };

// What the path names, without following a final symbolic link.
PathKind GetPathKind(const std::string& path);
// True when `path` names an existing directory, following symbolic links.
bool IsDirectory(const std::string& path);
// Creates one directory (the parent must exist).
[[nodiscard]] OsError MakeDirectory(const std::string& path);
// The absolute path with every symbolic link, "." and ".." resolved; the
// path must exist.
[[nodiscard]] OsError ResolvePath(const std::string& path, std::string* out);

// Bytes available to this process on the file system holding `path`.
[[nodiscard]] OsError FreeDiskSpace(const std::string& path, uint64_t* bytes);

// Removes a file (not a directory); a symbolic link is removed, not followed.
OsError RemoveFile(const std::string& path);
// Removes an empty directory.
OsError RemoveDirectory(const std::string& path);
// Renames `from` to `to`, atomically replacing an existing `to`.
[[nodiscard]] OsError ReplaceFile(const std::string& from, const std::string& to);
// Opens `path`, flushes its data to the device and closes it.
[[nodiscard]] OsError SyncPath(const std::string& path);
// Flushes every file of the file system holding `path` to the device (one
// call instead of one flush per file when many files were written).
[[nodiscard]] OsError SyncFileSystem(const std::string& path);
// Flushes a directory's entries (a rename or creation inside it) to the device.
[[nodiscard]] OsError SyncDirectory(const std::string& path);

}  // namespace brelvane::platform
