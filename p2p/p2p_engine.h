// SPDX-License-Identifier: MIT
// P2PEngine: the core of a run.  It holds the storage registry, the HTTP
// download manager with its mirror table, and the lists that the torrent
// fills (mirrors, main servers, the release's digest), and carries the
// start-up steps that hand over from seed checking to downloading.
//
// This build transfers over HTTP only: the peer-to-peer scheduling, the main
// server login and the upload workers arrive with the peer protocol, and
// their entry points do nothing yet.  The engine never needs a main server.
//
// Start-up order (driven by the application): GetSeedInfo, Start,
// CheckMeta, RequestSeed (when CheckMeta found work), StateReport,
// SetHttpThreadCount.  Stop saves every verified part and the resume file.
//
// Thread safety: the start-up steps run on one thread at a time (the main
// thread, then the start-up thread); the queries may be called from any
// thread.  SetHttpThreadCount is serialised internally.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/config.h"
#include "catalogue/seed_model.h"
#include "base/auto_reset_event.h"
#include "http/http_manager.h"
#include "http/http_mirror_table.h"
#include "http/seed_sources.h"
#include "p2p/net/net_transport.h"
#include "storage/file_system.h"

namespace brelvane {

class P2PEngine {
 public:
  // Why a run ended, for the statistics report.
  static constexpr int32_t kEndPhaseQuit = 3;
  static constexpr int32_t kEndPhaseComplete = 4;
  static constexpr int32_t kEndPhaseRestart = 6;

  // `transport` and `settings` must outlive the engine.
  P2PEngine(NetTransport& transport, ConfigSettings& settings);
  ~P2PEngine();
  P2PEngine(const P2PEngine&) = delete;
  P2PEngine& operator=(const P2PEngine&) = delete;

  // Fetches the torrent from the configured mirrors.  `running` may stop it.
  [[nodiscard]] bool GetSeedInfo(const std::atomic<bool>& running);
  // Hands the storage its paths, starts its worker for the seed phase and
  // fills the mirror table.
  void Start();
  // True when the local seed is the torrent's (nothing to fetch for it).
  [[nodiscard]] bool CheckMeta();
  // Downloads the seed file list.
  [[nodiscard]] bool RequestSeed(const std::atomic<bool>& running);
  // Registers every file of the release and starts the storage worker.
  [[nodiscard]] bool StateReport();
  // Resizes the HTTP download thread pool (0 stops HTTP downloading).
  void SetHttpThreadCount(int32_t count);
  // Stops every transfer thread, then writes out the verified parts still in
  // memory and the resume file, so that the next run resumes here.
  void Stop();
  // Back to the values of a new engine (the peer-side state; storage keeps
  // its files).
  void Reset();

  void RecordEndPhase(int32_t phase, uint32_t end_time);
  int32_t end_phase() const { return end_phase_.load(std::memory_order_relaxed); }
  // Deletes the resume file, the seeds and the info folder.
  void DeleteDownloadInfo();

  // --- Queries for the console and the status line ---
  float CompletionFraction() const;
  int32_t UserId() const { return user_id_.load(std::memory_order_relaxed); }
  int64_t TotalBytes() const;
  int64_t IncompleteBytes() const;
  bool FileName(uint32_t id, std::string& name) const;
  std::string SeedFilePath() const;
  std::string SeedFilePathPast() const;
  std::string DownloadInfoFilePath() const;

  // The update root, as the storage uses it: the configured directory with
  // backslashes turned into slashes and a trailing slash.
  static std::string NativeRoot(const std::string& configured);

  FileSystem& file_system() { return fs_; }
  const SeedSources& sources() const { return sources_; }
  const SeedInfo& seed_info() const { return seed_info_; }
  HttpManager& http_manager() { return *http_; }

 private:
  NetTransport& transport_;
  ConfigSettings& settings_;

  SeedSources sources_;
  SeedInfo seed_info_;
  FileSystem fs_;
  HttpMirrorTable mirrors_;
  AutoResetEvent http_work_{true};
  std::unique_ptr<HttpManager> http_;
  std::mutex http_mu_;  // serialises Restart between the console and the stop

  std::atomic<bool> started_{false};
  std::atomic<bool> complete_{true};
  std::atomic<bool> found_work_{false};
  std::atomic<bool> files_registered_{false};
  std::atomic<bool> info_deleted_{false};
  std::atomic<int32_t> user_id_{-1};
  std::atomic<int32_t> end_phase_{0};
  std::atomic<uint32_t> end_time_{0};
};

}  // namespace brelvane
