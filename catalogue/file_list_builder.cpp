// SPDX-License-Identifier: MIT
#include "catalogue/file_list_builder.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "catalogue/ini_document.h"
#include "catalogue/md5_lanes.h"
#include "platform/readonly_file.h"

namespace brelvane {
namespace {

namespace fs = std::filesystem;

// Files are read in chunks into a ring of buffers that the second thread
// hashes behind the reader.  A chunk normally holds kMd5Lanes whole parts,
// hashed side by side; parts too large for that are hashed as a stream over
// fixed-size chunks instead.
constexpr size_t kMaxLaneChunkBytes = 4 << 20;
constexpr size_t kStreamChunkBytes = 256 << 10;
// The ring holds about this much, in at least kMinChunkCount chunks: room
// for either thread to fall a little behind without stopping the other,
// yet small enough to stay in the processor's cache between the read that
// fills a chunk and the two digests that consume it (a 16 MiB ring cost
// measurably more copying time).
constexpr size_t kRingBytes = 4 << 20;
constexpr size_t kMinChunkCount = 4;
constexpr size_t kMaxChunkCount = kRingBytes / (kMd5Lanes * kPartSizeUnit);

struct PendingFile {
  std::string path;  // as given to open
  std::string name;  // relative name for the list
  uint64_t listed_size = 0;
};

// Computes whole-file digests on its own thread, over chunks that the
// calling thread has read and is hashing part by part at the same time.
// The caller owns the chunk buffers; a chunk posted here must stay untouched
// until ChunksDone() has passed its sequence number.
class WholeFileHasher {
 public:
  WholeFileHasher() : thread_([this] { Run(); }) {}
  ~WholeFileHasher() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    posted_cv_.notify_one();
    thread_.join();
  }

  // Queues `length` bytes at `data`, the next piece of the current file;
  // `last` finishes the file.  Waits while kMaxChunkCount chunks are pending.
  void Post(const uint8_t* data, size_t length, bool first, bool last) {
    std::unique_lock<std::mutex> lock(mu_);
    done_cv_.wait(lock, [this] { return posted_ - done_ < kMaxChunkCount; });
    jobs_[posted_ % kMaxChunkCount] = Job{data, length, first, last};
    ++posted_;
    lock.unlock();
    posted_cv_.notify_one();
  }

  // Number of chunks posted so far.
  uint64_t ChunksPosted() {
    std::lock_guard<std::mutex> lock(mu_);
    return posted_;
  }

  // Waits until chunk number `sequence` (0-based) is hashed.
  void WaitFor(uint64_t sequence) {
    std::unique_lock<std::mutex> lock(mu_);
    done_cv_.wait(lock, [&] { return done_ > sequence; });
  }

  // Waits for every posted chunk and returns the last finished digest.
  Md5Digest Finish() {
    std::unique_lock<std::mutex> lock(mu_);
    done_cv_.wait(lock, [this] { return done_ == posted_; });
    return digest_;
  }

 private:
  struct Job {
    const uint8_t* data = nullptr;
    size_t length = 0;
    bool first = false;
    bool last = false;
  };

  void Run() {
    Md5Context context;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      posted_cv_.wait(lock, [this] { return stop_ || done_ < posted_; });
      if (done_ == posted_) return;  // stop_ with nothing left
      const Job job = jobs_[done_ % kMaxChunkCount];
      lock.unlock();
      if (job.first) context.Reset();
      context.Update(job.data, job.length);
      Md5Digest digest;
      if (job.last) digest = context.Final();
      lock.lock();
      if (job.last) digest_ = digest;
      ++done_;
      done_cv_.notify_one();
    }
  }

  std::mutex mu_;
  std::condition_variable posted_cv_;
  std::condition_variable done_cv_;
  Job jobs_[kMaxChunkCount];  // guarded by mu_
  uint64_t posted_ = 0;    // guarded by mu_
  uint64_t done_ = 0;      // guarded by mu_
  Md5Digest digest_;       // guarded by mu_
  bool stop_ = false;      // guarded by mu_
  std::thread thread_;     // last: starts after the members it uses
};

class Builder {
 public:
  Builder(const BuildOptions& options, std::vector<FileEntry>* files, std::string* error)
      : options_(options), files_(files), error_(error), units_(options.part_size_units) {}

  int Run(const std::string& path);

 private:
  bool Fail(std::string text) {
    if (error_ != nullptr) *error_ = std::move(text);
    return false;
  }
  bool List(const std::string& dir_path, const std::string& prefix);
  void Take(std::string path, std::string name, uint64_t size);
  bool Process(const PendingFile& pending);
  bool Hash(platform::ReadOnlyFile& file, const std::string& name, FileEntry* entry);
  void AllocateBuffers(uint32_t part_size);
  // Digests of the parts lying wholly in [offset, offset + length) of the
  // file, whose bytes are at `chunk`.
  void HashWholeParts(const uint8_t* chunk, uint64_t offset, size_t length, FileEntry* entry);
  void Report() {
    if (options_.progress) options_.progress(progress_);
  }

