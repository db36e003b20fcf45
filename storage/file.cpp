// SPDX-License-Identifier: MIT
#include "storage/file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/console_log.h"
#include "base/file_log.h"
#include "catalogue/md5_lanes.h"
#include "storage/buffer_pool.h"
#include "storage/range_pick.h"
#include "storage/storage_random.h"

namespace brelvane {

bool File::IsProperLayout(const FileEntry& entry) {
  const auto& parts = entry.parts;
  if (parts.empty() || parts.size() > 0xFFFFFFFFu) return false;
  const uint64_t part_size = parts[0].length;
  if (part_size == 0) return parts.size() == 1 && entry.size == 0 && parts[0].start == 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].id != i || parts[i].start != i * part_size) return false;
    const bool last = i + 1 == parts.size();
    if (last ? (parts[i].length == 0 || parts[i].length > part_size)
             : parts[i].length != part_size) {
      return false;
    }
  }
  return parts.back().start + parts.back().length == entry.size;
}

File::File(const std::string& full_path, const FileEntry& entry, IBlockStateListener* listener)
    : file_id_(entry.id),
      name_(entry.name),
      full_path_(full_path),
      declared_size_(entry.size),
      file_digest_(entry.md5),
      part_size_(entry.parts.empty() ? 0 : entry.parts[0].length),
      listener_(listener) {
  parts_.reserve(entry.parts.size());
  for (const PartEntry& part : entry.parts) parts_.emplace_back(part);
}

File::~File() = default;

std::unique_ptr<File> File::Create(const std::string& full_path, const FileEntry& entry,
                                   const RangeSet32& on_disk, IBlockStateListener* listener,
                                   IFile* io, std::unique_ptr<CWinMMFIO> opened) {
  if (!IsProperLayout(entry)) {
    Log0("Bad part list, file refused. FileID: %u, name: %s", entry.id, entry.name.c_str());
    return nullptr;
  }
  std::unique_ptr<File> file(new File(full_path, entry, listener));
  {
    std::lock_guard<std::mutex> lock(file->mu_);
    const uint32_t count = file->PartCount();
    for (const auto& range : on_disk.Ranges()) {
      if (range.lo >= count) break;
      const uint32_t hi = std::min(range.hi, count - 1);
      for (uint64_t p = range.lo; p <= hi; ++p) file->MarkWrittenLocked(static_cast<uint32_t>(p));
    }
    // An empty part is on disk as soon as the file exists.
    for (uint32_t p = 0; p < count; ++p) {
      if (file->parts_[p].Length() == 0 && file->parts_[p].VerifyBuffer(nullptr, 0)) {
        file->MarkWrittenLocked(p);
      }
    }
    file->UpdateCounts();
  }
  if (!file->Open(io, std::move(opened))) return nullptr;
  return file;
}

std::unique_ptr<CWinMMFIO> File::OpenOnDisk(const std::string& full_path, std::string* error) {
  const size_t slash = full_path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    // A failure here shows as the open failure below, with its reason.
    (void)CreateDirectories(full_path.substr(0, slash));
  }
  auto own = std::make_unique<CWinMMFIO>(full_path);
  if (!own->Open(CWinMMFIO::kModeReadWrite, CWinMMFIO::kOpenAlways, 0, false)) {
    if (error != nullptr) own->GetErrorText(error);
    return nullptr;
  }
  return own;
}

bool File::Open(IFile* io, std::unique_ptr<CWinMMFIO> opened) {
  std::lock_guard<std::mutex> lock(mu_);
  if (io != nullptr) {
    io_ = io;
    return true;
  }
  std::string text;
  std::unique_ptr<CWinMMFIO> own = opened ? std::move(opened) : OpenOnDisk(full_path_, &text);
  if (own == nullptr) {
    Log0("Open file 1 error. name: %s, msg: %s", full_path_.c_str(), text.c_str());
    return false;
  }
  if (own->GetSize() > declared_size_) {
    if (!own->SetSize(declared_size_)) {
      Log0("SetFileSize error");
      return false;
    }
    Log4("File %s, size cut down to %d", name_.c_str(),
         static_cast<int>(static_cast<uint32_t>(declared_size_)));
  }
  // A complete file is only read from now on (see WritePendingLocked for why
  // this drops write access instead of opening the file a second time).
  if (IsComplete()) own->MakeReadOnly();
  owned_io_ = std::move(own);
  io_ = owned_io_.get();
  return true;
}

