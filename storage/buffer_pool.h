// SPDX-License-Identifier: MIT
// A small process-wide cache of freed part buffers.  Parts are assembled in
// buffers of the part length (often 512 KiB) that live only until the part is
// on disk; large blocks like these come straight from the system each time,
// and a fresh mapping costs a page fault per page.  Reusing a few freed
// buffers of the same length removes that cost.  The cache holds at most
// kMaxBytes; anything beyond is freed at once.
//
// Thread safety: Take and Give may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brelvane {

class BufferPool {
 public:
  static constexpr size_t kMaxBytes = 1u << 20;

  // A buffer of exactly `size` bytes (content undefined); `size` may be 0.
  static std::unique_ptr<uint8_t[]> Take(size_t size);
  // Returns a buffer of `size` bytes for reuse (or frees it).
  static void Give(std::unique_ptr<uint8_t[]> buffer, size_t size);
  // Frees every cached buffer.
  static void Trim();
};

}  // namespace brelvane
