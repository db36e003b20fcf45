// SPDX-License-Identifier: MIT
#include "storage/file_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "base/console_log.h"
#include "catalogue/download_info.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using testing::Gate;
using testing::MakeEntry;
using testing::MemoryFile;
using testing::PatternBytes;
using testing::ReadWholeFile;
using testing::TempDir;

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.SetPaths(FileEntry(), dir_.path(), "T");
    SetLastResumeWrite(0);
  }
  // Registers file `id` of `size` bytes in parts of `part_size`, nothing on disk.
  const std::vector<uint8_t>& Add(uint32_t id, size_t size, uint32_t part_size) {
    contents_[id] = PatternBytes(size, id + 1);
    entries_[id] = MakeEntry(id, "d/file" + std::to_string(id), contents_[id], part_size);
    EXPECT_TRUE(fs_.RegisterFile(dir_.path() + entries_[id].name, entries_[id], true,
                                 RangeSet32()));
    return contents_[id];
  }
  void Commit(uint32_t id, uint32_t part) {
    const PartEntry& p = entries_[id].parts[part];
    ASSERT_TRUE(fs_.CommitWrite(id, contents_[id].data() + p.start, p.length, p.start, nullptr));
  }

  TempDir dir_;
  std::map<uint32_t, std::vector<uint8_t>> contents_;
  std::map<uint32_t, FileEntry> entries_;
  FileSystem fs_;
};

TEST_F(FileSystemTest, FullQueueMakesACommitFailAfterItsTimeout) {
  const auto& content = Add(1, 10000, 100);
  ASSERT_TRUE(fs_.StartRunner(4));
  Gate gate;
  ASSERT_TRUE(gate.Hold(fs_.runner()));
  for (uint32_t p = 0; p < 4; ++p) Commit(1, p);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(fs_.CommitWrite(1, content.data() + 400, 100, 400, nullptr));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
  gate.Open();
  ASSERT_TRUE(fs_.Drain());
  EXPECT_EQ(fs_.GetFile(1)->VerifiedCount(), 4u);
}

TEST_F(FileSystemTest, BackloggedFileRefusesDataWhileTheDiskLacksRoom) {
  const auto content = PatternBytes(600 * 16, 5);
  const auto entry = MakeEntry(4, "b", content, 16);
  MemoryFile disk;
  disk.set_refuse_writes(true);
  std::ostringstream console;  // the failed writes' answer lines
  ConsoleLog::Get().SetOutput(&console);
  auto file = File::Create(dir_.File("b"), entry, RangeSet32(), &fs_.block_states(), &disk);
  ASSERT_TRUE(fs_.AddFile(std::move(file)));
  fs_.RecomputeCounters();
  int queries = 0;
  uint64_t free_bytes = 1 << 20;  // room while the backlog builds up
  fs_.set_free_space_query([&](const std::string&, uint64_t* bytes) {
    ++queries;
    *bytes = free_bytes;
    return 0;
  });
  ASSERT_TRUE(fs_.StartRunner(128));
  for (uint32_t p = 0; p < 600; ++p) {
    ASSERT_TRUE(fs_.CommitWrite(4, content.data() + p * 16, 16, p * 16, nullptr)) << p;
    if (p % 100 == 0) {
      ASSERT_TRUE(fs_.Drain());  // the backlog builds up as the worker goes
    }
  }
  ASSERT_TRUE(fs_.Drain());
  ASSERT_TRUE(fs_.GetFile(4)->IsBacklogged());
  free_bytes = 0;
  EXPECT_FALSE(fs_.CommitWrite(4, content.data(), 16, 0, nullptr));
  EXPECT_GT(queries, 0);
  free_bytes = 1 << 20;  // room again: accepted (and ignored, the part is verified)
  EXPECT_TRUE(fs_.CommitWrite(4, content.data(), 16, 0, nullptr));
  // A failing query counts as no room.
  fs_.set_free_space_query([](const std::string&, uint64_t*) { return 5; });
  EXPECT_FALSE(fs_.CommitWrite(4, content.data(), 16, 0, nullptr));

  disk.set_refuse_writes(false);
  fs_.Flush(4);
  ASSERT_TRUE(fs_.Drain());
  EXPECT_FALSE(fs_.GetFile(4)->IsBacklogged());
  queries = 0;
  fs_.set_free_space_query([&](const std::string&, uint64_t*) {
    ++queries;
    return 5;
  });
  EXPECT_TRUE(fs_.CommitWrite(4, content.data(), 16, 0, nullptr));
  EXPECT_EQ(queries, 0);  // below the backlog no free-space check is made
  ASSERT_TRUE(fs_.Drain());
  EXPECT_EQ(disk.bytes(), content);
  fs_.StopRunner();
  fs_.DeleteAllFiles();  // before `disk` goes
  ConsoleLog::Get().SetOutput(nullptr);
  EXPECT_NE(console.str().find("[Interactive]Error = WriteFile"), std::string::npos);
}

