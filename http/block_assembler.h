// SPDX-License-Identifier: MIT
// BlockAssembler cuts a byte stream into blocks of a fixed size.  Appended
// bytes fill the current block; a full block moves to a FIFO of completed
// blocks and a new current block starts.  The HTTP client uses it to hand a
// response body to its sink in part-sized blocks, so that every block can be
// verified on arrival.
//
// A block size of kHttpNoLimit (or 0) never completes a block: the whole
// stream stays in the current block.  Buffers of delivered blocks are reused
// for the next ones.
//
// Thread safety: one assembler is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>
#include <vector>

namespace brelvane {

class BlockAssembler {
 public:
  using Block = std::vector<uint8_t>;

  // Drops all data and starts over with `block_size`.
  void Reset(uint32_t block_size);

  // Appends bytes; returns how many blocks this append completed.
  uint32_t Append(const uint8_t* data, size_t length);

  uint32_t block_size() const { return block_size_; }
  // Bytes in the current (incomplete) block.
  size_t fill() const { return current_.size(); }
  // Bytes in completed blocks not yet taken.
  uint64_t pending() const { return pending_; }

  bool has_complete_block() const { return !complete_.empty(); }
  // The oldest completed block.  REQUIRES: has_complete_block().
  const Block& front() const { return complete_.front(); }
  // Drops the oldest completed block.  REQUIRES: has_complete_block().
  void PopFront();

  const Block& current() const { return current_; }
  std::string_view current_view() const {
    return std::string_view(reinterpret_cast<const char*>(current_.data()), current_.size());
  }
  void ClearCurrent() { current_.clear(); }

 private:
  // Blocks up to this size get their whole buffer at once.
  static constexpr uint32_t kMaxReserve = 4u << 20;
  static constexpr size_t kMaxSpares = 2;

  Block NewBlock();

  uint32_t block_size_ = ~uint32_t{0};
  uint64_t pending_ = 0;
  Block current_;
  std::deque<Block> complete_;
  std::vector<Block> spares_;
};

}  // namespace brelvane
