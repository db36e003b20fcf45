// SPDX-License-Identifier: MIT
// FileSystem: the storage engine's single entry point, one per run.  It owns
// every File of the update by id, the block states (which parts are free,
// requested or done), the storage worker (Runner) and the information folder
// "Brelvane_Info/" (seed, previous seed, resume file), and keeps the progress
// counters the status output reads.
//
// The road of a received block: CommitWrite copies it and posts a write task
// (waiting at most 1000 ms for room in the queue and in the 2 MiB budget of
// queued bytes, else "busy"); the worker adds it to its
// part, verifies completed parts, writes them in batches and, at most every
// 15 seconds or when everything is on disk, rewrites the resume file after
// flushing to the device every file written since the last resume write.
//
// Safety: a file is registered only under a safe relative name, and only when
// nothing on its path below the base directory leads outside it (a symbolic
// link to elsewhere); nothing is created outside the base directory.
//
// Cost per block: counters are kept incrementally and allocation goes
// straight to files with free parts, so neither grows with the file count.
//
// Thread safety: registration (SetPaths, RegisterFile, AddMultipleFiles,
// RegisterSeed, DeleteAllFiles, VerifyAllFiles, StartRunner, StopRunner)
// runs on one control thread while no download thread runs and the runner is
// stopped or idle; the file map is then only read, without a lock.  Everything
// else may be called from any thread.  The counters are atomics written by
// the worker (and by registration) and read anywhere, possibly a block old.
// Lock order: registry lock, file lock, block-state lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/seed_model.h"
#include "storage/block_handle.h"
#include "storage/block_states.h"
#include "storage/file.h"
#include "storage/range_set.h"
#include "storage/runner.h"
#include "storage/task.h"

namespace brelvane {

// One part as it crosses the wire: 16 bytes.
struct PartRecord {
  uint32_t file_id;
  uint32_t part_id;
  uint32_t offset;  // low 32 bits of the part's offset
  uint32_t length;
};

// A received block handed to the storage engine together with its buffer,
// so that nothing is copied on the way to the disk (FileSystem::CommitBlock).
class OwnedBlock {
 public:
  OwnedBlock() = default;
  // `data` holds at least `length` bytes (BufferPool::Take gives such arrays).
  OwnedBlock(std::unique_ptr<uint8_t[]> data, uint32_t length, uint64_t offset)
      : data_(std::move(data)), length_(length), offset_(offset) {}

  const uint8_t* data() const { return data_.get(); }
  uint32_t length() const { return length_; }
  uint64_t offset() const { return offset_; }
  // Set only by FileSystem::CheckWholeParts: the block is exactly one part
  // and has that part's digest.
  bool checked() const { return checked_; }

 private:
  friend class FileSystem;
  std::unique_ptr<uint8_t[]> data_;
  uint32_t length_ = 0;
  uint64_t offset_ = 0;
  bool checked_ = false;
};

class FileSystem {
 public:
  static constexpr const char* kInfoFolder = "Brelvane_Info/";
  static constexpr const char* kSeedSuffix = ".Seed";
  static constexpr const char* kPastSeedSuffix = ".Seed_Past";
  static constexpr const char* kResumeSuffix = ".Download_Info_Data";
  static constexpr uint32_t kSeedRunnerCapacity = 16;
  static constexpr uint32_t kCommitTimeoutMs = 1000;
  // Received bytes that may wait in the worker's queue at once; a commit
  // beyond it waits for room within the same 1000 ms (storage/byte_budget.h).
  static constexpr uint64_t kQueuedBytesLimit = uint64_t{2} << 20;
  // Runs handed to an HTTP download.
  static constexpr uint32_t kRunParts = 10;

  FileSystem();
  // Stops the runner (queued tasks die unrun), then destroys the files.
  ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // --- Set-up and registration (control thread) ---