void File::UpdateCounts() {
  verified_count_.store(static_cast<uint32_t>(verified_.Size()), std::memory_order_relaxed);
  written_count_.store(static_cast<uint32_t>(written_.Size()), std::memory_order_relaxed);
}

void File::MarkVerifiedLocked(uint32_t index) {
  verified_.Insert(index);
  UpdateCounts();
  if (listener_ != nullptr) listener_->OnPartVerified(UID{file_id_, index, index});
}

void File::MarkWrittenLocked(uint32_t index) {
  MarkVerifiedLocked(index);
  written_.Insert(index);
  UpdateCounts();
}

void File::ResetPartLocked(uint32_t index) {
  written_.Erase(index);
  verified_.Erase(index);
  if (pending_.erase(index) > 0) parts_[index].FreeBuffer();
  parts_[index].ResetMissing();
  UpdateCounts();
  if (listener_ != nullptr) listener_->OnPartReset(UID{file_id_, index, index});
}

void File::MarkVerified(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  MarkVerifiedLocked(index);
}

void File::MarkWritten(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  MarkWrittenLocked(index);
}

void File::ResetPart(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index < parts_.size()) ResetPartLocked(index);
}

void File::ClearVerified() {
  std::lock_guard<std::mutex> lock(mu_);
  verified_.Clear();
  UpdateCounts();
}

bool File::WriteData(const uint8_t* data, uint32_t length, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mu_);
  if (length > 0 && data != nullptr && part_size_ > 0 && offset < declared_size_) {
    const uint64_t end = std::min(offset + length - 1, declared_size_ - 1);
    const uint64_t first = offset / part_size_;
    const uint64_t last = end / part_size_;
    for (uint64_t p = first; p <= last && p < parts_.size(); ++p) {
      const auto index = static_cast<uint32_t>(p);
      if (verified_.Contains(index)) {
        Log2("Try to write an verified block, igrone");
        continue;
      }
      const int result = parts_[index].BufferAndVerify(data, length, offset);
      if (result < 0) {
        Log2("BufferAndVerify Error. UID:%d.%d", static_cast<int>(file_id_),
             static_cast<int>(index));
      } else if (result > 0) {
        pending_.insert(index);
        MarkVerifiedLocked(index);
        if (pending_.size() >= kBacklogParts) backlog_.store(true, std::memory_order_relaxed);
      }
    }
  }
  WriteWhenDueLocked();
  return true;
}

void File::StoreVerifiedPart(uint32_t index, std::unique_ptr<uint8_t[]> bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index < parts_.size() && parts_[index].Length() > 0) {
    if (verified_.Contains(index)) {
      Log2("Try to write an verified block, igrone");
      BufferPool::Give(std::move(bytes), parts_[index].Length());
    } else {
      parts_[index].AdoptVerified(std::move(bytes));
      pending_.insert(index);
      MarkVerifiedLocked(index);
      if (pending_.size() >= kBacklogParts) backlog_.store(true, std::memory_order_relaxed);
    }
  }
  WriteWhenDueLocked();
}

void File::WriteWhenDueLocked() {
  if (pending_.size() >= kWriteBatch || IsComplete()) WritePendingLocked();
}

void File::WritePending() {
  std::lock_guard<std::mutex> lock(mu_);
  WritePendingLocked();
}

