// SPDX-License-Identifier: MIT
#include "http/block_assembler.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "storage/buffer_pool.h"

namespace brelvane {

BlockAssembler::~BlockAssembler() { Reset(block_size_); }

void BlockAssembler::Recycle(Block* block) {
  BufferPool::Give(std::move(block->bytes_), block->capacity_);
  block->size_ = 0;
  block->capacity_ = 0;
}

void BlockAssembler::Reset(uint32_t block_size) {
  block_size_ = block_size == 0 ? ~uint32_t{0} : block_size;
  while (!complete_.empty()) PopFront();
  pending_ = 0;
  // A buffer of another size than the new blocks' goes back to the pool.
  if (current_.capacity_ != block_size_) Recycle(&current_);
  current_.size_ = 0;
}

void BlockAssembler::MakeRoom() {
  if (current_.size_ < current_.capacity_) return;
  size_t capacity = block_size_;
  if (block_size_ > kMaxReserve) {
    capacity = std::max(kFirstGrowth, 2 * current_.capacity_);
    if (capacity > block_size_) capacity = block_size_;
  }
  std::unique_ptr<uint8_t[]> bigger = BufferPool::Take(capacity);
  if (current_.size_ > 0) std::memcpy(bigger.get(), current_.bytes_.get(), current_.size_);
  const size_t kept = current_.size_;
  Recycle(&current_);
  current_.bytes_ = std::move(bigger);
  current_.capacity_ = capacity;
  current_.size_ = kept;
}

uint8_t* BlockAssembler::Tail(size_t want, size_t* room) {
  MakeRoom();
  const size_t limit = std::min<size_t>(current_.capacity_, block_size_);
  *room = std::min(want, limit - current_.size_);
  return current_.bytes_.get() + current_.size_;
}

uint32_t BlockAssembler::Commit(size_t count) {
  current_.size_ += count;
  if (current_.size_ < block_size_) return 0;
  pending_ += current_.size_;
  complete_.push_back(std::move(current_));
  current_ = Block();
  return 1;
}

uint32_t BlockAssembler::Append(const uint8_t* data, size_t length) {
  uint32_t completed = 0;
  while (length > 0) {
    size_t room = 0;
    uint8_t* tail = Tail(length, &room);
    std::memcpy(tail, data, room);
    data += room;
    length -= room;
    completed += Commit(room);
  }
  return completed;
}

void BlockAssembler::PopFront() {
  pending_ -= complete_.front().size_;
  Recycle(&complete_.front());
  complete_.pop_front();
}

std::unique_ptr<uint8_t[]> BlockAssembler::TakeFront() {
  Block& block = complete_.front();
  pending_ -= block.size_;
  std::unique_ptr<uint8_t[]> bytes = std::move(block.bytes_);
  complete_.pop_front();
  return bytes;
}

std::unique_ptr<uint8_t[]> BlockAssembler::TakeCurrent() {
  std::unique_ptr<uint8_t[]> bytes = std::move(current_.bytes_);
  current_ = Block();
  return bytes;
}

}  // namespace brelvane
