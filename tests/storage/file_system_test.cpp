// SPDX-License-Identifier: MIT
#include "storage/file_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using namespace testing;  // NOLINT(google-build-using-namespace): the storage test helpers

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
    EXPECT_TRUE(fs_.RegisterFile(dir_.path() + entries_[id].name, entries_[id], true, {}));
    return contents_[id];
  }
  void Commit(uint32_t id, uint32_t part) {
    const PartEntry& p = entries_[id].parts[part];
    ASSERT_TRUE(fs_.CommitWrite(id, contents_[id].data() + p.start, p.length, p.start, nullptr));
  }
  // 'f' free, 'r' requested, 'v' verified, for every part of the file.
  std::string Parts(uint32_t id) {
    std::string s;
    for (uint32_t p = 0; p < entries_[id].parts.size(); ++p) {
      s += fs_.IsPartVerified(id, p) ? 'v' : fs_.IsPartFree(id, p) ? 'f' : 'r';
    }
    return s;
  }

  TempDir dir_;
  std::map<uint32_t, std::vector<uint8_t>> contents_;
  std::map<uint32_t, FileEntry> entries_;
  FileSystem fs_;
};

TEST_F(FileSystemTest, FullQueueMakesACommitFailAfterItsTimeoutAndEndItsObserver) {
  const auto& content = Add(1, 10000, 100);
  ObserverLog log;
  // Every refusal ends the observer: no worker, an unknown file, a full queue.
  EXPECT_FALSE(fs_.CommitWrite(1, content.data(), 100, 0, log.New()));
  ASSERT_TRUE(fs_.StartRunner(4));
  EXPECT_FALSE(fs_.CommitWrite(9, content.data(), 100, 0, log.New()));
  Gate gate;
  ASSERT_TRUE(gate.Hold(fs_.runner()));
  for (uint32_t p = 0; p < 4; ++p) Commit(1, p);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(fs_.CommitWrite(1, content.data() + 400, 100, 400, log.New()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
  EXPECT_EQ(log.Tally(), "0 verified, 3 nothing, 3 destroyed");
  gate.Open();
  ASSERT_TRUE(fs_.Drain());
  EXPECT_EQ(fs_.GetFile(1)->VerifiedCount(), 4u);
}

TEST_F(FileSystemTest, BackloggedFileRefusesDataWhileTheDiskLacksRoom) {
  const auto content = PatternBytes(600 * 16, 5);
  MemoryFile disk;
  disk.refuse_writes = true;
  ASSERT_TRUE(fs_.AddFile(
      File::Create(dir_.File("b"), MakeEntry(4, "b", content, 16), {}, &fs_.block_states(), &disk)));
  fs_.RecomputeCounters();
  int queries = 0;
  uint64_t free_bytes = 1 << 20;  // room while the backlog builds up
  fs_.set_free_space_query([&](const std::string&, uint64_t* n) { return ++queries, *n = free_bytes, 0; });
  ASSERT_TRUE(fs_.StartRunner(128));
  for (uint32_t p = 0; p < 600; ++p) {
    ASSERT_TRUE(fs_.CommitWrite(4, content.data() + p * 16, 16, p * 16, nullptr)) << p;
    ASSERT_TRUE(p % 100 != 0 || fs_.Drain());  // the backlog builds up as the worker goes
  }
  ASSERT_TRUE(fs_.Drain());
  ASSERT_TRUE(fs_.GetFile(4)->IsBacklogged());
  const auto commit = [&] { return fs_.CommitWrite(4, content.data(), 16, 0, nullptr); };
  free_bytes = 0;
  EXPECT_FALSE(commit());
  EXPECT_GT(queries, 0);
  free_bytes = 1 << 20;  // room again: accepted (and ignored, the part is verified)
  EXPECT_TRUE(commit());
  // A failing query counts as no room.
  fs_.set_free_space_query([&](const std::string&, uint64_t*) { return ++queries, 5; });
  EXPECT_FALSE(commit());
  disk.refuse_writes = false;
  fs_.Flush(4);
  ASSERT_TRUE(fs_.Drain());
  EXPECT_FALSE(fs_.GetFile(4)->IsBacklogged());
  queries = 0;
  EXPECT_TRUE(commit());
  EXPECT_EQ(queries, 0);  // below the backlog no free-space check is made
  ASSERT_TRUE(fs_.Drain());
  EXPECT_EQ(disk.bytes, content);
  fs_.StopRunner(), fs_.DeleteAllFiles();  // before `disk` goes
}

TEST_F(FileSystemTest, RegistrationTakesPartsOnDiskFromTheNotCompleteSet) {
  const auto entry = entries_[2] = MakeEntry(2, "r", PatternBytes(800, 9), 100);
  ASSERT_TRUE(fs_.RegisterFile(dir_.File("r"), entry, false, {}));
  EXPECT_EQ(fs_.WrittenParts(), 8u);
  EXPECT_TRUE(fs_.AllWritten());
  fs_.DeleteAllFiles();
  fs_.block_states().Clear();
  EXPECT_EQ(fs_.TotalParts(), 0u);
  EXPECT_FLOAT_EQ(fs_.Progress(), 0.0f);

  RangeSet32 missing;
  missing.Insert(2), missing.Insert(5);
  ASSERT_TRUE(fs_.RegisterFile(dir_.File("r"), entry, false, missing));
  EXPECT_EQ(Parts(2), "vvfvvfvv");
  EXPECT_EQ(fs_.WrittenParts(), 6u);
  EXPECT_EQ(fs_.TotalParts(), 8u);
  EXPECT_EQ(fs_.TotalBytes(), 800u);
  std::map<uint32_t, RangeSet32> unwritten;
  fs_.CollectUnwritten(&unwritten);
  EXPECT_EQ(unwritten[2], missing);
  EXPECT_FALSE(fs_.RegisterFile(dir_.File("r"), entry, true, {}));  // id taken
  EXPECT_EQ(Parts(2), "vvfvvfvv");                                  // and its states untouched
}

TEST_F(FileSystemTest, RegistrationRefusesUnsafeNamesAndPathsLeadingOutside) {
  TempDir outside;
  const auto content = PatternBytes(100, 1);
  for (const char* name : {"../escape", "/abs", "a/../../b", "CON", "a\\b", ""}) {
    EXPECT_FALSE(fs_.RegisterFile(dir_.path() + name, MakeEntry(7, name, content, 100), true, {})) << name;
  }
  // A seed tag (not a checked name) cannot climb out either.
  FileSystem seed_fs;
  seed_fs.SetPaths(MakeEntry(kSeedFileId, "s", content, 100), dir_.path(), "/../../../escaped");
  EXPECT_FALSE(seed_fs.RegisterSeed());
  EXPECT_FALSE(PathExists(dir_.path() + "../escaped"));
  std::filesystem::create_directory_symlink(outside.path(), dir_.File("link"));
  EXPECT_FALSE(fs_.RegisterFile(dir_.File("link/x"), MakeEntry(8, "link/x", content, 100), true, {}));
  EXPECT_FALSE(PathExists(outside.File("x")));
  std::filesystem::create_directory(dir_.File("real"));
  std::filesystem::create_directory_symlink(dir_.File("real"), dir_.File("inner"));
  EXPECT_TRUE(fs_.RegisterFile(dir_.File("inner/y"), MakeEntry(9, "inner/y", content, 100), true, {}));
  EXPECT_TRUE(PathExists(dir_.File("real/y")));
}

// A release of many files is opened ahead on two threads: every file is
// there afterwards, and a link to elsewhere stops it with nothing outside.
TEST_F(FileSystemTest, ManyFilesAreOpenedAheadUnderTheSameChecks) {
  const auto content = PatternBytes(100, 1);
  std::vector<FileEntry> files;
  for (uint32_t i = 0; i < FileSystem::kOpenAheadMinFiles + 6; ++i) {
    files.push_back(MakeEntry(i + 1, "d" + std::to_string(i % 7) + "/f" + std::to_string(i), content, 100));
  }
  ASSERT_TRUE(fs_.AddMultipleFiles(files, dir_.path(), true, {}));
  for (const FileEntry& f : files) EXPECT_TRUE(PathExists(dir_.path() + f.name)) << f.name;
  EXPECT_EQ(fs_.TotalParts(), files.size());
  TempDir base, outside;
  std::filesystem::create_directory_symlink(outside.path(), base.File("d3"));
  FileSystem second;
  second.SetPaths(FileEntry(), base.path(), "T");
  EXPECT_FALSE(second.AddMultipleFiles(files, base.path(), true, {}));
  EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
}

// Handles, runs and listings all come from free parts; a handle gives its
// part back when its last copy goes, unless the part was completed.
TEST_F(FileSystemTest, HandlesAndRunsTakeFreePartsAndGiveBackWhatWasNotCompleted) {
  Add(1, 500, 100);
  ASSERT_TRUE(fs_.StartRunner(16));
  BlockHandle handle = fs_.AcquireBlock(1, 3);
  ASSERT_TRUE(handle.IsValid());
  EXPECT_EQ((std::vector<uint64_t>{handle.FileId(), handle.PartOffset(), handle.PartLength()}),
            (std::vector<uint64_t>{1, 300, 100}));
  EXPECT_FALSE(fs_.AcquireBlock(1, 3).IsValid());  // requested already
  EXPECT_FALSE(fs_.AcquireBlock(1, 5).IsValid());  // no such part
  EXPECT_FALSE(fs_.AcquireBlock(6, 0).IsValid());  // no such file
  {
    BlockHandle copy = std::exchange(handle, BlockHandle());
    EXPECT_EQ(Parts(1), "fffrf");  // the copy still holds part 3
    BlockHandle done = fs_.AcquireBlock(1, 2);
    Commit(1, 2);
    ASSERT_TRUE(fs_.Drain());
  }
  EXPECT_EQ(Parts(1), "ffvff");
  EXPECT_FALSE(fs_.AcquireBlock(1, 2).IsValid());
  EXPECT_TRUE(fs_.AreAllVerified(UID{1, 2, 2}));
  EXPECT_FALSE(fs_.AreAllVerified(UID{1, 1, 2}) || fs_.AreAllVerified(UID{}));
  EXPECT_FALSE(BlockHandle().IsValid());

  PartRecord records[10];
  ASSERT_EQ(fs_.GetRandomFreeBlocks(10, records), 4u);
  std::set<uint32_t> parts;
  for (uint32_t i = 0; i < 4; ++i) {
    parts.insert(records[i].part_id);
    EXPECT_EQ(std::pair(records[i].offset, records[i].length), std::pair(records[i].part_id * 100, 100u));
  }
  EXPECT_EQ(parts, (std::set<uint32_t>{0, 1, 3, 4}));
  std::vector<BlockHandle> held(4);
  for (BlockHandle& h : held) parts.erase((h = fs_.AcquireAnyBlock()).Part());
  EXPECT_TRUE(parts.empty());  // the same four
  EXPECT_FALSE(fs_.AcquireAnyBlock().IsValid());
  held.clear();
  const UID run = fs_.AllocateRun();
  EXPECT_TRUE(run == (UID{1, 0, 1}) || run == (UID{1, 3, 4})) << run.first_part;
  fs_.ReleaseUid(run);
  EXPECT_EQ(Parts(1), "ffvff");
}

TEST_F(FileSystemTest, HeldPartsContinueWithTheFileAfterTheLastOneVisited) {
  for (const auto& [id, verified] : {std::pair{1u, 5u}, {2u, 0u}, {3u, 9u}}) {
    RangeSet32 missing;
    if (verified < 10) missing.InsertRange(verified, 9);
    auto entry = MakeEntry(id, "h" + std::to_string(id), PatternBytes(1000, id), 100);
    ASSERT_TRUE(fs_.RegisterFile(dir_.File(entry.name), entry, verified == 0, missing));
  }
  PartRecord records[8];
  ASSERT_EQ(fs_.CollectHeldParts(8, records), 8u);
  const auto files = [&records](uint32_t n) {
    std::string s;
    for (uint32_t i = 0; i < n; ++i) s += std::to_string(records[i].file_id);
    return s;
  };
  EXPECT_EQ(files(8), "11111333");
  for (const PartRecord& r : records) EXPECT_TRUE(fs_.IsPartVerified(r.file_id, r.part_id));
  // The next call starts after file 3: with file 1 again.
  ASSERT_EQ(fs_.CollectHeldParts(2, records), 2u);
  EXPECT_EQ(files(2), "11");
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
  fs.StopRunner(), fs.DeleteAllFiles();
  WriteWholeFile(fs.resume_path(), {1}), WriteWholeFile(fs.past_seed_path(), {1});
  fs.DeleteInfoFiles();
  EXPECT_FALSE(PathExists(fs.info_directory()));
  // A resume write queued before the deletion must not bring the folder back.
  EXPECT_TRUE(fs.WriteResumeFile(fs.resume_path()));
  EXPECT_FALSE(PathExists(fs.info_directory()));
  // The update phase's queue follows the part count.
  for (const auto& [parts, capacity] : {std::pair{0u, 1u}, {50u, 6u}, {300u, 31u}, {5000u, 128u}}) {
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
        while (!fs_.CommitWrite(id, content.data() + at, n, at, nullptr)) continue;
      }
    }
  };
  std::thread a(feeder, 0), b(feeder, 1);
  PartRecord records[16];
  while (!fs_.AllWritten()) {  // readers run while the worker writes
    (void)fs_.CollectHeldParts(16, records);
    (void)fs_.Progress();
    std::this_thread::yield();
  }
  a.join(), b.join();
  ASSERT_TRUE(fs_.Drain());
  for (uint32_t id = 0; id < 40; ++id) {
    EXPECT_EQ(ReadWholeFile(dir_.File(entries_[id].name)), contents_[id]) << id;
  }
  std::vector<uint8_t> back(128);
  EXPECT_TRUE(fs_.ReadFile(3, back.data(), 128, 128));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), contents_[3].begin() + 128));
  EXPECT_FALSE(fs_.ReadFile(77, back.data(), 128, 0));
}

