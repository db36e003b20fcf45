// SPDX-License-Identifier: MIT
// Storage throughput against raw MD5, measured in the same run.
//
// Two releases are registered in a scratch directory and every part is
// committed through FileSystem::CommitWrite, in 8 KiB and in 64 KiB blocks,
// from two feeder threads, until every part is on disk:
//   A: one 1 GiB file (512 KiB parts, as the file-list builder cuts it);
//   B: 20,000 small files of 1 to 48 KiB in 100 directories (64 KiB parts).
// The storage worker verifies every part with MD5 on one core, so raw
// single-core MD5 (Md5Buffer over an 8 MiB buffer) is the ceiling; each
// figure is printed with its ratio to it.  On a shared machine the elapsed
// time depends on the neighbours, so the storage worker's own CPU time is
// measured too: "worker/cpu" is bytes over the worker's CPU seconds and
// "xMD5cpu" its ratio to MD5 over the measuring thread's CPU seconds.  "durable" adds the final flush to
// the device and the last resume write.  Peak RSS is the process's.
//
//   bench_storage [--dir DIR] [--quick]
//
// --quick uses 256 MiB and 5,000 files.  The data is deleted afterwards.
// Last line: "ratio 1GiB/64KiB: X" (storage MB/s over raw MD5 MB/s).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/md5.h"
#include "platform/resource_usage.h"
#include "platform/thread.h"
#include "storage/file_system.h"

namespace {

using brelvane::FileEntry;
using brelvane::FileSystem;
using brelvane::PartEntry;

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}
constexpr double kMiB = 1024.0 * 1024.0;

// File content without storing it: file f's byte x is pattern[(base(f) + x) % P];
// the pattern carries a copy of its head past P so every slice up to 1 MiB is
// contiguous.
class Content {
 public:
  static constexpr size_t kPeriod = 4 << 20;
  static constexpr size_t kTail = 1 << 20;
  Content() : bytes_(kPeriod + kTail) {
    std::mt19937_64 rng(12345);
    for (size_t i = 0; i < kPeriod; i += 8) {
      const uint64_t v = rng();
      std::memcpy(&bytes_[i], &v, 8);
    }
    std::memcpy(&bytes_[kPeriod], &bytes_[0], kTail);
  }
  const uint8_t* At(uint32_t file, uint64_t offset) const {
    return &bytes_[(static_cast<uint64_t>(file) * 7919 * 61 + offset) % kPeriod];
  }

 private:
  std::vector<uint8_t> bytes_;
};

FileEntry MakeFile(const Content& content, uint32_t id, const std::string& name, uint64_t size,
                   uint32_t part_size) {
  FileEntry entry;
  entry.id = id;
  entry.name = name;
  entry.size = size;
  uint64_t start = 0;
  uint32_t index = 0;
  while (start < size) {
    PartEntry part;
    part.id = index++;
    part.start = start;
    part.length = static_cast<uint32_t>(std::min<uint64_t>(part_size, size - start));
    part.md5 = brelvane::Md5Buffer(content.At(id, start), part.length);
    entry.parts.push_back(part);
    start += part.length;
  }
  return entry;
}

struct Md5Figures {
  double wall_mbs;  // over elapsed time
  double cpu_mbs;   // over the thread's CPU time (what a busy machine cannot take away)
};

Md5Figures RawMd5(const Content& content) {
  const size_t chunk = 8 << 20;
  const uint8_t* data = content.At(0, 0);
  uint64_t bytes = 0;
  uint8_t sink = 0;
  const double cpu_start = brelvane::platform::ThreadCpuSeconds();
  const auto start = Clock::now();
  while (Since(start) < 1.5) {
    sink ^= brelvane::Md5Buffer(data, chunk).bytes[0];
    bytes += chunk;
  }
  const double seconds = Since(start);
  const double cpu = brelvane::platform::ThreadCpuSeconds() - cpu_start;
  if (sink == 0x5A) std::printf(" ");
  return {static_cast<double>(bytes) / kMiB / seconds, static_cast<double>(bytes) / kMiB / cpu};
}

// Runs `op` on the storage worker after every task posted so far.
template <typename Op>
void OnWorker(FileSystem& fs, Op op) {
  struct Call : brelvane::Task {
    Call(Op o, std::promise<void>* done) : op_(std::move(o)), done_(done) {}
    void Run(FileSystem*) override {
      op_();
      done_->set_value();
    }
    Op op_;
    std::promise<void>* done_;
  };
  std::promise<void> done;
  std::unique_ptr<brelvane::Task> task = std::make_unique<Call>(std::move(op), &done);
  if (fs.runner().Post(task, brelvane::kInfiniteWait)) done.get_future().wait();
}

// Waits until every task posted so far has run.
void Drain(FileSystem& fs) {
  struct Signal : brelvane::Task {
    explicit Signal(std::promise<void>* done) : done_(done) {}
    void Run(FileSystem*) override { done_->set_value(); }
    std::promise<void>* done_;
  };
  std::promise<void> done;
  std::unique_ptr<brelvane::Task> task = std::make_unique<Signal>(&done);
  if (fs.runner().Post(task, brelvane::kInfiniteWait)) done.get_future().wait();
}

