// SPDX-License-Identifier: MIT
// P2PEngine: the core of a run.  It holds the storage registry, the HTTP
// download manager with its mirror table, and the peer side: the login state
// with the main server (ServerSession), the candidates and connect-back
// requests, the upload and download user tables with their statistics, the
// block exchange and its upload workers, and the scheduler's two threads.
// It is the transport's listener: peer messages go to the block exchange,
// server datagrams to the session.
//
// Start-up order (driven by the application): GetSeedInfo, Start,
// StartLogin, CheckMeta, RequestSeed (when CheckMeta found work),
// StateReport, StartUploadThreads, SetHttpThreadCount, StartP2P.  Stop ends
// every transfer thread and saves every verified part and the resume file;
// Reset (with the logout) returns the peer side to its start values.
//
// HttpPriorityMode: the console may switch it on ("set httppriority 1"): the
// parts being fetched from peers are given back, the download users dropped,
// and from then on only HTTP fetches; it ends by itself when the download is
// complete.
//
// Thread safety: the start-up steps run on one thread at a time (the main
// thread, then the start-up thread); the queries may be called from any
// thread.  SetHttpThreadCount is serialised internally.  The listener calls
// arrive on the transport's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/auto_reset_event.h"
#include "base/config.h"
#include "catalogue/seed_model.h"
#include "http/http_manager.h"
#include "http/http_mirror_table.h"
#include "http/seed_sources.h"
#include "p2p/block_exchange.h"
#include "p2p/candidate_list.h"
#include "p2p/net/net_transport.h"
#include "p2p/scheduler.h"
#include "p2p/server_session.h"
#include "p2p/upload_pool.h"
#include "p2p/user_stats.h"
#include "p2p/user_table.h"
#include "report/download_stat.h"
#include "storage/file_system.h"

namespace brelvane {

class P2PEngine : public ITransportListener, private IPeerConnector {
 public:
  // Why a run ended, for the statistics report.
  static constexpr int32_t kEndPhaseQuit = 3;
  static constexpr int32_t kEndPhaseComplete = 4;
  static constexpr int32_t kEndPhaseRestart = 6;

  // `transport` and `settings` must outlive the engine.
  P2PEngine(NetTransport& transport, ConfigSettings& settings);
  ~P2PEngine() override;
  P2PEngine(const P2PEngine&) = delete;
  P2PEngine& operator=(const P2PEngine&) = delete;

  // Fetches the torrent from the configured mirrors.  `running` may stop it.
  [[nodiscard]] bool GetSeedInfo(const std::atomic<bool>& running);
  // Hands the storage its paths, starts its worker for the seed phase, fills
  // the mirror table and takes the transport's address and ports.
  void Start();
  // Logs in to the main server on a thread of its own.
  void StartLogin();
  // True when the local seed is the torrent's (nothing to fetch for it).
  [[nodiscard]] bool CheckMeta();
  // Downloads the seed file list.
  [[nodiscard]] bool RequestSeed(const std::atomic<bool>& running);
  // Registers every file of the release, starts the storage worker, switches
  // progress reports on and wakes the transfer threads.
  [[nodiscard]] bool StateReport();
  void StartUploadThreads(int32_t count);
  // Resizes the HTTP download thread pool (0 stops HTTP downloading).
  void SetHttpThreadCount(int32_t count);
  // Starts the connector and acquire threads unless they run.
  void StartP2P();
  // Stops every transfer thread, then writes out the verified parts still in
  // memory and the resume file, so that the next run resumes here.
  void Stop();
  // Logs out, then back to the values of a new engine (the peer-side state;
  // storage keeps its files).
  void Reset();
  // Gives every part fetched from peers back and fetches over HTTP only.
  void SwitchToHttpPriority() { scheduler_.SwitchToHttpPriority(); }

