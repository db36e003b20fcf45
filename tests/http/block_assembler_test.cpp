// SPDX-License-Identifier: MIT
#include "http/block_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http_types.h"
#include "http/scripted_server.h"

namespace brelvane {
namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Text(const BlockAssembler::Block& block) {
  return std::string(reinterpret_cast<const char*>(block.data()), block.size());
}

// Appends `data` in pieces of `piece` bytes and collects every completed
// block as soon as it completes; the partial rest is appended last.
std::vector<std::string> CutInto(uint32_t block_size, const std::string& data, size_t piece,
                                 uint32_t* completions) {
  BlockAssembler assembler;
  assembler.Reset(block_size);
  std::vector<std::string> blocks;
  *completions = 0;
  for (size_t at = 0; at < data.size(); at += piece) {
    size_t n = std::min(piece, data.size() - at);
    uint32_t completed = assembler.Append(Bytes(data) + at, n);
    *completions += completed;
    uint32_t seen = 0;
    while (assembler.has_complete_block()) {
      EXPECT_EQ(assembler.pending(), uint64_t{block_size} * (completed - seen));
      blocks.push_back(Text(assembler.front()));
      assembler.PopFront();
      ++seen;
    }
    EXPECT_EQ(seen, completed);
    EXPECT_LT(assembler.fill(), block_size);
  }
  if (assembler.fill() > 0) blocks.push_back(std::string(assembler.current_view()));
  return blocks;
}

TEST(BlockAssemblerTest, CutsAStreamAtBlockBoundariesWhateverThePieceSizes) {
  const std::string data = test::PatternBytes(1000);
  for (uint32_t block_size : {1u, 7u, 100u, 250u, 999u, 1000u, 1001u}) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{99}, size_t{100}, size_t{101}, size_t{1000}}) {
      SCOPED_TRACE("block " + std::to_string(block_size) + ", piece " + std::to_string(piece));
      uint32_t completions = 0;
      std::vector<std::string> blocks = CutInto(block_size, data, piece, &completions);
      EXPECT_EQ(completions, data.size() / block_size);
      std::string joined;
      for (size_t i = 0; i < blocks.size(); ++i) {
        if (i + 1 < blocks.size() || data.size() % block_size == 0) {
          EXPECT_EQ(blocks[i].size(), block_size) << "block " << i;
        }
        EXPECT_EQ(blocks[i], data.substr(i * block_size, block_size));
        joined += blocks[i];
      }
      EXPECT_EQ(joined, data);
    }
  }
}

TEST(BlockAssemblerTest, KeepsEverythingInOneBlockWithoutABlockSize) {
  for (uint32_t unlimited : {kHttpNoLimit, 0u}) {
    BlockAssembler assembler;
    assembler.Reset(unlimited);
    const std::string data = test::PatternBytes(100000);
    for (size_t at = 0; at < data.size(); at += 4096) {
      EXPECT_EQ(assembler.Append(Bytes(data) + at, std::min<size_t>(4096, data.size() - at)), 0u);
    }
    EXPECT_FALSE(assembler.has_complete_block());
    EXPECT_EQ(assembler.current_view(), data);
  }
}

}  // namespace
}  // namespace brelvane