  // Stores the base directory (a '/' is appended when missing), derives the
  // info folder and its file names (suffix + tag), keeps the seed's entry.
  void SetPaths(const FileEntry& seed_entry, const std::string& base_directory,
                const std::string& tag);
  // RegisterFile for every entry, in order, under base + name; false at the
  // first failure.  `not_complete` maps file ids to their missing parts.
  // The files of a release that will be taken whole are opened (or created)
  // ahead by kVerifyThreads threads, as RegisterFile would open them; the
  // registration itself stays in order.
  [[nodiscard]] bool AddMultipleFiles(const std::vector<FileEntry>& files,
                                      const std::string& base_directory, bool no_parts_done,
                                      const std::map<uint32_t, RangeSet32>& not_complete);
  // Registers one file.  Its parts on disk: none with `no_parts_done`, else
  // every part not in `not_complete`.  False (logged) for an id registered
  // already, an unsafe name, a path leading outside the base directory, a bad
  // part list or a file that cannot be opened.
  // `opened`: the file opened ahead (File::OpenOnDisk), or null.
  [[nodiscard]] bool RegisterFile(const std::string& full_path, const FileEntry& entry,
                                  bool no_parts_done, const RangeSet32& not_complete,
                                  std::unique_ptr<CWinMMFIO> opened = nullptr);
  // True when RegisterFile would take every entry as far as its name, id and
  // part list go (no file is opened ahead for a release that will be refused).
  bool WillRegister(const std::vector<FileEntry>& files) const;
  // Opens (or creates) every file of `files` into `opened` as RegisterFile
  // would, on up to kVerifyThreads threads; stops at a path that leads
  // outside the base directory.  Entries it did not open stay null.
  void OpenAhead(const std::vector<FileEntry>& files, const std::string& base_directory,
                 std::vector<std::unique_ptr<CWinMMFIO>>* opened);
  // Registers the seed's own file (info folder + seed name), nothing on disk.
  [[nodiscard]] bool RegisterSeed();
  // Adds a built file; false, logging "Add file error", for a known id.
  [[nodiscard]] bool AddFile(std::unique_ptr<File> file);
  // Re-checks every file against the disk; the counters follow.  The
  // hashing is shared by up to kVerifyThreads threads (one per core), the
  // caller's among them.
  void VerifyAllFiles();
  static constexpr size_t kVerifyThreads = 2;
  // Releases of at least this many files are opened ahead in parallel.
  static constexpr size_t kOpenAheadMinFiles = 64;
  // Destroys every file (flushing what was written first).  Runner stopped.
  void DeleteAllFiles();
  // Starts the worker with 16 slots (seed phase) or `capacity` slots.
  [[nodiscard]] bool StartRunner() { return StartRunner(kSeedRunnerCapacity); }
  [[nodiscard]] bool StartRunner(uint32_t capacity);
  void StopRunner();
  // The queue of the update phase: min(128, total parts / 10 + 1).
  static uint32_t RunnerCapacityFor(uint32_t total_parts);
  // Recomputes the four counters from the files.
  void RecomputeCounters();

  // --- Lookups and reads (any thread) ---

  File* GetFile(uint32_t file_id) const;
  bool IsPartVerified(uint32_t file_id, uint32_t part) const;
  bool AreAllVerified(const UID& uid) const;
  // Neither done nor requested.
  bool IsPartFree(uint32_t file_id, uint32_t part);
  // The file's Read; false for an unknown id.
  [[nodiscard]] bool ReadFile(uint32_t file_id, uint8_t* buffer, uint32_t length,
                              uint64_t offset) const;

  // --- Acquisition ---

  // Takes the part when free; otherwise the empty handle.
  BlockHandle AcquireBlock(uint32_t file_id, uint32_t part);
  // Takes some free part of some file, or returns the empty handle.
  BlockHandle AcquireAnyBlock();
  // Hands out a run of up to 10 consecutive free parts of one file.
  UID AllocateRun();
  void Release(uint32_t file_id, uint32_t part);
  void ReleaseUid(const UID& uid);
  void ReleaseAllRequests();
  // Gives the run back once every block posted before this call has been
  // through the worker: parts whose data already waits in the queue become
  // done instead of being handed out (and fetched) again.  Gives it back at
  // once when the worker is not running.  May wait for room in the queue.
  void ReleaseUidAfterWrites(const UID& uid);
  // Waits until every task posted before this call has run.  False (at
  // once) when the worker is not running.
  bool Drain();
  // Up to `maximum` free parts, without taking them.
  uint32_t GetRandomFreeBlocks(uint32_t maximum, PartRecord* out);
  // Up to `maximum` parts this side can serve, continuing from the file after
  // the one where the previous call stopped.
  uint32_t CollectHeldParts(uint32_t maximum, PartRecord* out);

  // --- Writing and flushing ---

  // Queues a copy of the block for the worker.  False for an unknown file,
  // a backlogged file while the disk lacks room, or when the queue has no
  // room within 1000 ms or the runner is not started.  `observer` (may be
  // null) is always taken: on a refusal it hears OnNothingVerified and is
  // destroyed before the call returns.  The caller keeps its buffer.
  [[nodiscard]] bool CommitWrite(uint32_t file_id, const uint8_t* data, uint32_t length,
                                 uint64_t offset, IWriteObserver* observer);
  // Hashes, on the calling thread, every block that is exactly one part of
  // the file and not yet verified (eight at once when they have the same
  // length) and marks those that have their part's digest as checked.  The
  // storage worker then only stores them, so that receiving threads share
  // the hashing while the worker writes.  Other blocks are left unmarked.
  void CheckWholeParts(uint32_t file_id, OwnedBlock* blocks, size_t count);
  // The same for blocks of several files: blocks[i] belongs to file_ids[i].
  void CheckWholeParts(const uint32_t* file_ids, OwnedBlock* const* blocks, size_t count);
  // CommitWrite for a block whose buffer the caller hands over; a checked
  // block is stored without being hashed again.  On a refusal the buffer
  // is freed (and the observer told) before the call returns.
  [[nodiscard]] bool CommitBlock(uint32_t file_id, OwnedBlock block, IWriteObserver* observer);
  // Queues a flush of the file's (of every file's) pending parts and a resume
  // write, waiting for room without limit.
  void Flush(uint32_t file_id);
  void FlushAll();
  // Every file with parts not on disk, with those parts.
  void CollectUnwritten(std::map<uint32_t, RangeSet32>* out) const;
  // Deletes the info folder's files and the folder; failures are ignored.
  // From then on WriteResumeFile writes nothing, so a resume write the
  // worker runs later cannot bring the folder back.  Any thread.
  void DeleteInfoFiles();

