// SPDX-License-Identifier: MIT
#include "storage/file_system.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/file_log.h"
#include "catalogue/download_info.h"
#include "catalogue/md5_lanes.h"
#include "catalogue/safe_name.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/thread.h"
#include "storage/buffer_pool.h"

namespace brelvane {
namespace {

// Past this many files written since the last resume write, one flush of the
// whole file system is cheaper than one flush per file.
constexpr size_t kSyncWholeFileSystemAt = 32;

bool IsInside(const std::string& path, const std::string& root) {
  if (path == root) return true;
  const std::string prefix = root.empty() || root.back() == '/' ? root : root + "/";
  return path.compare(0, prefix.size(), prefix) == 0;
}

// Runs `work` on this thread and on up to `threads` - 1 helpers named
// `name` (one per core at most), and waits for all; `work` takes its jobs
// from a shared counter, so fewer helpers (none when a thread cannot start,
// or with `threads` 1) only take longer.
void RunShared(size_t threads, const char* name, const std::function<void()>& work) {
  const size_t helpers =
      std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), threads) - 1;
  std::vector<std::thread> started;
  for (size_t i = 0; i < helpers; ++i) {
    try {
      started.emplace_back([&work, name] {
        platform::SetCurrentThreadName(name);
        work();
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& thread : started) thread.join();
}

}  // namespace

BlockLease::~BlockLease() {
  if (file_system_ != nullptr) file_system_->ReleaseUid(UID{file_id_, first_part_, last_part_});
}

uint32_t BlockHandle::FileId() const { return IsValid() ? file_->FileId() : kNoFile; }

uint64_t BlockHandle::PartOffset() const {
  const PartBuffer* part = IsValid() ? file_->GetPart(part_) : nullptr;
  return part != nullptr ? part->Offset() : ~uint64_t{0};
}

uint32_t BlockHandle::PartLength() const {
  const PartBuffer* part = IsValid() ? file_->GetPart(part_) : nullptr;
  return part != nullptr ? part->Length() : kNoPart;
}

FileSystem::FileSystem() : clock_(&platform::NowSeconds), free_space_(&platform::FreeDiskSpace) {}

FileSystem::~FileSystem() {
  StopRunner();
  DeleteAllFiles();
  block_states_.Clear();
}

void FileSystem::SetPaths(const FileEntry& seed_entry, const std::string& base_directory,
                          const std::string& tag) {
  base_directory_ = base_directory;
  real_base_.clear();
  if (!base_directory_.empty() && base_directory_.back() != '/') base_directory_ += '/';
  info_directory_ = base_directory_ + kInfoFolder;
  seed_path_ = info_directory_ + kSeedSuffix + tag;
  past_seed_path_ = info_directory_ + kPastSeedSuffix + tag;
  resume_path_ = info_directory_ + kResumeSuffix + tag;
  seed_entry_ = seed_entry;
}

bool FileSystem::StaysInsideBase(const std::string& full_path) const {
  if (base_directory_.empty()) return true;  // no base set: nothing to stay inside
  if (full_path.compare(0, base_directory_.size(), base_directory_) != 0) return false;
  // No "." or ".." step and no empty one below the base (a seed tag or a
  // caller's path is not a checked file-list name).
  for (size_t at = base_directory_.size(); at <= full_path.size();) {
    size_t slash = full_path.find('/', at);
    if (slash == std::string::npos) slash = full_path.size();
    const std::string_view step(full_path.data() + at, slash - at);
    if (step.empty() || step == "." || step == "..") return false;
    at = slash + 1;
  }
  if (real_base_.empty() && platform::ResolvePath(base_directory_, &real_base_) != 0) {
    // The base does not exist yet: nothing below it can be a link.
    return true;
  }
  const std::string& real_base = real_base_;
  // Every existing component below the base must stay inside it: a real
  // directory or file below an inside parent does; a symbolic link must
  // resolve inside (a link within the tree is fine, one elsewhere is not).
  size_t at = base_directory_.size();
  while (at <= full_path.size()) {
    size_t slash = full_path.find('/', at);
    if (slash == std::string::npos) slash = full_path.size();
    const std::string prefix = full_path.substr(0, slash);
    const platform::PathKind kind = platform::GetPathKind(prefix);
    if (kind == platform::PathKind::kMissing) return true;
    if (kind == platform::PathKind::kSymlink) {
      std::string real;
      if (platform::ResolvePath(prefix, &real) != 0 || !IsInside(real, real_base)) return false;
    }
    at = slash + 1;
  }
  return true;
}

bool FileSystem::RegisterFile(const std::string& full_path, const FileEntry& entry,
                              bool no_parts_done, const RangeSet32& not_complete,
                              std::unique_ptr<CWinMMFIO> opened) {
  if (files_.count(entry.id) != 0) {
    Log1("Add file error");
    return false;
  }
  if (entry.id != kSeedFileId && !IsSafeRelativeName(entry.name)) {
    Log1("Unsafe file name refused (%s). FileID: %u, name: %s",
         NameProblemText(CheckRelativeName(entry.name)), entry.id, entry.name.c_str());
    return false;
  }
  if (!StaysInsideBase(full_path)) {
    Log1("File path leads outside the update directory, refused. FileID: %u, path: %s", entry.id,
         full_path.c_str());
    return false;
  }
  const auto part_count = static_cast<uint32_t>(entry.parts.size());
  RangeSet32 on_disk;
  if (!no_parts_done && part_count > 0) {
    RangeSet32 missing = not_complete;
    missing.Invert();
    RangeSet32 all;
    all.InsertRange(0, part_count - 1);
    on_disk.Intersect(missing, all);
  }
  block_states_.AddFile(entry.id, part_count);
  std::unique_ptr<File> file =
      File::Create(full_path, entry, on_disk, &block_states_, nullptr, std::move(opened));
  if (file == nullptr) return false;
  File* raw = file.get();
  if (!AddFile(std::move(file))) return false;
  names_unsynced_ = true;  // the open may have created the file and its directories
  total_bytes_.fetch_add(raw->DeclaredSize(), std::memory_order_relaxed);
  total_parts_.fetch_add(raw->PartCount(), std::memory_order_relaxed);
  written_parts_.fetch_add(raw->WrittenCount(), std::memory_order_relaxed);
  written_bytes_.fetch_add(raw->WrittenBytes(), std::memory_order_relaxed);
  return true;
}

bool FileSystem::AddMultipleFiles(const std::vector<FileEntry>& files,
                                  const std::string& base_directory, bool no_parts_done,
                                  const std::map<uint32_t, RangeSet32>& not_complete) {
  std::vector<std::unique_ptr<CWinMMFIO>> opened(files.size());
  if (files.size() >= kOpenAheadMinFiles && WillRegister(files)) {
    OpenAhead(files, base_directory, &opened);
  }
  const RangeSet32 none;
  for (size_t i = 0; i < files.size(); ++i) {
    const FileEntry& entry = files[i];
    auto found = not_complete.find(entry.id);
    if (!RegisterFile(base_directory + entry.name, entry, no_parts_done,
                      found == not_complete.end() ? none : found->second, std::move(opened[i]))) {
      return false;
    }
  }
  return true;
}

bool FileSystem::WillRegister(const std::vector<FileEntry>& files) const {
  std::set<uint32_t> ids;
  for (const FileEntry& entry : files) {
    if (files_.count(entry.id) != 0 || !ids.insert(entry.id).second ||
        !IsSafeRelativeName(entry.name) || !File::IsProperLayout(entry)) {
      return false;
    }
  }
  return true;
}

void FileSystem::OpenAhead(const std::vector<FileEntry>& files, const std::string& base_directory,
                           std::vector<std::unique_ptr<CWinMMFIO>>* opened) {
  // The path check resolves the base on its first call and keeps it: made
  // and resolved here, it is only read from both threads below.
  if (!base_directory_.empty() &&
      (!CreateDirectories(base_directory_) ||
       (real_base_.empty() && platform::ResolvePath(base_directory_, &real_base_) != 0))) {
    return;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> refused{false};
  const auto work = [&] {
    for (size_t i = next++; i < files.size() && !refused.load(); i = next++) {
      const std::string path = base_directory + files[i].name;
      if (!StaysInsideBase(path)) {
        refused = true;  // RegisterFile refuses it in its turn
        return;
      }
      (*opened)[i] = File::OpenOnDisk(path, nullptr);
    }
  };
  RunShared(kVerifyThreads, "open", work);
}

bool FileSystem::RegisterSeed() {
  if (!RegisterFile(seed_path_, seed_entry_, true, RangeSet32())) return false;
  RecomputeCounters();
  return true;
}

bool FileSystem::AddFile(std::unique_ptr<File> file) {
  if (file == nullptr) return false;
  const uint32_t id = file->FileId();
  if (files_.count(id) != 0) {
    Log1("Add file error");
    return false;
  }
  files_.emplace(id, std::move(file));
  return true;
}

void FileSystem::VerifyAllFiles() {
  // Every file is cut into batches of parts; up to kVerifyThreads threads
  // (this one and helpers) take batches in turn, each reading under the
  // file's lock and hashing outside it.  The results are applied file by
  // file afterwards, as File::VerifyAll would.
  struct Batch {
    File* file;
    uint32_t first;
    uint32_t count;
    uint8_t* good;
  };
  std::vector<std::vector<uint8_t>> good;
  good.reserve(files_.size());
  std::vector<Batch> batches;
  uint64_t scratch_bytes = 1;
  for (auto& [id, file] : files_) {
    good.emplace_back(file->PartCount());
    const uint32_t step = file->CheckBatchParts();
    scratch_bytes = std::max<uint64_t>(scratch_bytes, uint64_t{file->PartSize()} * step);
    for (uint32_t first = 0; first < file->PartCount(); first += step) {
      batches.push_back(Batch{file.get(), first, std::min(step, file->PartCount() - first),
                              good.back().data() + first});
    }
  }
  std::atomic<size_t> next{0};
  const auto work = [&batches, &next, scratch_bytes] {
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[scratch_bytes]);
    for (size_t i = next++; i < batches.size(); i = next++) {
      batches[i].file->CheckOnDisk(batches[i].first, batches[i].count, scratch.get(),
                                   batches[i].good);
    }
  };
  RunShared(batches.size() > 1 ? kVerifyThreads : 1, "verify", work);
  size_t k = 0;
  for (auto& [id, file] : files_) file->ApplyDiskCheck(good[k++].data());
  RecomputeCounters();
}

void FileSystem::DeleteAllFiles() {
  // What was written must not lose its flush because its File goes away.
  if (!SyncDirtyFiles()) Log1("Flush before closing files failed");
  dirty_files_.clear();
  files_.clear();
  {
    std::lock_guard<std::mutex> lock(registry_mu_);
    cursor_set_ = false;
  }
  RecomputeCounters();
}

bool FileSystem::StartRunner(uint32_t capacity) { return runner_.Start(capacity, this); }

void FileSystem::StopRunner() { runner_.Stop(); }

void FileSystem::ReleaseUidAfterWrites(const UID& uid) {
  std::unique_ptr<Task> task =
      std::make_unique<TaskCall>([this, uid] { ReleaseUid(uid); }, /*run_if_dropped=*/true);
  // A failed post leaves the task with us: destroying it releases at once.
  (void)runner_.Post(task, kInfiniteWait);
}

bool FileSystem::Drain() {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ran = done->get_future();
  std::unique_ptr<Task> task =
      std::make_unique<TaskCall>([done] { done->set_value(); }, /*run_if_dropped=*/true);
  if (!runner_.Post(task, kInfiniteWait)) return false;
  ran.wait();
  return true;
}

uint32_t FileSystem::RunnerCapacityFor(uint32_t total_parts) {
  return std::min<uint32_t>(128, total_parts / 10 + 1);
}

void FileSystem::RecomputeCounters() {
  uint64_t total_bytes = 0;
  uint64_t written_bytes = 0;
  uint32_t total_parts = 0;
  uint32_t written_parts = 0;
  for (auto& [id, file] : files_) {
    total_bytes += file->DeclaredSize();
    total_parts += file->PartCount();
    written_parts += file->WrittenCount();
    written_bytes += file->WrittenBytes();
  }
  total_bytes_.store(total_bytes, std::memory_order_relaxed);
  total_parts_.store(total_parts, std::memory_order_relaxed);
  written_bytes_.store(written_bytes, std::memory_order_relaxed);
  written_parts_.store(written_parts, std::memory_order_relaxed);
}

File* FileSystem::GetFile(uint32_t file_id) const {
  auto found = files_.find(file_id);
  return found == files_.end() ? nullptr : found->second.get();
}

bool FileSystem::IsPartVerified(uint32_t file_id, uint32_t part) const {
  File* file = GetFile(file_id);
  return file != nullptr && file->IsPartVerified(part);
}

bool FileSystem::AreAllVerified(const UID& uid) const {
  if (!uid.IsValid()) return false;
  File* file = GetFile(uid.file_id);
  return file != nullptr && file->AreVerified(uid.first_part, uid.last_part);
}

bool FileSystem::IsPartFree(uint32_t file_id, uint32_t part) {
  const UID uid{file_id, part, part};
  return !block_states_.AnyDone(uid) && !block_states_.AllRequested(uid);
}

bool FileSystem::ReadFile(uint32_t file_id, uint8_t* buffer, uint32_t length,
                          uint64_t offset) const {
  File* file = GetFile(file_id);
  return file != nullptr && file->Read(buffer, length, offset);
}

BlockHandle FileSystem::HandleFor(const UID& uid) {
  File* file = GetFile(uid.file_id);
  if (file == nullptr) {
    // Block states know a file the registry does not (a failed
    // registration): give the part back rather than leak the request.
    block_states_.Release(uid);
    return BlockHandle();
  }
  return BlockHandle(std::make_shared<BlockLease>(this, uid.file_id, uid.first_part, uid.last_part),
                     file, uid.first_part);
}

BlockHandle FileSystem::AcquireBlock(uint32_t file_id, uint32_t part) {
  const UID uid{file_id, part, part};
  if (!block_states_.Take(uid)) return BlockHandle();
  return HandleFor(uid);
}

BlockHandle FileSystem::AcquireAnyBlock() {
  const UID uid = block_states_.AllocateBlocks(1);
  if (uid.IsValid() && uid.IsSingle()) return HandleFor(uid);
  // The seed's own file (id all ones) reads as an invalid UID: its part
  // must not stay requested by nobody.
  if (uid.first_part != kNoPart) block_states_.Release(uid);
  return BlockHandle();
}

UID FileSystem::AllocateRun() { return block_states_.AllocateBlocks(kRunParts); }

void FileSystem::Release(uint32_t file_id, uint32_t part) {
  block_states_.Release(UID{file_id, part, part});
}

void FileSystem::ReleaseUid(const UID& uid) { block_states_.Release(uid); }

void FileSystem::ReleaseAllRequests() { block_states_.ReleaseAll(); }

void FileSystem::AddRecord(File* file, uint32_t part, PartRecord* out) const {
  const PartBuffer* buffer = file->GetPart(part);
  out->file_id = file->FileId();
  out->part_id = part;
  out->offset = buffer == nullptr ? 0 : static_cast<uint32_t>(buffer->Offset());
  out->length = buffer == nullptr ? 0 : buffer->Length();
}

uint32_t FileSystem::GetRandomFreeBlocks(uint32_t maximum, PartRecord* out) {
  if (maximum == 0) return 0;
  std::vector<UID> picked(maximum);
  const uint32_t listed = block_states_.PickRandomFreeBlocks(maximum, picked.data());
  uint32_t count = 0;
  for (uint32_t i = 0; i < listed; ++i) {
    File* file = GetFile(picked[i].file_id);
    if (file == nullptr) continue;
    AddRecord(file, picked[i].first_part, &out[count++]);
  }
  return count;
}

uint32_t FileSystem::CollectHeldParts(uint32_t maximum, PartRecord* out) {
  std::lock_guard<std::mutex> lock(registry_mu_);
  uint32_t count = 0;
  if (files_.empty() || maximum == 0) return 0;
  auto it = cursor_set_ ? files_.upper_bound(cursor_id_) : files_.begin();
  for (size_t visited = 0; visited < files_.size() && count < maximum; ++visited) {
    if (it == files_.end()) it = files_.begin();
    File* file = it->second.get();
    cursor_set_ = true;
    cursor_id_ = it->first;
    RangeSet32 sample;
    file->SampleVerifiedParts(&sample, maximum - count);
    for (uint32_t part : sample) {
      if (count == maximum) break;
      AddRecord(file, part, &out[count++]);
    }
    ++it;
  }
  return count;
}

bool FileSystem::CommitWrite(uint32_t file_id, const uint8_t* data, uint32_t length,
                             uint64_t offset, IWriteObserver* observer) {
  File* file = GetFile(file_id);
  OwnedBlock block;
  if (file != nullptr) {
    const uint32_t kept = data == nullptr ? 0 : length;
    block = OwnedBlock(BufferPool::Take(kept), kept, offset);
    if (kept > 0) std::memcpy(block.data_.get(), data, kept);
    CheckParts(file, &block, 1);
  }
  return Commit(file_id, file, &block, observer);
}

bool FileSystem::CommitBlock(uint32_t file_id, OwnedBlock block, IWriteObserver* observer) {
  return Commit(file_id, GetFile(file_id), &block, observer);
}

void FileSystem::CheckWholeParts(uint32_t file_id, OwnedBlock* blocks, size_t count) {
  File* file = GetFile(file_id);
  if (file != nullptr) CheckParts(file, blocks, count);
}

void FileSystem::CheckWholeParts(const uint32_t* file_ids, OwnedBlock* const* blocks,
                                 size_t count) {
  File* files[kCheckChunk];
  for (size_t at = 0; at < count; at += kCheckChunk) {
    const size_t n = std::min(kCheckChunk, count - at);
    for (size_t i = 0; i < n; ++i) files[i] = GetFile(file_ids[at + i]);
    CheckParts(files, blocks + at, n);
  }
}

void FileSystem::CheckParts(File* file, OwnedBlock* blocks, size_t count) {
  File* files[kCheckChunk];
  OwnedBlock* pointers[kCheckChunk];
  for (size_t at = 0; at < count; at += kCheckChunk) {
    const size_t n = std::min(kCheckChunk, count - at);
    for (size_t i = 0; i < n; ++i) {
      files[i] = file;
      pointers[i] = &blocks[at + i];
    }
    CheckParts(files, pointers, n);
  }
}

void FileSystem::CheckParts(File* const* files, OwnedBlock* const* blocks, size_t count) {
  // The blocks worth hashing here, grouped by length (only a file's last
  // part is shorter, and files may differ in part size), each group hashed
  // eight at a time.
  struct Whole {
    OwnedBlock* block;
    const PartBuffer* part;
  };
  Whole whole[kCheckChunk];
  size_t wholes = 0;
  for (size_t i = 0; i < count && i < kCheckChunk; ++i) {
    OwnedBlock& block = *blocks[i];
    block.checked_ = false;
    File* file = files[i];
    const uint32_t part_size = file == nullptr ? 0 : file->PartSize();
    if (part_size == 0 || block.data_ == nullptr || block.length_ == 0 ||
        block.offset_ % part_size != 0) {
      continue;
    }
    const uint64_t index = block.offset_ / part_size;
    const PartBuffer* part = index <= kNoPart ? file->GetPart(static_cast<uint32_t>(index)) : nullptr;
    if (part == nullptr || part->Length() != block.length_) continue;
    // A part verified already is refused by the worker: no need to hash it.
    if (file->IsPartVerified(static_cast<uint32_t>(index))) continue;
    whole[wholes++] = {&block, part};
  }
  std::stable_sort(whole, whole + wholes, [](const Whole& a, const Whole& b) {
    return a.block->length_ > b.block->length_;
  });
  for (size_t at = 0; at < wholes;) {
    const uint32_t length = whole[at].block->length_;
    size_t n = 0;
    const uint8_t* messages[kMd5Lanes];
    while (n < kMd5Lanes && at + n < wholes && whole[at + n].block->length_ == length) {
      messages[n] = whole[at + n].block->data_.get();
      ++n;
    }
    Md5Digest digests[kMd5Lanes];
    Md5EqualLength(messages, n, length, digests);
    for (size_t k = 0; k < n; ++k) {
      whole[at + k].block->checked_ = digests[k] == whole[at + k].part->Digest();
    }
    at += n;
  }
}

bool FileSystem::Commit(uint32_t file_id, File* file, OwnedBlock* block,
                        IWriteObserver* observer) {
  const auto refuse = [observer] {
    if (observer != nullptr) {
      observer->OnNothingVerified();
      observer->Destroy();
    }
    return false;
  };
  if (file == nullptr) {
    Log2("File not found. FileID: %d", static_cast<int>(file_id));
    return refuse();
  }
  if (file->IsBacklogged() && !HasFreeSpace()) {
    Log2("File writing busy. FileID: %d, FileName: %s", static_cast<int>(file_id),
         file->Name().c_str());
    return refuse();
  }
  const uint32_t length = block->data_ == nullptr ? 0 : block->length_;
  const uint64_t offset = block->offset_;
  std::unique_ptr<uint8_t[]> data = std::move(block->data_);
  if (data == nullptr) data.reset(new uint8_t[1]);
  const auto log_failure = [&] {
    Log5("Write commit fail, %d, %u - %d", static_cast<int>(file_id),
         static_cast<uint32_t>(offset), static_cast<int>(length));
  };
  const uint64_t start = platform::TickMs();
  if (!queued_budget_.Acquire(length, kCommitTimeoutMs)) {
    log_failure();
    return refuse();
  }
  auto write = std::make_unique<TaskWriteBlock>(file, offset, length, std::move(data), observer,
                                                block->checked_);
  write->set_budget(&queued_budget_);
  std::unique_ptr<Task> task = std::move(write);
  if (file_id != kSeedFileId) {
    task = std::make_unique<TaskDouble>(std::move(task),
                                        std::make_unique<TaskWriteDownloadInfo>(resume_path_));
  }
  const uint64_t waited = platform::TickMs() - start;
  if (!runner_.Post(task, static_cast<uint32_t>(kCommitTimeoutMs - std::min<uint64_t>(
                                                    waited, kCommitTimeoutMs)))) {
    task.reset();  // frees the bytes and their budget; the observer hears OnNothingVerified
    log_failure();
    return false;
  }
  return true;
}

void FileSystem::Flush(uint32_t file_id) {
  File* file = GetFile(file_id);
  if (file == nullptr) return;
  std::unique_ptr<Task> task = std::make_unique<TaskDouble>(
      std::make_unique<TaskFlush>(file), std::make_unique<TaskWriteDownloadInfo>(resume_path_));
  (void)runner_.Post(task, kInfiniteWait);  // a refused task dies here
}

void FileSystem::FlushAll() {
  std::unique_ptr<Task> task = std::make_unique<TaskDouble>(
      std::make_unique<TaskFlushAll>(this), std::make_unique<TaskWriteDownloadInfo>(resume_path_));
  (void)runner_.Post(task, kInfiniteWait);
}

void FileSystem::CollectUnwritten(std::map<uint32_t, RangeSet32>* out) const {
  for (const auto& [id, file] : files_) {
    // Written, not merely verified: a verified part still waiting for the
    // disk is not on disk and must be listed as missing.
    if (file->WrittenCount() == file->PartCount()) continue;
    RangeSet32 parts;
    file->GetUnwrittenParts(&parts);
    if (!parts.Empty()) (*out)[id] = std::move(parts);
  }
}

void FileSystem::DeleteInfoFiles() {
  std::lock_guard<std::mutex> lock(info_mu_);
  info_deleted_ = true;
  platform::RemoveFile(resume_path_);
  platform::RemoveFile(resume_path_ + ".tmp");  // left by a write cut short
  platform::RemoveFile(seed_path_);
  platform::RemoveFile(past_seed_path_);
  platform::RemoveDirectory(info_directory_);
}

float FileSystem::Progress() const {
  const uint32_t total = TotalParts();
  if (total == 0) return 0.0f;
  const float progress = static_cast<float>(WrittenParts()) / static_cast<float>(total);
  return std::clamp(progress, 0.0f, 1.0f);
}

bool FileSystem::HasFreeSpace() {
  uint64_t declared = 0;
  uint64_t on_disk = 0;
  for (auto& [id, file] : files_) {
    declared += file->DeclaredSize();
    on_disk += file->DiskSize();
  }
  const uint64_t needed = declared > on_disk ? declared - on_disk : 0;
  uint64_t free_bytes = 0;
  const std::string where = base_directory_.empty() ? std::string(".") : base_directory_;
  if (const int err = free_space_(where, &free_bytes)) {
    Log1("GetFreeSpaceEx error, %d", err);
    return false;
  }
  return free_bytes >= needed;
}

void FileSystem::AfterFileWork(File* file, uint32_t parts_before, uint64_t bytes_before) {
  const uint32_t parts_after = file->WrittenCount();
  if (parts_after != parts_before) {
    written_parts_.fetch_add(parts_after - parts_before, std::memory_order_relaxed);
    written_bytes_.fetch_add(file->WrittenBytes() - bytes_before, std::memory_order_relaxed);
  }
  if (file->TakeSyncListing()) dirty_files_.push_back(file);
}

bool FileSystem::SyncDirtyFiles() {
  if (dirty_files_.empty()) return true;
  bool ok = true;
  // Flushing a file does not make its name durable: after registration
  // created files (and directories), their names reach the device only with
  // the file-system flush, so until that succeeds nothing may be counted.
  const bool whole = names_unsynced_ || dirty_files_.size() >= kSyncWholeFileSystemAt;
  if (whole && platform::SyncFileSystem(base_directory_.empty() ? "." : base_directory_) == 0) {
    for (File* file : dirty_files_) file->MarkSynced();
    names_unsynced_ = false;
  } else {
    for (File* file : dirty_files_) ok = file->SyncWritten() && ok;
    ok = ok && !names_unsynced_;
  }
  if (ok) dirty_files_.clear();
  return ok;
}

bool FileSystem::WriteResumeFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(info_mu_);
  if (info_deleted_) return true;
  if (!SyncDirtyFiles()) {
    Log1("Flush to disk failed, resume file not written");
    return false;
  }
  std::map<uint32_t, RangeSet32> not_complete;
  CollectUnwritten(&not_complete);
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !PathExists(path.substr(0, slash))) {
    // The info folder normally holds the seed already; the write below
    // reports a folder that cannot be made.
    (void)CreateDirectories(path.substr(0, slash));
  }
  return WriteDownloadInfo(not_complete, path);
}

}  // namespace brelvane
