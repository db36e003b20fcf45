// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "storage/block_allocator.h"
#include "storage/block_states.h"

namespace brelvane {
namespace {

// Builds an allocator from a picture: one character per part, 'f' free,
// 'r' requested, 'd' done.
FileBlockAllocator FromPicture(const std::string& picture) {
  FileBlockAllocator a;
  a.Init(static_cast<uint32_t>(picture.size()));
  for (uint32_t p = 0; p < picture.size(); ++p) {
    if (picture[p] == 'r') {
      EXPECT_TRUE(a.Take(p));
    }
    if (picture[p] == 'd') a.Complete(p);
  }
  return a;
}

std::string Picture(const FileBlockAllocator& a, uint32_t parts) {
  std::string s;
  for (uint32_t p = 0; p < parts; ++p) {
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
    uint32_t n = 10;
    const uint32_t start = a.AllocateUpTo(&n);
    ASSERT_LE(start, 89u);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(a.requested_parts().Size(), 10u);
    EXPECT_TRUE(a.requested_parts().Contains(start, start + 9));
    EXPECT_EQ(a.free_parts().Size(), 90u);
    ExpectConsistent(a);
    starts.insert(start);
  }
  EXPECT_EQ(starts.count(90), 0u);
  EXPECT_GT(starts.size(), 60u);  // spread over the candidates, not a fixed pick
}

TEST(FileBlockAllocatorTest, ShortFreeRangesGiveTheLongestWholeRangeAndNoneGiveNothing) {
  auto a = FromPicture("ffffddddddff");
  EXPECT_EQ(a.AllocateRandom(5), kNoPart);  // no range long enough: nothing changes
  EXPECT_EQ(Picture(a, 12), "ffffddddddff");
  uint32_t n = 5;
  EXPECT_EQ(a.AllocateUpTo(&n), 0u);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Picture(a, 12), "rrrrddddddff");
  EXPECT_NE(a.AllocateRandom(2), kNoPart);
  EXPECT_EQ(Picture(a, 12), "rrrrddddddrr");
  ExpectConsistent(a);
  n = 1;
  EXPECT_EQ(a.AllocateUpTo(&n), kNoPart);
  EXPECT_EQ(a.AllocateRandom(1), kNoPart);
  uint32_t out[4];
  EXPECT_EQ(a.PickRandomFree(4, out), 0u);
}

TEST(FileBlockAllocatorTest, StateMovesFollowTheLifecycle) {
  auto a = FromPicture("ffff");
  EXPECT_TRUE(a.Take(1));
  EXPECT_FALSE(a.Take(1));  // a second downloader cannot take it
  a.Complete(1);            // requested -> done
  a.Release(1);             // a done part stays done
  a.Complete(2);            // free -> done, data that came unasked
  EXPECT_EQ(Picture(a, 4), "fddf");
  a.Reopen(2);  // found bad: free again and allocatable
  EXPECT_EQ(Picture(a, 4), "fdff");
  EXPECT_TRUE(a.Take(2));
  a.Reopen(2);  // only done parts reopen
  EXPECT_EQ(Picture(a, 4), "fdrf");
  a.ReleaseAll();
  EXPECT_EQ(Picture(a, 4), "fdff");
  a.Complete(7);  // outside the file: nothing
  a.Release(9);
  EXPECT_FALSE(a.Take(4));
  ExpectConsistent(a);
}

TEST(BlockStatesTest, ReleaseOfARunSkipsPartsCompletedMeanwhile) {
  BlockStates states;
  states.AddFile(4, 10);
  for (uint32_t p = 3; p <= 7; ++p) ASSERT_TRUE(states.Take(UID{4, p, p}));
  states.OnPartVerified(UID{4, 5, 5});
  states.Release(UID{4, 3, 7});
  auto lock = states.Lock();
  EXPECT_EQ(Picture(*states.GetAllocator(4), 10), "fffffdffff");
}

TEST(BlockStatesTest, TakeNeedsASingleKnownFreePart) {
  BlockStates states;
  states.AddFile(1, 8);
  EXPECT_FALSE(states.Take(UID{1, 2, 3}));
  EXPECT_FALSE(states.Take(UID{2, 0, 0}));
  EXPECT_TRUE(states.Take(UID{1, 2, 2}));
  EXPECT_FALSE(states.Take(UID{1, 2, 2}));
  EXPECT_TRUE(states.AllRequested(UID{1, 2, 2}));
  EXPECT_FALSE(states.AllRequested(UID{1, 2, 3}));
  EXPECT_FALSE(states.AllRequested(UID{9, 2, 2}));
  states.OnPartVerified(UID{1, 3, 3});
  EXPECT_TRUE(states.AnyDone(UID{1, 0, 7}));
  EXPECT_FALSE(states.AnyDone(UID{1, 4, 7}));
  EXPECT_FALSE(states.AnyDone(UID{9, 0, 7}));
  states.OnPartVerified(UID{1, 5, 4});  // first > last: nothing
  EXPECT_FALSE(states.AnyDone(UID{1, 4, 5}));
  // Runs past the file's end stop there (no loop over the whole key space).
  states.Release(UID{1, 0, 0xFFFFFFFF});
  EXPECT_TRUE(states.AnyDone(UID{1, 3, 0xFFFFFFFF}));
  EXPECT_FALSE(states.AllRequested(UID{1, 2, 0xFFFFFFFF}));
  states.OnPartVerified(UID{1, 6, 0xFFFFFFFF});
  EXPECT_TRUE(states.AnyDone(UID{1, 7, 7}));
}

TEST(BlockStatesTest, AllocationFindsTheOneFileWithFreePartsAmongCompleteOnes) {
  BlockStates states;
  EXPECT_FALSE(states.AllocateBlocks(1).IsValid());  // no files at all
  for (uint32_t id = 0; id < 1000; ++id) {
    states.AddFile(id, 3);
    if (id != 613) states.OnPartVerified(UID{id, 0, 2});
  }
  std::string why;
  ASSERT_TRUE(states.CheckInvariants(&why)) << why;
  EXPECT_FALSE(states.AllocateBlocks(0).IsValid());
  const UID uid = states.AllocateBlocks(10);
  EXPECT_EQ(uid, (UID{613, 0, 2}));
  EXPECT_FALSE(states.AllocateBlocks(10).IsValid());  // everything requested or done
  UID out[4];
  EXPECT_EQ(states.PickRandomFreeBlocks(4, out), 0u);
  states.Release(UID{613, 1, 1});
  EXPECT_EQ(states.AllocateBlocks(10), (UID{613, 1, 1}));
  ASSERT_TRUE(states.CheckInvariants(&why)) << why;
}

TEST(BlockStatesTest, AllocationSpreadsOverFilesAndHandsOutRunsOfOneFile) {
  BlockStates states;
  states.AddFile(10, 50);
  states.AddFile(20, 50);
  std::set<uint32_t> files;
  for (int i = 0; i < 20; ++i) {
    const UID uid = states.AllocateBlocks(3);
    ASSERT_TRUE(uid.IsValid());
    ASSERT_LE(uid.first_part, uid.last_part);
    const uint32_t length = uid.last_part - uid.first_part + 1;
    EXPECT_LE(length, 3u);
    if (length < 3) {  // only when that file has no free run of 3 left
      auto lock = states.Lock();
      for (const auto& range : states.GetAllocator(uid.file_id)->free_parts().Ranges()) {
        EXPECT_LT(range.hi - range.lo + 1, 3u);
      }
    }
    EXPECT_TRUE(states.AllRequested(uid));
    files.insert(uid.file_id);
  }
  EXPECT_EQ(files.size(), 2u);
}

TEST(BlockStatesTest, PickRandomFreeBlocksListsWithoutTaking) {
  BlockStates states;
  states.AddFile(1, 5);
  states.AddFile(2, 30);
  UID out[20];
  const uint32_t count = states.PickRandomFreeBlocks(20, out);
  ASSERT_EQ(count, 20u);
  std::set<std::pair<uint32_t, uint32_t>> seen;
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_TRUE(out[i].IsSingle());
    EXPECT_TRUE(out[i].file_id == 1 || out[i].file_id == 2);
    seen.insert({out[i].file_id, out[i].first_part});
  }
  EXPECT_EQ(seen.size(), 20u);
  auto lock = states.Lock();
  EXPECT_EQ(states.GetAllocator(1)->free_parts().Size(), 5u);
  EXPECT_EQ(states.GetAllocator(2)->free_parts().Size(), 30u);
}

