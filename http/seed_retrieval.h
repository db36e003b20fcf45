// SPDX-License-Identifier: MIT
// Seed retrieval: the two HTTP steps that bring the description of a release
// onto the machine, both from the configured mirrors, in their list order,
// in up to ten passes over the list.
//
//   GetTorrent    (initialisation) fetches the torrent document whole,
//                 parses it, merges its main servers and mirrors into the
//                 SeedSources and computes the seed hash.
//   DownloadSeed  (start-up thread, when the local seed is missing or stale)
//                 registers the seed file with the storage registry and
//                 fetches it with a ranged GET whose blocks are its parts, so
//                 each part is verified on arrival and bad data never reaches
//                 the disk; a failed or short attempt moves to the next
//                 mirror.
//
// Both stop issuing requests once the running flag (may be null: always
// running) turns false.  GetTorrent pauses 1000 ms after every pass, also
// after the flag dropped, so a stopped start-up still takes its ten seconds;
// DownloadSeed does not pause.
//
// Untrusted input: a torrent body larger than kMaxTorrentBytes ends that
// attempt (result -4, logged like any failed attempt); a torrent beyond the
// other kTorrentBounds (catalogue/document_bounds.h) is logged and refused
// before parsing; a torrent whose seed, or one of its parts, is larger than
// a file list may be (kFileListBounds.max_bytes) logs "Read torrent error",
// so the seed download that follows is bounded too.
//
// Thread safety: each call runs on its caller's thread with its own clients;
// DownloadSeed's writes go through the registry's thread-safe CommitWrite.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "catalogue/document_bounds.h"
#include "catalogue/seed_model.h"
#include "http/http_types.h"
#include "http/seed_sources.h"

namespace brelvane {

class FileSystem;

struct SeedRetrievalOptions {
  static constexpr size_t kMaxTorrentBytes = static_cast<size_t>(kTorrentBounds.max_bytes);

  uint32_t passes = 10;
  // GetTorrent's pause after each pass.
  uint32_t pass_pause_ms = 1000;
  // How the pause is taken; null sleeps.  Tests record it instead.
  std::function<void(uint32_t ms)> pause;
  uint32_t idle_timeout_ms = 5000;
  uint32_t torrent_total_timeout_ms = 600000;
  size_t max_torrent_bytes = kMaxTorrentBytes;
};

// Fetches "<mirror>/<torrent_name>" from each configured mirror in turn
// until one gives a torrent that describes a non-empty seed and names at
// least one main server or mirror.  Then the servers are appended to
// server_addresses/server_ports and the mirrors put at the front of
// download_mirrors (each group shuffled), seed_hash is set, `*info` receives
// the torrent with its file's id set to kSeedFileId, and the result is true.
// A torrent that names neither empties the three lists.  False after the
// passes, or at once when no mirror is configured.
[[nodiscard]] bool GetTorrent(SeedSources& sources, const std::atomic<bool>* running,
                              SeedInfo* info, const SeedRetrievalOptions& options = {});

// Registers the seed (FileSystem::RegisterSeed, which needs SetPaths with the
// torrent's file entry) and fetches "<mirror>/<seed name>" until every part
// is verified and on disk.  The storage worker must be running.  True when
// the seed file is complete.
[[nodiscard]] bool DownloadSeed(const SeedSources& sources, FileSystem& file_system,
                                const std::atomic<bool>* running,
                                const SeedRetrievalOptions& options = {});

// The sink of a seed download: every block goes to the registry's
// CommitWrite for one file id at its offset; refused blocks abort the
// request.  Everything else is HttpSink's default.
class SeedSink : public HttpSink {
 public:
  // `file_system` must outlive the sink.
  SeedSink(FileSystem* file_system, uint32_t file_id)
      : file_system_(file_system), file_id_(file_id) {}

  bool OnData(const uint8_t* data, uint32_t length, uint64_t offset) override;

 private:
  FileSystem* file_system_;
  uint32_t file_id_;
};

}  // namespace brelvane
