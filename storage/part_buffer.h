// SPDX-License-Identifier: MIT
// PartBuffer: one part of a file while it is assembled in memory.  Chunks of
// any size and alignment (HTTP ranges, peer data pieces) are copied into the
// part's buffer; a 64-bit RangeSet of the absolute byte offsets still missing
// tells when the part is whole, and the whole part is then checked against its
// MD5 digest.  A part that fails the check is wanted again from its first byte.
//
// Thread safety: none; the owning File guards it with its lock.
#pragma once

#include <cstdint>
#include <memory>

#include "catalogue/md5.h"
#include "catalogue/seed_model.h"
#include "storage/range_set.h"

namespace brelvane {

class PartBuffer {
 public:
  // Copies the part's id, length, offset and digest; every byte missing.
  explicit PartBuffer(const PartEntry& entry);
  PartBuffer(PartBuffer&&) noexcept = default;
  PartBuffer& operator=(PartBuffer&&) noexcept = default;

  // Takes the bytes of the chunk [offset, offset + length) that fall inside
  // this part.  Returns 1 when they completed the part and its digest
  // matches; -1 when they completed it and the digest is wrong (every byte is
  // then missing again; the buffer keeps the bad bytes until overwritten);
  // 0 otherwise (part still incomplete, chunk outside the part, or the part
  // was already whole).
  int BufferAndVerify(const uint8_t* data, uint32_t length, uint64_t offset);

  // True when `length` is the part's length and the bytes have its digest.
  bool VerifyBuffer(const uint8_t* bytes, uint32_t length) const;

  // Takes `bytes` (the part's length, already found to have its digest) as
  // the whole part, without copying or hashing: the part is assembled.  The
  // buffer held before goes back to the pool.  REQUIRES: Length() > 0.
  void AdoptVerified(std::unique_ptr<uint8_t[]> bytes);

  // Releases the buffer (keeps what is known about missing bytes).
  void FreeBuffer();
  // Marks every byte missing again (the part was found bad on disk).
  void ResetMissing();

  const uint8_t* Data() const { return buffer_.get(); }
  bool HasData() const { return buffer_ != nullptr; }
  uint32_t Length() const { return length_; }
  uint64_t Offset() const { return offset_; }
  uint32_t Id() const { return id_; }
  const Md5Digest& Digest() const { return digest_; }
  bool IsAssembled() const { return missing_.Empty(); }
  uint64_t MissingBytes() const { return missing_.Size(); }

 private:
  // Gives the buffer `size` bytes, keeping the prefix; the same size is a no-op.
  void ResizeBuffer(uint32_t size);

  uint32_t id_;
  uint32_t length_;
  uint64_t offset_;
  Md5Digest digest_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t buffer_size_ = 0;
  RangeSet64 missing_;
};

}  // namespace brelvane