TEST_F(FileSystemTest, RegistrationTakesPartsOnDiskFromTheNotCompleteSet) {
  const auto content = PatternBytes(800, 9);
  auto entry = MakeEntry(2, "r", content, 100);
  ASSERT_TRUE(fs_.RegisterFile(dir_.File("r"), entry, false, RangeSet32()));
  EXPECT_EQ(fs_.WrittenParts(), 8u);
  EXPECT_TRUE(fs_.AllWritten());
  fs_.DeleteAllFiles();
  fs_.block_states().Clear();
  EXPECT_EQ(fs_.TotalParts(), 0u);
  EXPECT_FLOAT_EQ(fs_.Progress(), 0.0f);

  RangeSet32 missing;
  missing.Insert(2);
  missing.Insert(5);
  ASSERT_TRUE(fs_.RegisterFile(dir_.File("r"), entry, false, missing));
  EXPECT_EQ(fs_.WrittenParts(), 6u);
  EXPECT_EQ(fs_.TotalParts(), 8u);
  EXPECT_EQ(fs_.TotalBytes(), 800u);
  EXPECT_TRUE(fs_.IsPartFree(2, 2));
  EXPECT_FALSE(fs_.IsPartFree(2, 3));
  std::map<uint32_t, RangeSet32> unwritten;
  fs_.CollectUnwritten(&unwritten);
  ASSERT_EQ(unwritten.count(2), 1u);
  EXPECT_EQ(unwritten[2], missing);
  EXPECT_FALSE(fs_.RegisterFile(dir_.File("r"), entry, true, RangeSet32()));  // id taken
  EXPECT_FALSE(fs_.IsPartFree(2, 3));  // and its states untouched
}

TEST_F(FileSystemTest, RegistrationRefusesUnsafeNamesAndPathsLeadingOutside) {
  TempDir outside;
  const auto content = PatternBytes(100, 1);
  for (const char* name : {"../escape", "/abs", "a/../../b", "CON", "a\\b", ""}) {
    auto entry = MakeEntry(7, name, content, 100);
    EXPECT_FALSE(fs_.RegisterFile(dir_.path() + name, entry, true, RangeSet32())) << name;
  }
  // A seed tag (not a checked name) cannot climb out either.
  FileSystem seed_fs;
  seed_fs.SetPaths(MakeEntry(kSeedFileId, "s", content, 100), dir_.path(), "/../../../escaped");
  EXPECT_FALSE(seed_fs.RegisterSeed());
  EXPECT_FALSE(PathExists(dir_.path() + "../escaped"));
  std::filesystem::create_directory_symlink(outside.path(), dir_.File("link"));
  auto linked = MakeEntry(8, "link/x", content, 100);
  EXPECT_FALSE(fs_.RegisterFile(dir_.File("link/x"), linked, true, RangeSet32()));
  EXPECT_FALSE(PathExists(outside.File("x")));
  std::filesystem::create_directory(dir_.File("real"));
  std::filesystem::create_directory_symlink(dir_.File("real"), dir_.File("inner"));
  auto inner = MakeEntry(9, "inner/y", content, 100);
  EXPECT_TRUE(fs_.RegisterFile(dir_.File("inner/y"), inner, true, RangeSet32()));
  EXPECT_TRUE(PathExists(dir_.File("real/y")));
}

TEST_F(FileSystemTest, HandlesReleaseTheirPartWhenTheLastCopyGoes) {
  Add(1, 500, 100);
  BlockHandle handle = fs_.AcquireBlock(1, 3);
  ASSERT_TRUE(handle.IsValid());
  EXPECT_EQ(handle.FileId(), 1u);
  EXPECT_EQ(handle.PartOffset(), 300u);
  EXPECT_EQ(handle.PartLength(), 100u);
  EXPECT_FALSE(fs_.AcquireBlock(1, 3).IsValid());  // requested already
  EXPECT_FALSE(fs_.AcquireBlock(1, 5).IsValid());  // no such part
  EXPECT_FALSE(fs_.AcquireBlock(6, 0).IsValid());  // no such file
  {
    BlockHandle copy = handle;
    handle = BlockHandle();
    EXPECT_FALSE(fs_.IsPartFree(1, 3));  // the copy still holds it
  }
  EXPECT_TRUE(fs_.IsPartFree(1, 3));
  EXPECT_FALSE(BlockHandle().IsValid());
}

