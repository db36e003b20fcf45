// SPDX-License-Identifier: MIT
// Process-wide memory allocator settings.
#pragma once

namespace brelvane::platform {

// Keeps the allocator from giving every thread a heap of its own.  The
// download threads allocate block copies that the storage worker frees;
// with one heap per thread each heap keeps its own high-water mark of the
// storage queue, which multiplies the resident memory for no gain.  Call
// first thing in the process, before any thread starts.
void LimitAllocatorArenas();

}  // namespace brelvane::platform