void File::WritePendingLocked() {
  bool failed = false;
  for (auto it = pending_.begin(); it != pending_.end();) {
    PartBuffer& part = parts_[*it];
    if (io_ != nullptr && io_->Write(part.Data(), part.Length(), part.Offset())) {
      Log4("Try writing done. UID: %d.%d", static_cast<int>(file_id_), static_cast<int>(*it));
      part.FreeBuffer();
      MarkWrittenLocked(*it);
      unsynced_ = true;
      it = pending_.erase(it);
    } else {
      failed = true;
      ++it;
    }
  }
  if (pending_.size() < kBacklogParts) backlog_.store(false, std::memory_order_relaxed);
  if (failed) {
    ConsoleLog::Get().Begin(ConsoleLevel::Interactive) << "Error" << " " << "=" << " "
                                                       << "WriteFile";
    Log1("Write file error, FileID %d", static_cast<int>(file_id_));
  }
  // Read-only once every part is on disk (not merely verified: a part that
  // still waits for the disk must stay writable).
  if (IsComplete() && pending_.empty()) {
    auto* own = dynamic_cast<CWinMMFIO*>(io_);
    // Dropping write access on the open handle is what a close and read-only
    // reopen achieves here, without two system calls per completed file.
    if (own != nullptr && own->IsOpen() && own->writable()) own->MakeReadOnly();
  }
}

bool File::Read(uint8_t* buffer, uint32_t length, uint64_t offset) {
  if (length == 0) return true;
  if (part_size_ == 0 || offset % part_size_ != 0) return false;
  const uint64_t first = offset / part_size_;
  const uint64_t last = (offset + length - 1) / part_size_;
  std::lock_guard<std::mutex> lock(mu_);
  if (last >= parts_.size()) return false;
  if (!verified_.Contains(static_cast<uint32_t>(first), static_cast<uint32_t>(last))) return false;
  for (uint64_t p = first; p <= last; ++p) {
    const uint64_t skip = (p - first) * part_size_;
    if (!ReadPartLocked(buffer + skip, static_cast<uint32_t>(length - skip),
                        static_cast<uint32_t>(p))) {
      return false;
    }
  }
  return true;
}

bool File::ReadPart(uint8_t* destination, uint32_t maximum_length, uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  return ReadPartLocked(destination, maximum_length, index);
}

bool File::ReadPartLocked(uint8_t* destination, uint32_t maximum_length, uint32_t index) {
  if (index >= parts_.size()) return false;
  const PartBuffer& part = parts_[index];
  const uint32_t n = std::min(maximum_length, part.Length());
  if (written_.Contains(index)) return io_ != nullptr && io_->Read(destination, n, part.Offset());
  if (!verified_.Contains(index)) return false;
  if (n == 0) return true;
  if (!part.HasData()) return false;
  std::memcpy(destination, part.Data(), n);
  return true;
}

uint32_t File::CheckBatchParts() const {
  constexpr uint32_t kMaxScratch = 4u << 20;
  if (part_size_ == 0) return 1;
  return std::clamp<uint32_t>(kMaxScratch / part_size_, 1, static_cast<uint32_t>(kMd5Lanes));
}

void File::VerifyAll() {
  const uint32_t batch = CheckBatchParts();
  std::unique_ptr<uint8_t[]> scratch(new uint8_t[std::max<uint64_t>(1, uint64_t{part_size_} * batch)]);
  std::vector<uint8_t> good(parts_.size());
  for (uint32_t first = 0; first < parts_.size(); first += batch) {
    CheckOnDisk(first, std::min<uint32_t>(batch, PartCount() - first), scratch.get(),
                good.data() + first);
  }
  ApplyDiskCheck(good.data());
}

void File::CheckOnDisk(uint32_t first, uint32_t count, uint8_t* scratch, uint8_t* good) {
  if (count == 0 || first >= parts_.size()) return;
  count = std::min<uint32_t>(count, PartCount() - first);
  // The parts lie back to back: one read for all of them.
  const uint64_t begin = parts_[first].Offset();
  const uint64_t end = parts_[first + count - 1].Offset() + parts_[first + count - 1].Length();
  uint64_t on_disk = 0;
  bool read = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (io_ != nullptr) {
      on_disk = io_->GetSize();
      const uint64_t readable = std::min(end, std::max(on_disk, begin)) - begin;
      read = io_->Read(scratch, static_cast<uint32_t>(readable), begin);
    }
  }
  const uint8_t* messages[kMd5Lanes];
  uint32_t lanes[kMd5Lanes];
  size_t n = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const PartBuffer& part = parts_[first + i];
    const uint8_t* bytes = scratch + (part.Offset() - begin);
    good[i] = 0;
    // A part not wholly on disk is bad (and never hashed).
    if (!read || part.Offset() + part.Length() > on_disk) continue;
    if (part.Length() == part_size_ && part_size_ > 0 && n < kMd5Lanes) {
      messages[n] = bytes;
      lanes[n++] = i;
    } else {
      good[i] = part.VerifyBuffer(bytes, part.Length()) ? 1 : 0;
    }
  }
  Md5Digest digests[kMd5Lanes];
  Md5EqualLength(messages, n, part_size_, digests);
  for (size_t k = 0; k < n; ++k) {
    good[lanes[k]] = digests[k] == parts_[first + lanes[k]].Digest() ? 1 : 0;
  }
}