TEST_F(FileSystemTest, CompletedPartStaysDoneWhenItsHandleGoes) {
  Add(1, 500, 100);
  ASSERT_TRUE(fs_.StartRunner(16));
  {
    BlockHandle handle = fs_.AcquireBlock(1, 2);
    ASSERT_TRUE(handle.IsValid());
    Commit(1, 2);
    ASSERT_TRUE(fs_.Drain());
  }
  EXPECT_FALSE(fs_.IsPartFree(1, 2));
  EXPECT_FALSE(fs_.AcquireBlock(1, 2).IsValid());
  EXPECT_TRUE(fs_.IsPartVerified(1, 2));
  EXPECT_TRUE(fs_.AreAllVerified(UID{1, 2, 2}));
  EXPECT_FALSE(fs_.AreAllVerified(UID{1, 1, 2}));
  EXPECT_FALSE(fs_.AreAllVerified(UID{}));
}

TEST_F(FileSystemTest, AnyBlockAndRunsComeFromFreeParts) {
  Add(1, 300, 100);
  std::set<uint32_t> parts;
  std::vector<BlockHandle> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(fs_.AcquireAnyBlock());
    ASSERT_TRUE(held.back().IsValid());
    parts.insert(held.back().Part());
  }
  EXPECT_EQ(parts.size(), 3u);
  EXPECT_FALSE(fs_.AcquireAnyBlock().IsValid());
  held.clear();
  const UID run = fs_.AllocateRun();
  EXPECT_EQ(run, (UID{1, 0, 2}));
  fs_.ReleaseUid(run);
  PartRecord records[10];
  const uint32_t count = fs_.GetRandomFreeBlocks(10, records);
  ASSERT_EQ(count, 3u);
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_EQ(records[i].offset, records[i].part_id * 100);
    EXPECT_EQ(records[i].length, 100u);
  }
}

TEST_F(FileSystemTest, HeldPartsContinueWithTheFileAfterTheLastOneVisited) {
  RangeSet32 none;
  const auto make = [&](uint32_t id, uint32_t verified) {
    const auto content = PatternBytes(10 * 100, id);
    RangeSet32 missing;
    if (verified < 10) missing.InsertRange(verified, 9);
    auto entry = MakeEntry(id, "h" + std::to_string(id), content, 100);
    ASSERT_TRUE(fs_.RegisterFile(dir_.File(entry.name), entry, verified == 0, missing));
  };
  make(1, 5);
  make(2, 0);
  make(3, 9);
  PartRecord records[8];
  ASSERT_EQ(fs_.CollectHeldParts(8, records), 8u);
  int from_first = 0;
  for (const auto& r : records) from_first += r.file_id == 1;
  EXPECT_EQ(from_first, 5);
  EXPECT_EQ(records[7].file_id, 3u);
  // The next call starts after file 3: with file 1 again.
  PartRecord next[2];
  ASSERT_EQ(fs_.CollectHeldParts(2, next), 2u);
  EXPECT_EQ(next[0].file_id, 1u);
  EXPECT_EQ(next[1].file_id, 1u);
}

TEST_F(FileSystemTest, SeedRegistersInTheInfoFolderAndInfoFilesCanBeDeleted) {
  const auto seed_content = PatternBytes(300, 3);
  FileSystem fs;
  fs.SetPaths(MakeEntry(kSeedFileId, "whatever.seed", seed_content, 128), dir_.path(), "abc");
  EXPECT_EQ(fs.seed_path(), dir_.path() + "Brelvane_Info/.Seedabc");
  EXPECT_EQ(fs.resume_path(), dir_.path() + "Brelvane_Info/.Download_Info_Dataabc");
  ASSERT_TRUE(fs.RegisterSeed());
  EXPECT_EQ(fs.TotalParts(), 3u);
  ASSERT_TRUE(fs.StartRunner());
  for (uint64_t at = 0; at < 300; at += 128) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(128, 300 - at));
    ASSERT_TRUE(fs.CommitWrite(kSeedFileId, seed_content.data() + at, n, at, nullptr));
  }
  ASSERT_TRUE(fs.Drain());
  EXPECT_TRUE(fs.AllWritten());
  EXPECT_EQ(ReadWholeFile(fs.seed_path()), seed_content);
  EXPECT_FALSE(PathExists(fs.resume_path()));  // the seed's blocks write no resume file
  fs.StopRunner();
  fs.DeleteAllFiles();
  testing::WriteWholeFile(fs.resume_path(), {1});
  testing::WriteWholeFile(fs.past_seed_path(), {1});
  fs.DeleteInfoFiles();
  EXPECT_FALSE(PathExists(fs.info_directory()));
  // A resume write queued before the deletion must not bring the folder back.
  EXPECT_TRUE(fs.WriteResumeFile(fs.resume_path()));
  EXPECT_FALSE(PathExists(fs.info_directory()));
}