  // Records why the run ended (3 quit, 4 complete, 6 restart) and when.
  void RecordEndPhase(int32_t phase, uint32_t end_time);
  int32_t end_phase() const { return end_phase_.load(std::memory_order_relaxed); }
  // Sends the end-of-run statistics to the main server and prints them, once
  // per run.  `speeds`: ten download averages (KB/s), newest window first.
  void ReportDownloadStat(const float speeds[10]);
  // Deletes the resume file, the seeds and the info folder.
  void DeleteDownloadInfo();

  // --- ITransportListener ---
  void OnPeerMessage(const PeerAddress& peer, const uint8_t* message, size_t length) override;
  void OnPeerClosed(const PeerAddress& peer, CloseReason reason) override;
  void OnServerDatagram(const uint8_t* data, size_t length) override;
  bool HoldsReceivedData() override { return exchange_.HoldsPending(); }
  void OnReceiveIdle() override { exchange_.CommitPending(); }

  // --- Queries for the console and the status line ---
  float CompletionFraction() const;
  int32_t UserId() const { return session_.user_id(); }
  int64_t TotalBytes() const;
  int64_t IncompleteBytes() const;
  int32_t UploadUserCount() const { return static_cast<int32_t>(upload_users_.Size()); }
  int32_t DownloadUserCount() const { return static_cast<int32_t>(download_users_.Size()); }
  int32_t PendingUploadJobs() const { return static_cast<int32_t>(upload_jobs_.Size()); }
  int32_t CandidateCount() const { return static_cast<int32_t>(candidates_.size()); }
  // Bytes of peer data committed to storage this run.
  uint64_t P2PCommittedBytes() const { return p2p_total_.load(std::memory_order_relaxed); }
  bool FileName(uint32_t id, std::string& name) const;
  std::string SeedFilePath() const;
  std::string SeedFilePathPast() const;
  std::string DownloadInfoFilePath() const;
  // 0 nothing was stored at the start of the download, 1 part, 2 all; -1
  // before the download started.
  int32_t begin_state() const { return begin_state_.load(std::memory_order_relaxed); }

  // The update root, as the storage uses it: the configured directory with
  // backslashes turned into slashes and a trailing slash.
  static std::string NativeRoot(const std::string& configured);

  FileSystem& file_system() { return fs_; }
  const SeedSources& sources() const { return sources_; }
  const SeedInfo& seed_info() const { return seed_info_; }
  HttpManager& http_manager() { return *http_; }
  ServerSession& session() { return session_; }

 private:
  // IPeerConnector over the transport's batch connector.
  size_t ConnectBatch(const std::vector<PeerAddress>& addresses, const std::atomic<bool>* stop,
                      int soft_ms, int hard_ms, Outcome* outcome) override;
  // Forced re-login: every peer is let go and known peers are queued again.
  void OnRelogin();
  bool DownloadComplete() const;
  ProgressSample Progress() const;

  NetTransport& transport_;
  ConfigSettings& settings_;

  SeedSources sources_;
  SeedInfo seed_info_;
  FileSystem fs_;
  HttpMirrorTable mirrors_;
  AutoResetEvent http_work_{true};
  std::unique_ptr<HttpManager> http_;
  std::mutex http_mu_;  // serialises Restart between the console and the stop

  // The peer side.
  EngineFlags flags_;
  AutoResetEvent acquire_wake_{true};
  AutoResetEvent connector_wake_{true};
  CandidateList candidates_;
  ConnectRequestQueue connect_requests_;
  UserTable upload_users_;
  UserTable download_users_;
  UserStatsTable stats_;
  UploadJobList upload_jobs_;
  ServerSession session_;
  BlockExchange exchange_;
  UploadPool uploads_;
  PeerScheduler scheduler_;
  std::atomic<uint64_t> p2p_total_{0};

  std::atomic<bool> started_{false};
  std::atomic<bool> files_registered_{false};
  std::atomic<bool> info_deleted_{false};
  std::atomic<int32_t> begin_state_{-1};
  std::atomic<int32_t> end_phase_{-1};
  std::atomic<uint32_t> end_time_{0};
  std::atomic<uint32_t> start_time_{0};
  SystemInventory inventory_;
  DownloadStatReporter reporter_;
};

}  // namespace brelvane
