// SPDX-License-Identifier: MIT
// MD5 digests (RFC 1321) as the catalogue and the storage engine use them.
//
// Md5Context is the plain streaming algorithm: its digest of the empty
// message is the RFC one (d41d8cd9...).  The one-shot routines below
// (Md5Buffer, Md5FileRange, Md5StreamRange) follow the updater's own rule
// instead: a zero length yields sixteen zero bytes.  Zero-length parts and
// files in the documents carry that all-zero digest, and part verification
// relies on the two agreeing.
//
// Thread safety: a context must not be shared between threads without
// external locking; the free functions are safe to call from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

namespace brelvane {

namespace platform {
class ReadOnlyFile;
}

// Sixteen raw digest bytes in the standard RFC 1321 byte order.
struct Md5Digest {
  std::array<uint8_t, 16> bytes{};

  bool IsZero() const;
  friend bool operator==(const Md5Digest&, const Md5Digest&) = default;
};

// Incremental MD5.  Update() may be called any number of times with any
// split of the input; Final() returns the digest and leaves the context to be
// Reset() before reuse.
class Md5Context {
 public:
  Md5Context() { Reset(); }

  void Reset();
  void Update(const void* data, size_t length);
  Md5Digest Final();

  // Bytes fed since the last Reset().
  uint64_t length() const { return length_; }

 private:
  uint32_t state_[4];
  uint64_t length_;
  uint8_t pending_[64];  // bytes of an incomplete block; length_ % 64 of them
};

// Digest of `length` bytes at `data`; all zero bytes when `length` is 0.
Md5Digest Md5Buffer(const void* data, size_t length);

// Digest of up to `length` bytes of `file` starting at `offset`, read in
// 1024-byte blocks until a block comes back short.  Stores the digest in
// `*digest` and returns the number of bytes read.  A zero length, or an
// offset the file cannot be positioned at, yields 0 bytes and the all-zero
// digest.
uint64_t Md5FileRange(platform::ReadOnlyFile& file, uint64_t offset, uint64_t length,
                      Md5Digest* digest);

// The same for the file at `path`, opened read-only; a file that cannot be
// opened yields 0 bytes and the all-zero digest.
uint64_t Md5FileRange(const std::string& path, uint64_t offset, uint64_t length,
                      Md5Digest* digest);

// Length value meaning "up to the end of the stream".
inline constexpr uint64_t kMd5ToEnd = ~uint64_t{0};

// Digest of up to `length` bytes of `in` from `offset` (kMd5ToEnd: to the
// end), read in 1024-byte blocks until a block comes back short.  The
// stream's error state is cleared afterwards so it can be used again.
// Returns the bytes read; a zero length gives 0 and the all-zero digest.
uint64_t Md5StreamRange(std::istream& in, uint64_t offset, uint64_t length, Md5Digest* digest);

// 32 upper-case hexadecimal digits, two per byte in byte order.
std::string DigestToHex(const Md5Digest& digest);

// Reads a digest written by DigestToHex, in either case.  The text is taken
// as exactly 32 characters: a longer text is cut, a shorter one padded with
// "0".  A character that is not a hexadecimal digit counts as 0, so such a
// digest is simply wrong rather than an error.
Md5Digest HexToDigest(std::string_view text);

}  // namespace brelvane