TEST(RunnerCapacityTest, FollowsThePartCount) {
  const std::pair<uint32_t, uint32_t> capacities[] = {{0, 1}, {50, 6}, {300, 31}, {5000, 128}};
  for (const auto& [parts, capacity] : capacities) {
    EXPECT_EQ(FileSystem::RunnerCapacityFor(parts), capacity) << parts;
  }
}

TEST_F(FileSystemTest, FeedersOnTwoThreadsFillManyFiles) {
  for (uint32_t id = 0; id < 40; ++id) Add(id, 1000 + id * 37, 128);
  ASSERT_TRUE(fs_.StartRunner(FileSystem::RunnerCapacityFor(fs_.TotalParts())));
  auto feeder = [&](uint32_t parity) {
    for (uint32_t id = parity; id < 40; id += 2) {
      const auto& content = contents_[id];
      for (size_t at = 0; at < content.size(); at += 50) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(50, content.size() - at));
        while (!fs_.CommitWrite(id, content.data() + at, n, at, nullptr)) {
        }
      }
    }
  };
  std::thread a(feeder, 0);
  std::thread b(feeder, 1);
  PartRecord records[16];
  while (!fs_.AllWritten()) {  // readers run while the worker writes
    (void)fs_.CollectHeldParts(16, records);
    (void)fs_.Progress();
    std::this_thread::yield();
  }
  a.join();
  b.join();
  ASSERT_TRUE(fs_.Drain());
  for (uint32_t id = 0; id < 40; ++id) {
    EXPECT_EQ(ReadWholeFile(dir_.File(entries_[id].name)), contents_[id]) << id;
  }
  std::vector<uint8_t> back(128);
  EXPECT_TRUE(fs_.ReadFile(3, back.data(), 128, 128));
  EXPECT_EQ(back, std::vector<uint8_t>(contents_[3].begin() + 128, contents_[3].begin() + 256));
  EXPECT_FALSE(fs_.ReadFile(77, back.data(), 128, 0));
}

// A run given back by a finished download must not free the parts whose data
// still waits in the storage queue.
TEST_F(FileSystemTest, RunReleasedAfterWritesKeepsQueuedPartsAndFreesTheRest) {
  Add(1, 1000, 100);
  ASSERT_TRUE(fs_.StartRunner(64));
  const UID run = fs_.AllocateRun();
  ASSERT_EQ(run, (UID{1, 0, 9}));
  Gate gate;
  ASSERT_TRUE(gate.Hold(fs_.runner()));
  for (uint32_t p = 0; p <= 5; ++p) Commit(1, p);  // parts 6..9 never arrive
  fs_.ReleaseUidAfterWrites(run);
  EXPECT_FALSE(fs_.IsPartFree(1, 9));  // still queued: nothing given back yet
  gate.Open();
  ASSERT_TRUE(fs_.Drain());
  for (uint32_t p = 0; p <= 9; ++p) EXPECT_EQ(fs_.IsPartFree(1, p), p > 5) << p;
  EXPECT_EQ(fs_.AllocateRun(), (UID{1, 6, 9}));
}

TEST_F(FileSystemTest, StoppedWorkerStillGivesTheRunBack) {
  Add(1, 1000, 100);
  ASSERT_TRUE(fs_.StartRunner(64));
  const UID run = fs_.AllocateRun();
  Gate gate;
  ASSERT_TRUE(gate.Hold(fs_.runner()));
  fs_.ReleaseUidAfterWrites(run);  // queued behind the gate
  EXPECT_FALSE(fs_.IsPartFree(1, 0));
  gate.Open();
  fs_.StopRunner();  // the release ran or was dropped unrun: either way it happened
  for (uint32_t p = 0; p <= 9; ++p) EXPECT_TRUE(fs_.IsPartFree(1, p)) << p;
  const UID again = fs_.AllocateRun();  // with no worker the release is immediate
  fs_.ReleaseUidAfterWrites(again);
  EXPECT_TRUE(fs_.IsPartFree(1, again.first_part));
  EXPECT_FALSE(fs_.Drain());
}

}  // namespace
}  // namespace brelvane