// A run given back by a finished download must not free the parts whose data
// still waits in the storage queue; with the worker stopped it is given back
// all the same.
TEST_F(FileSystemTest, RunReleasedAfterWritesKeepsQueuedPartsAndFreesTheRest) {
  Add(1, 1000, 100);
  ASSERT_TRUE(fs_.StartRunner(64));
  ASSERT_EQ(fs_.AllocateRun(), (UID{1, 0, 9}));
  Gate gate;
  ASSERT_TRUE(gate.Hold(fs_.runner()));
  for (uint32_t p = 0; p <= 5; ++p) Commit(1, p);  // parts 6..9 never arrive
  fs_.ReleaseUidAfterWrites(UID{1, 0, 9});
  EXPECT_EQ(Parts(1), "rrrrrrrrrr");  // still queued: nothing given back yet
  gate.Open();
  ASSERT_TRUE(fs_.Drain());
  EXPECT_EQ(Parts(1), "vvvvvvffff");
  ASSERT_EQ(fs_.AllocateRun(), (UID{1, 6, 9}));
  Gate second;
  ASSERT_TRUE(second.Hold(fs_.runner()));
  fs_.ReleaseUidAfterWrites(UID{1, 6, 9});  // queued behind the gate
  EXPECT_EQ(Parts(1), "vvvvvvrrrr");
  second.Open();
  fs_.StopRunner();  // the release ran or was dropped unrun: either way it happened
  EXPECT_EQ(Parts(1), "vvvvvvffff");
  fs_.ReleaseUidAfterWrites(fs_.AllocateRun());  // with no worker the release is immediate
  EXPECT_EQ(Parts(1), "vvvvvvffff");
  EXPECT_FALSE(fs_.Drain());
}

}  // namespace
}  // namespace brelvane
