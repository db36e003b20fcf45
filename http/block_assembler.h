// SPDX-License-Identifier: MIT
// BlockAssembler cuts a byte stream into blocks of a fixed size.  Bytes fill
// the current block, either appended (copied in) or received straight into
// its free tail (Tail, then Commit), which saves a copy per byte; a full
// block moves to a FIFO of completed blocks and a new current block starts.
// The HTTP client uses it to hand a response body to its sink in part-sized
// blocks, so that every block can be verified on arrival, and lets the sink
// take a completed block's buffer (TakeFront) so that it reaches the disk
// without another copy.
//
// A block size of kHttpNoLimit (or 0) never completes a block: the whole
// stream stays in the current block, which grows as needed.  Block buffers
// come from and go back to the storage buffer pool (storage/buffer_pool.h).
//
// Thread safety: one assembler is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>

namespace brelvane {

class BlockAssembler {
 public:
  // One block: a buffer of `capacity` bytes of which `size` are filled.
  class Block {
   public:
    const uint8_t* data() const { return bytes_.get(); }
    size_t size() const { return size_; }

   private:
    friend class BlockAssembler;
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0;
    size_t capacity_ = 0;
  };

  BlockAssembler() = default;
  ~BlockAssembler();
  BlockAssembler(const BlockAssembler&) = delete;
  BlockAssembler& operator=(const BlockAssembler&) = delete;

  // Drops all data and starts over with `block_size`.
  void Reset(uint32_t block_size);

  // Appends bytes; returns how many blocks this append completed.
  uint32_t Append(const uint8_t* data, size_t length);

  // Room to receive into: at least one and at most `want` bytes at the end
  // of the current block (*room says how many).  Commit then adds what was
  // put there.  REQUIRES: want > 0.
  uint8_t* Tail(size_t want, size_t* room);
  // Adds `count` bytes written at Tail(); returns 1 when they completed the
  // block, else 0.  REQUIRES: count <= the room Tail() offered.
  uint32_t Commit(size_t count);

  uint32_t block_size() const { return block_size_; }
  // Bytes in the current (incomplete) block.
  size_t fill() const { return current_.size_; }
  // Bytes in completed blocks not yet taken.
  uint64_t pending() const { return pending_; }
  // Completed blocks not yet taken.
  size_t complete_count() const { return complete_.size(); }

  bool has_complete_block() const { return !complete_.empty(); }
  // The oldest completed block.  REQUIRES: has_complete_block().
  const Block& front() const { return complete_.front(); }
  // Drops the oldest completed block.  REQUIRES: has_complete_block().
  void PopFront();
  // Removes the oldest completed block and hands over its buffer (at least
  // block_size() bytes).  REQUIRES: has_complete_block().
  std::unique_ptr<uint8_t[]> TakeFront();
  // Hands over the current block's buffer (at least fill() bytes, possibly
  // null when empty) and starts a new current block.
  std::unique_ptr<uint8_t[]> TakeCurrent();

  const Block& current() const { return current_; }
  std::string_view current_view() const {
    return std::string_view(reinterpret_cast<const char*>(current_.data()), current_.size_);
  }
  void ClearCurrent() { current_.size_ = 0; }

 private:
  // Blocks up to this size get their whole buffer at once; longer ones (and
  // the unlimited block) grow by doubling from kFirstGrowth.
  static constexpr uint32_t kMaxReserve = 4u << 20;
  static constexpr size_t kFirstGrowth = 16u << 10;

  // Gives the current block room for at least one more byte.
  void MakeRoom();
  // Returns a block's buffer to the pool.
  static void Recycle(Block* block);

  uint32_t block_size_ = ~uint32_t{0};
  uint64_t pending_ = 0;
  Block current_;
  std::deque<Block> complete_;
};

}  // namespace brelvane