  // --- Progress ---

  uint64_t TotalBytes() const { return total_bytes_.load(std::memory_order_relaxed); }
  uint32_t TotalParts() const { return total_parts_.load(std::memory_order_relaxed); }
  uint64_t WrittenBytes() const { return written_bytes_.load(std::memory_order_relaxed); }
  uint32_t WrittenParts() const { return written_parts_.load(std::memory_order_relaxed); }
  bool AllWritten() const { return WrittenParts() == TotalParts(); }
  // Written parts / total parts in [0, 1]; 0 before registration.
  float Progress() const;
  // True when the disk holding the base directory has room for what the
  // registered files still lack; false (logging "GetFreeSpaceEx error, %d")
  // when the query fails.
  bool HasFreeSpace();
  // A status counter the engine never sets (always 0).
  uint32_t StatusCounter() const { return 0; }

  // --- Paths ---

  const std::string& base_directory() const { return base_directory_; }
  const std::string& info_directory() const { return info_directory_; }
  const std::string& seed_path() const { return seed_path_; }
  const std::string& past_seed_path() const { return past_seed_path_; }
  const std::string& resume_path() const { return resume_path_; }
  // The torrent's description of the seed file itself.
  const FileEntry& seed_entry() const { return seed_entry_; }

  BlockStates& block_states() { return block_states_; }
  Runner& runner() { return runner_; }

  // --- Used by the tasks, on the storage worker ---

  // After the worker wrote into (or flushed) `file`: moves the written
  // counters by the file's change since `parts_before` / `bytes_before` and
  // remembers the file for the next flush to the device.
  void AfterFileWork(File* file, uint32_t parts_before, uint64_t bytes_before);
  // Flushes every file written since the last resume write to the device,
  // then replaces the resume file at `path`.  False when either failed.
  // After DeleteInfoFiles: writes nothing and returns true.
  [[nodiscard]] bool WriteResumeFile(const std::string& path);
  // Calendar seconds for the resume-file rate limit (injectable for tests).
  uint32_t NowSeconds() const { return clock_(); }
  void set_clock(std::function<uint32_t()> clock) { clock_ = std::move(clock); }
  // The free-space query HasFreeSpace uses: stores the bytes available on
  // the file system holding the path and returns 0, or an OS error code.
  // Injectable for tests (a full disk); set before the download threads run.
  using FreeSpaceQuery = std::function<int(const std::string& path, uint64_t* bytes)>;
  void set_free_space_query(FreeSpaceQuery query) { free_space_ = std::move(query); }

 private:
  // No component of `full_path` below the base directory leads outside it.
  bool StaysInsideBase(const std::string& full_path) const;
  [[nodiscard]] bool SyncDirtyFiles();
  BlockHandle HandleFor(const UID& uid);
  void CheckParts(File* file, OwnedBlock* blocks, size_t count);
  // blocks[i] of files[i] (null: not checked); at most kCheckChunk blocks.
  static constexpr size_t kCheckChunk = 16;
  void CheckParts(File* const* files, OwnedBlock* const* blocks, size_t count);
  // The common tail of CommitWrite and CommitBlock: the file lookup, the
  // backlog check and the post (file null: look it up by id).
  [[nodiscard]] bool Commit(uint32_t file_id, File* file, OwnedBlock* block,
                            IWriteObserver* observer);
  void AddRecord(File* file, uint32_t part, PartRecord* out) const;

  std::mutex registry_mu_;  // guards cursor_ (CollectHeldParts)
  std::map<uint32_t, std::unique_ptr<File>> files_;  // changed by registration only
  bool cursor_set_ = false;   // guarded by registry_mu_
  uint32_t cursor_id_ = 0;    // guarded by registry_mu_
  BlockStates block_states_;
  std::string base_directory_;
  mutable std::string real_base_;  // the base with links resolved, once known
  std::string info_directory_;
  std::string seed_path_;
  std::string past_seed_path_;
  std::string resume_path_;
  std::atomic<uint64_t> total_bytes_{0};
  std::atomic<uint32_t> total_parts_{0};
  std::atomic<uint64_t> written_bytes_{0};
  std::atomic<uint32_t> written_parts_{0};
  FileEntry seed_entry_;
  std::vector<File*> dirty_files_;  // storage worker only (or control thread, runner stopped)
  // Files were registered since the last file-system flush (same threads).
  bool names_unsynced_ = false;
  // Serialises resume writes with DeleteInfoFiles, which may run on another
  // thread while the worker's last resume write is queued.
  std::mutex info_mu_;
  bool info_deleted_ = false;  // guarded by info_mu_
  std::function<uint32_t()> clock_;
  FreeSpaceQuery free_space_;
  ByteBudget queued_budget_{kQueuedBytesLimit};  // released by queued write tasks
  Runner runner_;  // last: stopped first on destruction
};

}  // namespace brelvane
