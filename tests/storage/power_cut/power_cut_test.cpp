// SPDX-License-Identifier: MIT
// Power cuts during an update: the storage engine runs on the simulated disk
// (simulated_disk.h), which loses at each cut whatever was not made durable.
// For every operation number of a whole update in turn, the power goes there;
// then the resume file that survives must count no part whose bytes were
// lost, and a run on the surviving state must finish with every file whole.
#include <gtest/gtest.h>

#include "catalogue/download_info.h"
#include "catalogue/md5.h"
#include "simulated_disk.h"
#include "storage/file_system.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

constexpr const char* kBase = "/disk/";
// The info folder, as the seed phase leaves it.
constexpr const char* kInfo = "/disk/Brelvane_Info";
constexpr uint32_t kPartSize = 4096;

struct Release {
  std::vector<FileEntry> files;
  std::vector<std::vector<uint8_t>> contents;
};

Release MakeRelease() {
  Release release;
  const std::pair<const char*, size_t> files[] = {
      {"a.bin", 9 * kPartSize + 100}, {"sub/b.bin", 23 * kPartSize}, {"sub/deep/c.bin", 3000}};
  for (uint32_t id = 0; id < 3; ++id) {
    release.contents.push_back(testing::PatternBytes(files[id].second, 7 + id));
    release.files.push_back(
        testing::MakeEntry(id, files[id].first, release.contents.back(), kPartSize));
  }
  return release;
}

// Reads the resume file as it is on the simulated disk.  False when there is
// none; a resume file that is there but cannot be read fails the test.
bool ReadResume(const std::string& path, DownloadInfoData* info) {
  const auto bytes = testing::disk::Contents(path);
  if (!bytes) return false;
  testing::TempDir dir;
  testing::WriteWholeFile(dir.File("resume"), *bytes);
  EXPECT_TRUE(ReadDownloadInfo(dir.File("resume"), info)) << "a resume file that cannot be read";
  return true;
}

// One run of the engine: resumes from the resume file when there is one,
// commits every missing part in three blocks, flushes and waits for the
// worker.  The clock gains a second per resume check, so the resume file is
// rewritten every 16 blocks.
void RunUpdate(const Release& release) {
  FileSystem fs;
  fs.SetPaths(FileEntry(), kBase, "");
  uint32_t now = 1000;
  fs.set_clock([&now] { return now++; });  // storage worker only
  SetLastResumeWrite(0);
  DownloadInfoData info;
  const bool resumed = ReadResume(fs.resume_path(), &info);
  if (!fs.AddMultipleFiles(release.files, kBase, !resumed, info.not_complete)) return;
  ASSERT_TRUE(fs.StartRunner(FileSystem::RunnerCapacityFor(fs.TotalParts())));
  std::map<uint32_t, RangeSet32> missing;
  fs.CollectUnwritten(&missing);
  for (const auto& [id, parts] : missing) {
    for (uint32_t part : parts) {
      const PartEntry& p = release.files[id].parts[part];
      for (uint64_t at = p.start, end = at + p.length, third = p.length / 3 + 1; at < end; at += third) {
        const auto n = static_cast<uint32_t>(std::min(third, end - at));
        ASSERT_TRUE(fs.CommitWrite(id, release.contents[id].data() + at, n, at, nullptr));
      }
    }
  }
  fs.FlushAll();
  EXPECT_TRUE(fs.Drain());
}

// Every part the surviving resume file counts as done has its bytes on disk.
// Returns how many it counts.
size_t CheckCountedParts(const Release& release) {
  DownloadInfoData info;
  if (!ReadResume(std::string(kBase) + "Brelvane_Info/.Download_Info_Data", &info)) return 0;
  size_t counted = 0;
  for (const FileEntry& file : release.files) {
    const auto bytes = testing::disk::Contents(kBase + file.name).value_or(std::vector<uint8_t>());
    const auto found = info.not_complete.find(file.id);
    for (const PartEntry& part : file.parts) {
      if (found != info.not_complete.end() && found->second.Contains(part.id)) continue;
      ++counted;
      EXPECT_TRUE(part.start + part.length <= bytes.size() &&
                  Md5Buffer(bytes.data() + part.start, part.length) == part.md5)
          << file.name << " part " << part.id << " is counted done but was lost";
    }
  }
  return counted;
}

TEST(PowerCutTest, ResumeFileNeverCountsLostPartsAndTheNextRunFinishes) {
  const Release release = MakeRelease();  // no file is empty
  namespace disk = testing::disk;
  disk::Reset({kBase, kInfo});
  RunUpdate(release);
  const uint64_t total = disk::Operations();
  ASSERT_GT(total, 50u);
  size_t cuts_with_counted_parts = 0;
  for (uint64_t cut = 1; cut <= total; ++cut) {
    SCOPED_TRACE("power cut at operation " + std::to_string(cut) + " of " + std::to_string(total));
    disk::Reset({kBase, kInfo});
    disk::CutPowerAt(cut);
    RunUpdate(release);
    disk::Crash();
    if (CheckCountedParts(release) > 0) ++cuts_with_counted_parts;
    RunUpdate(release);
    for (size_t i = 0; i < release.files.size(); ++i) {
      EXPECT_EQ(disk::Contents(kBase + release.files[i].name), release.contents[i]) << release.files[i].name;
    }
    if (HasFailure()) break;  // one cut point's report is enough
  }
  // Most cuts must land after the first resume write that counts parts.
  EXPECT_GT(cuts_with_counted_parts, total / 2);
  RecordProperty("cut_points", static_cast<int>(total));
}

}  // namespace
}  // namespace brelvane
