// SPDX-License-Identifier: MIT
// MD5 of several messages of equal length at once.  MD5 is a chain of
// dependent steps, so one digest keeps a core's arithmetic units mostly
// idle; running eight independent digests side by side in vector registers
// uses them.  BuildFileList hashes a file's parts this way, which leaves
// most of a core free while another thread computes the whole-file digest.
//
// Results equal Md5Buffer's, including the all-zero digest of an empty
// message.
//
// Thread safety: pure function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "catalogue/md5.h"

namespace brelvane {

// Number of messages digested together.
inline constexpr size_t kMd5Lanes = 8;

// Stores in digests[i] the digest of the `length` bytes at messages[i], for
// i < count (count <= kMd5Lanes).
void Md5EqualLength(const uint8_t* const messages[], size_t count, size_t length,
                    Md5Digest digests[]);

}  // namespace brelvane