  const BuildOptions& options_;
  std::vector<FileEntry>* files_;
  std::string* error_;
  uint32_t units_;  // 0 until the first file decides
  uint32_t next_id_ = 0;
  std::vector<PendingFile> pending_;
  BuildProgress progress_;
  std::unique_ptr<uint8_t[]> buffers_;
  size_t chunk_bytes_ = 0;
  size_t chunk_count_ = 0;
  bool whole_parts_ = false;  // a chunk holds whole parts
  std::unique_ptr<WholeFileHasher> hasher_;
  bool hasher_failed_ = false;
};

void Builder::Take(std::string path, std::string name, uint64_t size) {
  if (options_.include_filter != nullptr &&
      !options_.include_filter->HasKey(std::string(), name)) {
    return;
  }
  pending_.push_back(PendingFile{std::move(path), std::move(name), size});
}

bool Builder::List(const std::string& dir_path, const std::string& prefix) {
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir_path, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) return Fail("cannot list directory " + dir_path + ": " + ec.message());
  std::sort(names.begin(), names.end());  // byte-wise: char_traits compares as unsigned
  for (const std::string& entry : names) {
    const std::string entry_path = dir_path + "/" + entry;
    const std::string name = prefix.empty() ? entry : prefix + "/" + entry;
    const fs::file_status link_status = fs::symlink_status(entry_path, ec);
    if (ec) return Fail("cannot examine " + entry_path + ": " + ec.message());
    if (fs::is_directory(link_status)) {
      if (options_.recursive && !List(entry_path, name)) return false;
      continue;
    }
    const fs::file_status status = fs::status(entry_path, ec);  // follows links
    if (!ec && fs::is_regular_file(status)) {
      const uint64_t size = fs::file_size(entry_path, ec);
      Take(entry_path, name, ec ? 0 : size);
    } else if (options_.skipped != nullptr) {
      options_.skipped->push_back(name);
    }
  }
  return true;
}

int Builder::Run(const std::string& path) {
  if (units_ > kMaxPartSizeUnits) {
    Fail("part size of " + std::to_string(units_) + " units is more than " +
         std::to_string(kMaxPartSizeUnits));
    return -1;
  }
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!ec && fs::exists(status) && !fs::is_directory(status)) {
    const size_t cut = path.find_last_of("/\\");
    const uint64_t size = fs::file_size(path, ec);
    Take(path, cut == std::string::npos ? path : path.substr(cut + 1), ec ? 0 : size);
  } else {
    std::string root = path;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!List(root, std::string())) return -1;
  }
  progress_.files_total = pending_.size();
  for (const PendingFile& pending : pending_) progress_.bytes_total += pending.listed_size;
  for (const PendingFile& pending : pending_) {
    if (!Process(pending)) return -1;
    ++progress_.files_done;
    progress_.current = pending.name;
    Report();
  }
  return 0;
}

bool Builder::Process(const PendingFile& pending) {
  FileEntry entry;
  entry.id = next_id_++;
  entry.name = pending.name;
  if (!options_.compute_digests) {
    files_->push_back(std::move(entry));
    return true;
  }
  platform::ReadOnlyFile file;
  const bool opened = file.Open(pending.path, /*sequential=*/true);
  uint64_t size = 0;
  const bool sized = opened && file.Size(&size);
  if (units_ == 0) units_ = sized ? AutoPartSizeUnits(size) : 2;
  if (!opened) return Fail("cannot open " + pending.path + ": " + file.error_text());
  if (!sized) return Fail("cannot size " + pending.path + ": " + file.error_text());
  entry.size = size;
  entry.parts = LayOutParts(size, units_ * kPartSizeUnit);
  if (size > 0 && !Hash(file, pending.path, &entry)) return false;
  files_->push_back(std::move(entry));
  return true;
}

void Builder::AllocateBuffers(uint32_t part_size) {
  whole_parts_ = uint64_t{part_size} * kMd5Lanes <= kMaxLaneChunkBytes;
  chunk_bytes_ = whole_parts_ ? part_size * kMd5Lanes : kStreamChunkBytes;
  chunk_count_ = std::clamp(kRingBytes / chunk_bytes_, kMinChunkCount, kMaxChunkCount);
  buffers_.reset(new uint8_t[chunk_bytes_ * chunk_count_]);
}

