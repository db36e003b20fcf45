// SPDX-License-Identifier: MIT
#include "storage/part_buffer.h"

#include <algorithm>
#include <cstring>

#include "storage/buffer_pool.h"

namespace brelvane {

PartBuffer::PartBuffer(const PartEntry& entry)
    : id_(entry.id), length_(entry.length), offset_(entry.start), digest_(entry.md5) {
  ResetMissing();
}

void PartBuffer::ResetMissing() {
  missing_.Clear();
  // A zero-length part has no byte to miss (and [offset, offset - 1] would
  // wrap round the whole key space).
  if (length_ > 0) missing_.InsertRange(offset_, offset_ + length_ - 1);
}

void PartBuffer::ResizeBuffer(uint32_t size) {
  if (size == buffer_size_ && (buffer_ != nullptr || size == 0)) return;
  std::unique_ptr<uint8_t[]> bigger = BufferPool::Take(size);
  if (buffer_ != nullptr) std::memcpy(bigger.get(), buffer_.get(), std::min(size, buffer_size_));
  BufferPool::Give(std::move(buffer_), buffer_size_);
  buffer_ = std::move(bigger);
  buffer_size_ = size;
}

void PartBuffer::FreeBuffer() {
  BufferPool::Give(std::move(buffer_), buffer_size_);
  buffer_size_ = 0;
}

void PartBuffer::AdoptVerified(std::unique_ptr<uint8_t[]> bytes) {
  BufferPool::Give(std::move(buffer_), buffer_size_);
  buffer_ = std::move(bytes);
  buffer_size_ = length_;
  missing_.Clear();
}

bool PartBuffer::VerifyBuffer(const uint8_t* bytes, uint32_t length) const {
  return length == length_ && Md5Buffer(bytes, length) == digest_;
}

int PartBuffer::BufferAndVerify(const uint8_t* data, uint32_t length, uint64_t offset) {
  if (missing_.Empty() || length == 0) return 0;
  ResizeBuffer(length_);
  const uint64_t chunk_end = offset + length - 1;
  const uint64_t part_end = offset_ + length_ - 1;
  const uint64_t lo = std::max(offset, offset_);
  const uint64_t hi = std::min(chunk_end, part_end);
  if (hi < lo) return 0;
  std::memcpy(buffer_.get() + (lo - offset_), data + (lo - offset), hi - lo + 1);
  missing_.EraseRange(lo, hi);
  if (!missing_.Empty()) return 0;
  if (VerifyBuffer(buffer_.get(), length_)) return 1;
  missing_.InsertRange(offset_, part_end);
  return -1;
}

}  // namespace brelvane
