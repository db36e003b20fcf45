// SPDX-License-Identifier: MIT
#include "http/block_assembler.h"

#include <algorithm>
#include <utility>

namespace brelvane {

void BlockAssembler::Reset(uint32_t block_size) {
  block_size_ = block_size == 0 ? ~uint32_t{0} : block_size;
  while (!complete_.empty()) PopFront();
  pending_ = 0;
  current_.clear();
}

BlockAssembler::Block BlockAssembler::NewBlock() {
  Block block;
  if (!spares_.empty()) {
    block = std::move(spares_.back());
    spares_.pop_back();
    block.clear();
  }
  if (block_size_ <= kMaxReserve) block.reserve(block_size_);
  return block;
}

uint32_t BlockAssembler::Append(const uint8_t* data, size_t length) {
  uint32_t completed = 0;
  while (length > 0) {
    if (current_.capacity() == 0) current_ = NewBlock();
    size_t room = block_size_ - current_.size();
    size_t take = std::min(room, length);
    current_.insert(current_.end(), data, data + take);
    data += take;
    length -= take;
    if (current_.size() == block_size_) {
      pending_ += current_.size();
      complete_.push_back(std::move(current_));
      current_ = Block();
      ++completed;
    }
  }
  return completed;
}

void BlockAssembler::PopFront() {
  pending_ -= complete_.front().size();
  if (spares_.size() < kMaxSpares) spares_.push_back(std::move(complete_.front()));
  complete_.pop_front();
}

}  // namespace brelvane
