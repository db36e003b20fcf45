// SPDX-License-Identifier: MIT
// The least engine and transport that let the program start, announce its
// states, answer every command and stop cleanly while the real services are
// not wired in.  The engine has no way to fetch a torrent, so the start
// sequence ends at "fetching seed information failed".
//
// Thread safety: as IEngine/ITransport.
#pragma once

#include <atomic>

#include "app/config.h"
#include "app/services.h"

namespace brelvane {

class StandInEngine : public IEngine {
 public:
  explicit StandInEngine(ConfigSettings& settings) : settings_(settings) {}

  bool FetchSeedInfo(const std::atomic<bool>& running) override;
  void Start() override {}
  void StartLogin() override {}
  bool CheckMeta() override { return false; }
  bool RequestSeed(const std::atomic<bool>&) override { return false; }
  bool StateReport() override { return false; }
  void StartUploadThreads(int32_t) override {}
  void SetHttpThreadCount(int32_t) override {}
  void StartP2PDownload() override {}
  float CompletionFraction() override { return 0.0f; }
  void RecordEndPhase(EndPhase phase, uint32_t) override { end_phase_ = phase; }
  void DeleteDownloadInfo() override {}
  void ReportDownloadStat(const float*) override {}
  void Stop() override {}
  void DisconnectAndReset() override {}
  int32_t UserId() override { return -1; }
  int64_t IncompleteBytes() override { return 0; }
  int64_t TotalBytes() override { return 0; }
  int32_t UploadUserCount() override { return 0; }
  int32_t DownloadUserCount() override { return 0; }
  int32_t PendingUploadJobs() override { return 0; }
  int32_t CandidateCount() override { return 0; }
  bool FileName(uint32_t, std::string&) override { return false; }
  std::string SeedFilePath() override { return ".Seed"; }
  std::string SeedFilePathPast() override { return ".Seed_Past"; }
  std::string DownloadInfoFilePath() override { return ".Download_Info_Data"; }

 private:
  ConfigSettings& settings_;
  std::atomic<EndPhase> end_phase_{EndPhase::None};
};

class StandInTransport : public ITransport {
 public:
  bool StartNetwork() override { return true; }
  void StartTcpServer() override {}
  void Stop() override {}
  void Close() override {}
  uint64_t TotalSent() override { return 0; }
  uint64_t TotalReceived() override { return 0; }
  uint64_t ReceivedHttp() override { return 0; }
  uint64_t ReceivedP2P() override { return 0; }
  int32_t ConnectionCount() override { return 0; }
  uint32_t ServerMessagesSent() override { return 0; }
  void RestartUploadWindow() override {}
  void RestartDownloadWindow() override {}
};

}  // namespace brelvane
