// SPDX-License-Identifier: MIT
// The real services of a run, seen through the application's interfaces:
// the P2P engine (storage, HTTP transfers, seed handling) and the network
// transport (limiters, traffic totals).
//
// Thread safety: as IEngine / ITransport.
#pragma once

#include <memory>

#include "base/config.h"
#include "app/services.h"
#include "p2p/net/net_transport.h"
#include "p2p/p2p_engine.h"

namespace brelvane {

class TransportService : public ITransport {
 public:
  explicit TransportService(ConfigSettings& settings) : transport_(settings) {}

  bool StartNetwork() override { return transport_.Initialise(); }
  void StartTcpServer() override { transport_.Start(); }
  void Stop() override { transport_.Stop(); }
  void Close() override { transport_.Close(); }
  uint64_t TotalSent() override { return transport_.TotalSent(); }
  uint64_t TotalReceived() override { return transport_.TotalReceived(); }
  uint64_t ReceivedHttp() override { return transport_.ReceivedHttp(); }
  uint64_t ReceivedP2P() override { return transport_.ReceivedP2P(); }
  int32_t ConnectionCount() override { return transport_.ConnectionCount(); }
  uint32_t ServerMessagesSent() override { return transport_.ServerMessagesSent(); }
  void RestartUploadWindow() override { transport_.RestartUploadWindow(); }
  void RestartDownloadWindow() override { transport_.RestartDownloadWindow(); }

  NetTransport& transport() { return transport_; }

 private:
  NetTransport transport_;
};

class EngineService : public IEngine {
 public:
  // `transport` and `settings` must outlive the service.
  EngineService(NetTransport& transport, ConfigSettings& settings)
      : engine_(transport, settings) {}

  bool FetchSeedInfo(const std::atomic<bool>& running) override {
    return engine_.GetSeedInfo(running);
  }
  void Start() override { engine_.Start(); }
  void StartLogin() override { engine_.StartLogin(); }
  bool CheckMeta() override { return engine_.CheckMeta(); }
  bool RequestSeed(const std::atomic<bool>& running) override {
    return engine_.RequestSeed(running);
  }
  bool StateReport() override { return engine_.StateReport(); }
  void StartUploadThreads(int32_t count) override { engine_.StartUploadThreads(count); }
  void SetHttpThreadCount(int32_t count) override { engine_.SetHttpThreadCount(count); }
  void StartP2PDownload() override { engine_.StartP2P(); }
  float CompletionFraction() override { return engine_.CompletionFraction(); }
  void RecordEndPhase(EndPhase phase, uint32_t end_time) override {
    engine_.RecordEndPhase(static_cast<int32_t>(phase), end_time);
  }
  void DeleteDownloadInfo() override { engine_.DeleteDownloadInfo(); }
  void ReportDownloadStat(const float speeds[10]) override { engine_.ReportDownloadStat(speeds); }
  void Stop() override { engine_.Stop(); }
  void DisconnectAndReset() override { engine_.Reset(); }
  int32_t UserId() override { return engine_.UserId(); }
  int64_t IncompleteBytes() override { return engine_.IncompleteBytes(); }
  int64_t TotalBytes() override { return engine_.TotalBytes(); }
  int32_t UploadUserCount() override { return engine_.UploadUserCount(); }
  int32_t DownloadUserCount() override { return engine_.DownloadUserCount(); }
  int32_t PendingUploadJobs() override { return engine_.PendingUploadJobs(); }
  int32_t CandidateCount() override { return engine_.CandidateCount(); }
  int32_t MirrorsInUse() override { return engine_.http_manager().ControlRunning() ? 1 : 0; }
  void SwitchToHttpPriority() override { engine_.SwitchToHttpPriority(); }
  bool FileName(uint32_t id, std::string& name) override { return engine_.FileName(id, name); }
  std::string SeedFilePath() override { return engine_.SeedFilePath(); }
  std::string SeedFilePathPast() override { return engine_.SeedFilePathPast(); }
  std::string DownloadInfoFilePath() override { return engine_.DownloadInfoFilePath(); }

 private:
  P2PEngine engine_;
};

}  // namespace brelvane
