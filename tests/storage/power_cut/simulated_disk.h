// SPDX-License-Identifier: MIT
// A simulated disk behind the platform file layer (platform/file_io.h and
// platform/atomic_write.h), for power-cut tests.  simulated_disk.cpp defines
// the functions the storage engine calls; the power-cut test binary links it
// instead of the POSIX implementation, so the product code runs unchanged on
// top of it.  There is one disk per binary.
//
// Its model of what survives a power cut, strict POSIX:
// - a file's bytes and length survive as they were at its last data flush
//   (SyncFileData);
// - a name (creation, rename, removal, new directory) survives only once its
//   directory was flushed (SyncDirectory) - flushing a file does not make its
//   name durable;
// - SyncFileSystem makes everything durable.
// Every call that changes or flushes the disk is one numbered operation; at
// the chosen number the power goes: that call and every later one fails with
// EIO and changes nothing.  Crash() then throws away everything not durable
// and turns the power back on.
//
// Thread safety: every function here and every platform function takes one lock.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace brelvane::testing::disk {

// An empty disk holding only the given durable directories (parents first).
void Reset(std::initializer_list<std::string> directories);
// The power goes at operation `number` (counted from the last Reset or
// Crash, from 1); 0 keeps it on.
void CutPowerAt(uint64_t number);
// Operations so far.
uint64_t Operations();
// Keeps only what is durable, closes every handle, power back on.
void Crash();
// The current bytes of the file at `path`; nothing when there is none.
std::optional<std::vector<uint8_t>> Contents(const std::string& path);

}  // namespace brelvane::testing::disk