void Builder::HashWholeParts(const uint8_t* chunk, uint64_t offset, size_t length,
                             FileEntry* entry) {
  const uint64_t part_size = entry->parts[0].length;
  const size_t first = static_cast<size_t>(offset / part_size);
  const size_t end = std::min(entry->parts.size(),
                              static_cast<size_t>((offset + length - 1) / part_size + 1));
  // Full-size parts go through the lanes together; a short last part alone.
  const uint8_t* messages[kMd5Lanes];
  size_t full = 0;
  while (first + full < end && entry->parts[first + full].length == part_size) {
    messages[full] = chunk + (entry->parts[first + full].start - offset);
    ++full;
  }
  Md5Digest digests[kMd5Lanes];
  Md5EqualLength(messages, full, part_size, digests);
  for (size_t i = 0; i < full; ++i) entry->parts[first + i].md5 = digests[i];
  for (size_t i = first + full; i < end; ++i) {
    PartEntry& part = entry->parts[i];
    part.md5 = Md5Buffer(chunk + (part.start - offset), part.length);
  }
}

bool Builder::Hash(platform::ReadOnlyFile& file, const std::string& path, FileEntry* entry) {
  if (!buffers_) AllocateBuffers(units_ * kPartSizeUnit);
  // A file of one part has the part's digest as its own: no second pass.
  const bool parallel = entry->parts.size() > 1 && options_.use_second_thread && !hasher_failed_;
  if (parallel && !hasher_) {
    try {
      hasher_ = std::make_unique<WholeFileHasher>();
    } catch (const std::system_error&) {
      hasher_failed_ = true;  // No thread to be had: hash both on this one.
    }
  }
  WholeFileHasher* hasher = parallel ? hasher_.get() : nullptr;
  Md5Context whole;
  Md5Context part_context;  // streaming mode: the part in progress
  size_t part_index = 0;
  uint64_t part_left = entry->parts[0].length;
  uint64_t offset = 0;
  const uint64_t first_sequence = hasher ? hasher->ChunksPosted() : 0;
  uint64_t sequence = first_sequence;
  bool ok = true;
  while (offset < entry->size) {
    // Reuse a buffer only after the second thread is done with it.
    if (hasher && sequence - first_sequence >= chunk_count_) {
      hasher->WaitFor(sequence - chunk_count_);
    }
    uint8_t* chunk = buffers_.get() + (sequence % chunk_count_) * chunk_bytes_;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk_bytes_, entry->size - offset));
    const int64_t got = file.Read(chunk, want);
    if (got != static_cast<int64_t>(want)) {
      ok = got < 0 ? Fail("cannot read " + path + ": " + file.error_text())
                   : Fail(path + " became shorter while it was read");
      break;
    }
    const bool last = offset + want == entry->size;
    if (hasher) {
      hasher->Post(chunk, want, sequence == first_sequence, last);
    } else if (entry->parts.size() > 1) {
      whole.Update(chunk, want);
    }
    ++sequence;
    if (whole_parts_) {
      HashWholeParts(chunk, offset, want, entry);
    } else {
      size_t used = 0;
      while (used < want) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(part_left, want - used));
        part_context.Update(chunk + used, take);
        used += take;
        part_left -= take;
        if (part_left == 0) {
          entry->parts[part_index].md5 = part_context.Final();
          part_context.Reset();
          if (++part_index < entry->parts.size()) part_left = entry->parts[part_index].length;
        }
      }
    }
    offset += want;
    progress_.bytes_done += want;
    progress_.current = entry->name;
    Report();
  }
  if (hasher) {
    // Drain even after a failure so that no posted chunk outlives this call.
    const Md5Digest digest = hasher->Finish();
    if (ok) entry->md5 = digest;
  } else if (ok) {
    entry->md5 = entry->parts.size() > 1 ? whole.Final() : entry->parts[0].md5;
  }
  return ok;
}

}  // namespace

uint32_t AutoPartSizeUnits(uint64_t size) {
  const uint64_t k = size / 1048576 / 250;
  return k >= 3 ? 8 : static_cast<uint32_t>(1) << k;
}

std::vector<PartEntry> LayOutParts(uint64_t size, uint32_t part_size) {
  std::vector<PartEntry> parts;
  if (size == 0 || part_size == 0) {
    parts.push_back(PartEntry{});
    return parts;
  }
  const uint64_t count = (size - 1) / part_size + 1;
  parts.resize(count);
  for (uint64_t i = 0; i < count; ++i) {
    parts[i].id = static_cast<uint32_t>(i);
    parts[i].start = i * part_size;
    parts[i].length = static_cast<uint32_t>(i + 1 < count ? part_size : size - i * part_size);
  }
  return parts;
}

int BuildFileList(const std::string& path, const BuildOptions& options,
                  std::vector<FileEntry>* files, std::string* error) {
  Builder builder(options, files, error);
  return builder.Run(path);
}

}  // namespace brelvane