void File::ApplyDiskCheck(const uint8_t* good) {
  std::lock_guard<std::mutex> lock(mu_);
  verified_.Clear();
  UpdateCounts();
  for (uint32_t i = 0; i < parts_.size(); ++i) {
    if (good[i] != 0) {
      MarkWrittenLocked(i);
    } else {
      ResetPartLocked(i);
    }
  }
  // A file that was complete when opened is read-only; one that is no longer
  // complete must take writes again.
  auto* own = dynamic_cast<CWinMMFIO*>(io_);
  if (!IsComplete() && own != nullptr && own->IsOpen() && !own->writable()) {
    own->Close();
    (void)own->Open(CWinMMFIO::kModeReadWrite, CWinMMFIO::kOpenAlways, 0, false);
  }
}

void File::GetUnwrittenParts(RangeSet32* out) {
  RangeSet32 missing;
  {
    std::lock_guard<std::mutex> lock(mu_);
    missing = written_;
  }
  missing.Invert();
  RangeSet32 all;
  if (!parts_.empty()) all.InsertRange(0, PartCount() - 1);
  out->Intersect(missing, all);
}

void File::SampleVerifiedParts(RangeSet32* out, uint32_t maximum) {
  std::lock_guard<std::mutex> lock(mu_);
  if (verified_.Empty() || maximum == 0) return;
  auto it = NthValue(verified_, static_cast<uint64_t>(StorageRandom()) % verified_.Size());
  const auto start = it;
  uint32_t added = 0;
  do {
    out->Insert(*it);
    ++added;
    if (++it == verified_.end()) it = verified_.begin();
  } while (it != start && added < maximum);
}

bool File::SyncWritten() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!unsynced_) return true;
  if (io_ == nullptr || !io_->Sync()) return false;
  unsynced_ = false;
  sync_listed_ = false;
  return true;
}

bool File::TakeSyncListing() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!unsynced_ || sync_listed_) return false;
  sync_listed_ = true;
  return true;
}

void File::MarkSynced() {
  std::lock_guard<std::mutex> lock(mu_);
  unsynced_ = false;
  sync_listed_ = false;
}

bool File::AreVerified(uint32_t first, uint32_t last) {
  std::lock_guard<std::mutex> lock(mu_);
  return first <= last && verified_.Contains(first, last);
}

bool File::IsPartVerified(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  return verified_.Contains(index);
}

uint64_t File::BytesOf(const RangeSet32& set) const {
  const uint64_t count = set.Size();
  if (count == 0) return 0;
  const uint32_t last = PartCount() - 1;
  if (set.Contains(last)) return (count - 1) * part_size_ + parts_[last].Length();
  return count * part_size_;
}

uint64_t File::VerifiedBytes() {
  std::lock_guard<std::mutex> lock(mu_);
  return BytesOf(verified_);
}

uint64_t File::WrittenBytes() {
  std::lock_guard<std::mutex> lock(mu_);
  return BytesOf(written_);
}

uint64_t File::DiskSize() {
  std::lock_guard<std::mutex> lock(mu_);
  return io_ == nullptr ? 0 : io_->GetSize();
}

const PartBuffer* File::GetPart(uint32_t index) const {
  return index < parts_.size() ? &parts_[index] : nullptr;
}

size_t File::PendingCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_.size();
}

}  // namespace brelvane
