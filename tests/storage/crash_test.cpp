// SPDX-License-Identifier: MIT
// A writer killed at random moments must never leave a resume file that
// counts a part as written when that part does not read back with its digest.
//
// The parent test starts this same test binary as a child that runs only
// CrashHelperProcess.WritesUntilDoneOrKilled (told by an environment
// variable), kills it at a random moment, checks the directory, and starts it
// again; the child resumes from the resume file each time.  A last child runs
// to the end and must leave every file whole.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "catalogue/download_info.h"
#include "platform/child_process.h"
#include "storage/file_system.h"
#include "storage/storage_test_util.h"

namespace brelvane {
namespace {

using testing::MakeEntry;
using testing::PatternBytes;
using testing::ReadWholeFile;
using testing::TempDir;

constexpr const char* kDirVariable = "BRELVANE_STORAGE_CRASH_DIR";
constexpr uint32_t kPartSize = 64 * 1024;

// The release both processes agree on.
std::vector<FileEntry> Release(std::vector<std::vector<uint8_t>>* contents) {
  const size_t sizes[] = {3 << 20, (1 << 20) + 17, 700 << 10, 64 << 10, (200 << 10) + 3,
                          (3 << 19)};
  std::vector<FileEntry> files;
  for (uint32_t id = 0; id < 6; ++id) {
    contents->push_back(PatternBytes(sizes[id], 100 + id));
    files.push_back(MakeEntry(id, "sub" + std::to_string(id % 2) + "/f" + std::to_string(id),
                              contents->back(), kPartSize));
  }
  return files;
}

// The child: resumes from the resume file and writes every missing part in
// chunks of random size, rewriting the resume file after nearly every block.
TEST(CrashHelperProcess, WritesUntilDoneOrKilled) {
  const char* dir = std::getenv(kDirVariable);
  if (dir == nullptr) GTEST_SKIP() << "runs only as the child of DiskStaysConsistentWhenKilled";
  std::vector<std::vector<uint8_t>> contents;
  const auto files = Release(&contents);
  FileSystem fs;
  fs.SetPaths(FileEntry(), dir, "");
  std::atomic<uint32_t> now{1000};
  // A second per block: the resume file is rewritten every 16 blocks, far
  // more often than in real time, so kills land in and around its writes.
  fs.set_clock([&] { return now.fetch_add(1); });
  DownloadInfoData info;
  const bool resumed = ReadDownloadInfo(fs.resume_path(), &info);
  ASSERT_TRUE(fs.AddMultipleFiles(files, fs.base_directory(), !resumed, info.not_complete));
  ASSERT_TRUE(fs.StartRunner(FileSystem::RunnerCapacityFor(fs.TotalParts())));
  std::map<uint32_t, RangeSet32> missing;
  fs.CollectUnwritten(&missing);
  std::mt19937 rng(std::random_device{}());
  for (const auto& [id, parts] : missing) {
    for (uint32_t part : parts) {
      const PartEntry& p = files[id].parts[part];
      uint64_t at = p.start;
      while (at < p.start + p.length) {
        const auto n = static_cast<uint32_t>(
            std::min<uint64_t>(1000 + rng() % 40000, p.start + p.length - at));
        if (fs.CommitWrite(id, contents[id].data() + at, n, at, nullptr)) at += n;
      }
    }
  }
  fs.FlushAll();
  while (!fs.AllWritten()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  fs.FlushAll();  // the last resume write
  fs.StopRunner();
}

// Every part the resume file counts as written reads back with its digest.
// Returns the number of parts checked.
size_t CheckCountedParts(const std::string& dir, const std::vector<FileEntry>& files) {
  const std::string resume = dir + "Brelvane_Info/.Download_Info_Data";
  DownloadInfoData info;
  if (!ReadDownloadInfo(resume, &info)) {
    EXPECT_FALSE(PathExists(resume)) << "a resume file that cannot be read";
    return 0;
  }
  size_t checked = 0;
  for (const FileEntry& file : files) {
    const auto bytes = ReadWholeFile(dir + file.name);
    const auto found = info.not_complete.find(file.id);
    for (const PartEntry& part : file.parts) {
      if (found != info.not_complete.end() && found->second.Contains(part.id)) continue;
      ++checked;
      if (part.start + part.length > bytes.size()) {
        ADD_FAILURE() << file.name << " part " << part.id << " is counted but cut off";
        continue;
      }
      EXPECT_EQ(Md5Buffer(bytes.data() + part.start, part.length), part.md5)
          << file.name << " part " << part.id << " is counted but wrong";
    }
  }
  return checked;
}

TEST(StorageCrashTest, DiskStaysConsistentWhenKilled) {
  TempDir dir;
  std::vector<std::vector<uint8_t>> contents;
  const auto files = Release(&contents);
  const std::string exe = platform::CurrentExecutablePath();
  ASSERT_FALSE(exe.empty());
  const std::vector<std::string> argv = {exe,
                                         "--gtest_filter=CrashHelperProcess.WritesUntilDoneOrKilled"};
  const uint32_t seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  size_t checked = 0;
  for (int round = 0; round < 8; ++round) {
    platform::ProcessId child = 0;
    ASSERT_EQ(platform::SpawnProcess(argv, {{kDirVariable, dir.path()}}, &child), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 1200));
    platform::KillProcess(child);
    int exit_code = 0;
    ASSERT_EQ(platform::WaitProcess(child, &exit_code), 0);
    checked += CheckCountedParts(dir.path(), files);
  }
  platform::ProcessId child = 0;
  ASSERT_EQ(platform::SpawnProcess(argv, {{kDirVariable, dir.path()}}, &child), 0);
  int exit_code = -1;
  ASSERT_EQ(platform::WaitProcess(child, &exit_code), 0);
  ASSERT_EQ(exit_code, 0);
  size_t total_parts = 0;
  for (const FileEntry& file : files) total_parts += file.parts.size();
  EXPECT_EQ(CheckCountedParts(dir.path(), files), total_parts);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(ReadWholeFile(dir.File(files[i].name)), contents[i]) << files[i].name;
  }
  // The kills must have landed while parts were being counted, not all
  // before the first resume write.
  EXPECT_GT(checked, 0u);
  RecordProperty("parts_checked_after_kills", static_cast<int>(checked));
}

}  // namespace
}  // namespace brelvane