struct Result {
  double mbs = 0;
  double worker_cpu_mbs = 0;  // bytes over the storage worker's CPU time
  double durable_seconds = 0;
  double register_seconds = 0;
  double cpu_seconds = 0;
};

bool Run(const std::string& dir, const Content& content, const std::vector<FileEntry>& files,
         uint32_t block, Result* result) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  FileSystem fs;
  fs.SetPaths(FileEntry(), dir, "");
  auto start = Clock::now();
  if (!fs.AddMultipleFiles(files, fs.base_directory(), true, {})) return false;
  result->register_seconds = Since(start);
  if (!fs.StartRunner(FileSystem::RunnerCapacityFor(fs.TotalParts()))) return false;
  const double cpu_before = brelvane::platform::ProcessCpuSeconds();
  double worker_cpu_before = 0;
  double worker_cpu_after = 0;
  OnWorker(fs, [&] { worker_cpu_before = brelvane::platform::ThreadCpuSeconds(); });

  // Feeder k takes every other part (one file) or every other file (many).
  auto feeder = [&](uint32_t k) {
    brelvane::platform::SetCurrentThreadName("feeder");
    uint64_t index = 0;
    for (const FileEntry& file : files) {
      for (const PartEntry& part : file.parts) {
        if (index++ % 2 != k) continue;
        for (uint64_t at = part.start; at < part.start + part.length;) {
          const auto n = static_cast<uint32_t>(std::min<uint64_t>(block, part.start + part.length - at));
          if (fs.CommitWrite(file.id, content.At(file.id, at), n, at, nullptr)) at += n;
        }
      }
    }
  };
  start = Clock::now();
  std::thread a(feeder, 0);
  std::thread b(feeder, 1);
  a.join();
  b.join();
  while (!fs.AllWritten()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double seconds = Since(start);
  result->cpu_seconds = brelvane::platform::ProcessCpuSeconds() - cpu_before;
  OnWorker(fs, [&] { worker_cpu_after = brelvane::platform::ThreadCpuSeconds(); });
  result->worker_cpu_mbs =
      static_cast<double>(fs.TotalBytes()) / kMiB / (worker_cpu_after - worker_cpu_before);
  fs.FlushAll();  // the final device flush and resume write
  Drain(fs);
  result->durable_seconds = Since(start);
  result->mbs = static_cast<double>(fs.TotalBytes()) / kMiB / seconds;
  fs.StopRunner();
  fs.DeleteAllFiles();
  std::filesystem::remove_all(dir);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string base = "/tmp";
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) base = argv[++i];
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
  }
  const std::string dir =
      base + "/bench-storage-" + std::to_string(brelvane::platform::CurrentProcessId()) + "/";
  Content content;
  const Md5Figures md5 = RawMd5(content);
  std::printf("raw MD5, one core: %.0f MB/s (%.0f MB/s of CPU time)\n", md5.wall_mbs,
              md5.cpu_mbs);

  const uint64_t big = quick ? (256ull << 20) : (1ull << 30);
  std::vector<FileEntry> one = {MakeFile(content, 0, "big.bin", big, 512 * 1024)};
  std::vector<FileEntry> many;
  std::mt19937 rng(99);
  const uint32_t count = quick ? 5000 : 20000;
  uint64_t many_bytes = 0;
  for (uint32_t id = 0; id < count; ++id) {
    const uint64_t size = 1024 + rng() % (47 * 1024);
    many_bytes += size;
    many.push_back(MakeFile(content, id, "d" + std::to_string(id % 100) + "/f" + std::to_string(id),
                            size, 64 * 1024));
  }
  std::printf("A: 1 file of %.0f MiB; B: %u files, %.0f MiB in all\n", static_cast<double>(big) / kMiB,
              count, static_cast<double>(many_bytes) / kMiB);
  std::printf("%-3s %-6s %8s %6s %10s %7s %10s %8s %7s %9s\n", "", "block", "MB/s", "xMD5",
              "durable s", "cpu s", "worker/cpu", "xMD5cpu", "reg s", "peak MiB");
  double ratio = 0;
  for (const auto* variant : {&one, &many}) {
    for (uint32_t block : {8u * 1024, 64u * 1024}) {
      Result r;
      if (!Run(dir, content, *variant, block, &r)) {
        std::fprintf(stderr, "run failed in %s\n", dir.c_str());
        std::filesystem::remove_all(dir);
        return 1;
      }
      const double peak = static_cast<double>(brelvane::platform::PeakResidentBytes()) / kMiB;
      std::printf("%-3s %-6u %8.0f %6.2f %10.2f %7.2f %10.0f %8.2f %7.2f %9.1f\n",
                  variant == &one ? "A" : "B", block / 1024, r.mbs, r.mbs / md5.wall_mbs,
                  r.durable_seconds, r.cpu_seconds, r.worker_cpu_mbs,
                  r.worker_cpu_mbs / md5.cpu_mbs, r.register_seconds, peak);
      std::fflush(stdout);
      if (variant == &one && block == 64 * 1024) ratio = r.mbs / md5.wall_mbs;
    }
  }
  std::printf("ratio 1GiB/64KiB: %.2f\n", ratio);
  return 0;
}
