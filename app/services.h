// SPDX-License-Identifier: MIT
// The services the application core drives, seen from the application.
//
// The application owns one engine (the peer-to-peer core, which also holds
// the storage registry and the HTTP download manager) and one network
// transport.  These interfaces name each call by the role it plays in the
// start and stop sequences and in the console answers; the concrete
// services implement them.  Until a service exists, a stand-in (see
// stand_in_services.h) answers with its initial values.
//
// Thread safety: every method may be called from any application thread;
// implementations lock what they share.  Queries for display return a recent
// value without blocking for long.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace brelvane {

// Why a run ended, as recorded for the statistics report.
enum class EndPhase : int32_t {
  None = 0,
  Quit = 3,         // "quit", or the seed request failed after a quit
  Complete = 4,     // every part stored
  Restart = 6,      // "restart"
};

class IEngine {
 public:
  virtual ~IEngine() = default;

  // --- start sequence ---
  // Fetches the torrent from the configured mirrors.  `running` turns false
  // when the run is being stopped.  True when the seed information was
  // obtained.
  [[nodiscard]] virtual bool FetchSeedInfo(const std::atomic<bool>& running) = 0;
  // Hands the seed information to the engine.
  virtual void Start() = 0;
  // Starts the main-server login in its own detached thread.
  virtual void StartLogin() = 0;
  // Checks the local seed against the torrent; true when nothing needs fetching.
  [[nodiscard]] virtual bool CheckMeta() = 0;
  // Downloads the seed file list.  True on success.
  [[nodiscard]] virtual bool RequestSeed(const std::atomic<bool>& running) = 0;
  // Prepares the update (registration, scan or resume) and starts progress
  // reporting.  True on success.
  [[nodiscard]] virtual bool StateReport() = 0;
  virtual void StartUploadThreads(int32_t count) = 0;
  // Resizes the HTTP download thread pool; 0 stops every download thread and
  // returns after they have ended.
  virtual void SetHttpThreadCount(int32_t count) = 0;
  virtual void StartP2PDownload() = 0;

  // --- run ---
  virtual float CompletionFraction() = 0;  // 0..1; 1.0 when every part is stored
  virtual void RecordEndPhase(EndPhase phase, uint32_t end_time) = 0;
  virtual void DeleteDownloadInfo() = 0;
  // Ten download speeds (KB/s, -1 where unknown), most recent window first.
  virtual void ReportDownloadStat(const float speeds[10]) = 0;

  // --- stop sequence ---
  // Stops every engine thread; returns after they have ended.
  virtual void Stop() = 0;
  virtual void DisconnectAndReset() = 0;

  // --- console answers ---
  virtual int32_t UserId() = 0;               // -1 before login
  virtual int64_t IncompleteBytes() = 0;      // total minus stored
  virtual int64_t TotalBytes() = 0;
  virtual int32_t UploadUserCount() = 0;
  virtual int32_t DownloadUserCount() = 0;
  virtual int32_t PendingUploadJobs() = 0;
  virtual int32_t CandidateCount() = 0;
  // HTTP mirrors being fetched from now (0 or 1: one mirror per HTTP run).
  virtual int32_t MirrorsInUse() = 0;
  // Gives the parts being fetched from peers back and fetches over HTTP only
  // from now on ("set httppriority 1").
  virtual void SwitchToHttpPriority() = 0;
  // The name of file `id`; false when there is no such file.
  virtual bool FileName(uint32_t id, std::string& name) = 0;
  virtual std::string SeedFilePath() = 0;
  virtual std::string SeedFilePathPast() = 0;
  virtual std::string DownloadInfoFilePath() = 0;
};

class ITransport {
 public:
  virtual ~ITransport() = default;

  // Brings up the UDP server link, the TCP listener and the receive thread.
  [[nodiscard]] virtual bool StartNetwork() = 0;
  virtual void StartTcpServer() = 0;
  virtual void Stop() = 0;
  virtual void Close() = 0;

  // Monotonically growing byte totals.
  virtual uint64_t TotalSent() = 0;
  virtual uint64_t TotalReceived() = 0;
  virtual uint64_t ReceivedHttp() = 0;
  virtual uint64_t ReceivedP2P() = 0;
  virtual int32_t ConnectionCount() = 0;
  virtual uint32_t ServerMessagesSent() = 0;

  // Start a new one-second window of the bandwidth limiters (after "set").
  virtual void RestartUploadWindow() = 0;
  virtual void RestartDownloadWindow() = 0;
};

}  // namespace brelvane
