// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include "storage/block_allocator.h"
#include "storage/block_states.h"

namespace brelvane {
namespace {

// One character per part: 'f' free, 'r' requested, 'd' done.
std::string Picture(const FileBlockAllocator& a) {
  std::string s;
  for (uint32_t p = 0; p < a.part_count(); ++p) {
    s += a.IsFree(p) ? 'f' : a.IsRequested(p) ? 'r' : a.IsDone(p) ? 'd' : '?';
  }
  return s;
}

void ExpectConsistent(const FileBlockAllocator& a) {
  std::string why;
  EXPECT_TRUE(a.CheckInvariants(&why)) << why;
}

TEST(FileBlockAllocatorTest, RunFromALongRangeNeverStartsAtTheLastPossibleStart) {
  std::set<uint32_t> starts;
  for (int trial = 0; trial < 2000; ++trial) {
    FileBlockAllocator a;
    a.Init(100);
    a.Complete(50);  // free: 0..49 and 51..99, both long enough
    uint32_t n = 10;
    const uint32_t start = a.AllocateUpTo(&n);
    ASSERT_TRUE(start <= 39 || (start >= 51 && start <= 89)) << start;
    EXPECT_EQ(std::pair(n, a.requested_parts().Size()), std::pair(10u, uint64_t{10}));
    EXPECT_TRUE(a.requested_parts().Contains(start, start + 9) && a.free_parts().Size() == 89);
    ExpectConsistent(a);
    starts.insert(start);
  }
  EXPECT_GT(starts.size(), 60u);  // spread over the candidates, not a fixed pick
  EXPECT_TRUE(*starts.begin() < 50 && *starts.rbegin() > 50);  // from either range
}

TEST(FileBlockAllocatorTest, ShortFreeRangesGiveTheLongestWholeRangeAndNoneGiveNothing) {
  FileBlockAllocator a;
  a.Init(12);
  for (uint32_t p = 4; p < 10; ++p) a.Complete(p);
  EXPECT_EQ(a.AllocateRandom(5), kNoPart);  // no range long enough: nothing changes
  EXPECT_EQ(Picture(a), "ffffddddddff");
  uint32_t n = 5;
  EXPECT_EQ(a.AllocateUpTo(&n), 0u);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Picture(a), "rrrrddddddff");
  EXPECT_NE(a.AllocateRandom(2), kNoPart);
  EXPECT_EQ(Picture(a), "rrrrddddddrr");
  ExpectConsistent(a);
  n = 1;
  uint32_t out[4];
  EXPECT_EQ(std::tuple(a.AllocateUpTo(&n), a.AllocateRandom(1), a.PickRandomFree(4, out)),
            std::tuple(kNoPart, kNoPart, 0u));
  a.Complete(12), a.Release(13), a.Reopen(14);  // outside the file: nothing
  EXPECT_FALSE(a.Take(12));
  EXPECT_EQ(Picture(a), "rrrrddddddrr");
}

// BlockStates against a model of one picture per file, over random steps of
// every operation, with runs reaching past a file's end, reversed runs, an
// unknown file and the seed's own entry (kNoFile), which ReleaseAll skips.
TEST(BlockStatesTest, RandomOperationsMatchAModelOfEveryFilesParts) {
  BlockStates states;
  std::map<uint32_t, std::string> model;
  std::mt19937 rng(7);
  const uint32_t ids[] = {0, 3, 6, 9, 12, kNoFile, 15};  // 15 is never registered
  for (int i = 0; i < 6; ++i) states.AddFile(ids[i], 1 + i * 7), model[ids[i]] = std::string(1 + i * 7, 'f');
  const auto free_count = [&] {
    size_t n = 0;
    for (const auto& [id, picture] : model) n += std::count(picture.begin(), picture.end(), 'f');
    return n;
  };
  std::set<uint32_t> allocated_from;
  std::string why;
  for (int step = 0; step < 6000; ++step) {
    SCOPED_TRACE(step);
    const uint32_t file = ids[rng() % 7], a = rng() % 40;
    const uint32_t b = rng() % 30 == 0 ? 0xFFFFFFFF : a + rng() % 6 - 1;  // a - 1: reversed
    const UID uid{file, a, b};
    std::string* picture = model.count(file) ? &model[file] : nullptr;
    const uint32_t end = picture ? std::min<uint64_t>(b, picture->size() - 1) + 1 : 0;
    const auto any = [&](char state) { return a < end && picture->find(state, a) < end; };
    const auto set = [&](char from, char to) {  // '*': from any state
      for (uint32_t p = a; p < end; ++p) {
        if (from == '*' || (*picture)[p] == from) (*picture)[p] = to;
      }
    };
    switch (rng() % 9) {
      case 0:
        ASSERT_EQ(states.Take(uid), picture && a == b && a < end && (*picture)[a] == 'f');
        if (a == b) set('f', 'r');
        break;
      case 1:
        states.Release(uid), set('r', 'f');
        break;
      case 2:
        states.OnPartVerified(uid), set('*', 'd');
        break;
      case 3:
        states.OnPartReset(uid), set('d', 'f');
        break;
      case 4: {
        const uint32_t n = rng() % 8;
        const UID got = states.AllocateBlocks(n);
        // The seed's entry reads as an invalid UID, with its parts all the same.
        ASSERT_EQ(got.first_part != kNoPart, n > 0 && free_count() > 0);
        if (got.first_part == kNoPart) break;
        allocated_from.insert(got.file_id);
        ASSERT_LE(got.first_part, got.last_part);
        const uint32_t length = got.last_part - got.first_part + 1;
        ASSERT_LE(length, n);
        std::string& p = model.at(got.file_id);
        ASSERT_EQ(p.substr(got.first_part, length), std::string(length, 'f'));
        p.replace(got.first_part, length, length, 'r');
        // Shorter than asked only when the file has no longer free run.
        ASSERT_TRUE(length == n || p.find(std::string(length + 1, 'f')) == std::string::npos);
        break;
      }
      case 5: {
        UID out[8];
        const uint32_t count = states.PickRandomFreeBlocks(8, out);
        ASSERT_EQ(count, std::min<size_t>(8, free_count()));
        std::set<std::pair<uint32_t, uint32_t>> seen;
        for (uint32_t i = 0; i < count; ++i) {
          ASSERT_TRUE(out[i].IsSingle() && model.at(out[i].file_id).at(out[i].first_part) == 'f');
          seen.insert({out[i].file_id, out[i].first_part});
        }
        ASSERT_EQ(seen.size(), count);
        break;
      }
      case 6:
        ASSERT_EQ(states.AnyDone(uid), picture && any('d'));
        ASSERT_EQ(states.AllRequested(uid),
                  picture && (a > b || (b < picture->size() && !any('f') && !any('d'))));
        break;
      case 7:
        if (step % 40 != 0) break;
        states.ReleaseAll();
        for (auto& [id, p] : model) std::replace(p.begin(), p.end(), 'r', id == kNoFile ? 'r' : 'f');
        break;
      default:  // a known file registered again: all free
        if (rng() % 50 == 0 && picture) states.AddFile(file, a + 1), *picture = std::string(a + 1, 'f');
    }
    ASSERT_TRUE(states.CheckInvariants(&why)) << why;
    auto lock = states.Lock();
    for (const auto& [id, p] : model) ASSERT_EQ(Picture(*states.GetAllocator(id)), p);
    ASSERT_EQ(states.GetAllocator(15), nullptr);
  }
  EXPECT_GE(allocated_from.size(), 5u);  // allocation spreads over the files
  states.Clear();
  auto lock = states.Lock();
  EXPECT_EQ(states.GetAllocator(0), nullptr);
}

}  // namespace
}  // namespace brelvane