TEST(BlockStatesTest, ReleaseAllSkipsTheUnnamedEntryAndAddFileResets) {
  BlockStates states;
  states.AddFile(1, 4);
  states.AddFile(kNoFile, 4);  // the seed's own file
  ASSERT_TRUE(states.Take(UID{1, 0, 0}));
  ASSERT_TRUE(states.Take(UID{kNoFile, 0, 0}));
  states.ReleaseAll();
  {
    auto lock = states.Lock();
    EXPECT_TRUE(states.GetAllocator(1)->IsFree(0));
    EXPECT_TRUE(states.GetAllocator(kNoFile)->IsRequested(0));
  }
  states.AddFile(kNoFile, 2);
  {
    auto lock = states.Lock();
    EXPECT_EQ(Picture(*states.GetAllocator(kNoFile), 2), "ff");
  }
  states.Clear();
  auto lock = states.Lock();
  EXPECT_EQ(states.GetAllocator(1), nullptr);
}

TEST(BlockStatesTest, RandomOperationsKeepEveryInvariant) {
  BlockStates states;
  std::mt19937 rng(7);
  for (uint32_t id = 0; id < 6; ++id) states.AddFile(id * 3, 1 + id * 7);
  std::string why;
  for (int step = 0; step < 5000; ++step) {
    const uint32_t file = (rng() % 7) * 3;  // one id is never registered
    const uint32_t a = rng() % 40;
    const uint32_t b = a + rng() % 5;
    switch (rng() % 7) {
      case 0:
        (void)states.Take(UID{file, a, a});
        break;
      case 1:
        states.Release(UID{file, a, b});
        break;
      case 2:
        states.OnPartVerified(UID{file, a, a});
        break;
      case 3:
        states.OnPartReset(UID{file, a, a});
        break;
      case 4: {
        const UID uid = states.AllocateBlocks(1 + rng() % 10);
        if (uid.IsValid()) {
          ASSERT_TRUE(states.AllRequested(uid));
        }
        break;
      }
      case 5:
        if (rng() % 50 == 0) states.ReleaseAll();
        break;
      default: {
        UID out[8];
        (void)states.PickRandomFreeBlocks(8, out);
      }
    }
    ASSERT_TRUE(states.CheckInvariants(&why)) << "step " << step << ": " << why;
  }
}

}  // namespace
}  // namespace brelvane
