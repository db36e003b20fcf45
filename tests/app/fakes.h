// SPDX-License-Identifier: MIT
// Scriptable engine and transport for the application tests.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/application.h"
#include "app/console_capture.h"
#include "app/services.h"

namespace brelvane::testing {

// Records every call that changes something as a line of text ("Start",
// "SetHttpThreadCount 3", "EndPhase 4", "Report -1 -1 ..."); thread-safe.
class FakeEngine : public IEngine {
 public:
  // Results of the start sequence's steps that the tests make fail.
  bool check_meta = true, request_seed = true;
  // When set, RequestSeed blocks until running turns false, then returns
  // request_seed.
  bool request_seed_waits_for_stop = false;
  std::atomic<bool> in_request_seed{false};
  std::atomic<float> completion{0.0f};
  std::atomic<uint32_t> last_end_time{0};
  int32_t user_id = -1;

  // The calls recorded so far that start with `prefix`.
  std::vector<std::string> Calls(const std::string& prefix = "") {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> calls;
    for (const std::string& call : calls_) if (call.starts_with(prefix)) calls.push_back(call);
    return calls;
  }

  bool FetchSeedInfo(const std::atomic<bool>&) override { return Note("FetchSeedInfo"), true; }
  void Start() override { Note("Start"); }
  void StartLogin() override { Note("StartLogin"); }
  bool CheckMeta() override { return Note("CheckMeta"), check_meta; }
  bool RequestSeed(const std::atomic<bool>& running) override {
    Note("RequestSeed"), in_request_seed = request_seed_waits_for_stop;
    while (request_seed_waits_for_stop && running) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return request_seed;
  }
  bool StateReport() override { return Note("StateReport"), true; }
  void StartUploadThreads(int32_t n) override { Note("StartUploadThreads " + std::to_string(n)); }
  void SetHttpThreadCount(int32_t n) override { Note("SetHttpThreadCount " + std::to_string(n)); }
  void StartP2PDownload() override { Note("StartP2PDownload"); }
  float CompletionFraction() override { return completion; }
  void RecordEndPhase(EndPhase phase, uint32_t t) override {
    last_end_time = t, Note("EndPhase " + std::to_string(static_cast<int>(phase)));
  }
  void DeleteDownloadInfo() override { Note("DeleteDownloadInfo"); }
  void ReportDownloadStat(const float speeds[10]) override {
    std::ostringstream text("Report", std::ios::ate);
    for (int i = 0; i < 10; ++i) text << ' ' << speeds[i];
    Note(text.str());
  }
  void Stop() override { Note("Stop"); }
  void DisconnectAndReset() override { Note("DisconnectAndReset"); }
  void SwitchToHttpPriority() override { Note("SwitchToHttpPriority"); }
  // The figures the answers and the title show.
  int32_t UserId() override { return user_id; }
  int64_t IncompleteBytes() override { return 5000000000LL; }
  int64_t TotalBytes() override { return 6000000000LL; }
  int32_t UploadUserCount() override { return 3; }
  int32_t DownloadUserCount() override { return 8; }
  int32_t PendingUploadJobs() override { return 2; }
  int32_t CandidateCount() override { return 20; }
  int32_t MirrorsInUse() override { return 1; }
  bool FileName(uint32_t id, std::string& name) override { return id == 7 && (name = "bin/game.exe", true); }
  std::string SeedFilePath() override { return "D:/g/Brelvane_Info/.Seed"; }
  std::string SeedFilePathPast() override { return "D:/g/Brelvane_Info/.Seed_Past"; }
  std::string DownloadInfoFilePath() override { return "D:/g/Brelvane_Info/.Download_Info_Data"; }

 private:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(call);
  }
  std::mutex mu_;
  std::vector<std::string> calls_;
};

class FakeTransport : public ITransport {
 public:
  bool start_network = true;
  std::atomic<uint64_t> sent{0}, received{0};
  std::atomic<int> upload_window_restarts{0}, download_window_restarts{0};
  std::atomic<bool> stopped{false}, closed{false};

  bool StartNetwork() override { return start_network; }
  void StartTcpServer() override {}
  void Stop() override { stopped = true; }
  void Close() override { closed = true; }
  uint64_t TotalSent() override { return sent; }
  uint64_t TotalReceived() override { return received; }
  uint64_t ReceivedHttp() override { return 0; }
  uint64_t ReceivedP2P() override { return 0; }
  int32_t ConnectionCount() override { return 5; }
  uint32_t ServerMessagesSent() override { return 17; }
  void RestartUploadWindow() override { ++upload_window_restarts; }
  void RestartDownloadWindow() override { ++download_window_restarts; }
};

// Builds an application whose services are the given fakes (owned by the
// application once built; the pointers stay valid for its lifetime).
struct FakeServices {
  FakeEngine* engine = nullptr;
  FakeTransport* transport = nullptr;
  ServiceFactory Factory() {
    return [this](ConfigSettings&) {
      auto owned_transport = std::make_unique<FakeTransport>();
      auto owned_engine = std::make_unique<FakeEngine>();
      transport = owned_transport.get(), engine = owned_engine.get();
      return Services{std::move(owned_transport), std::move(owned_engine)};
    };
  }
};

}  // namespace brelvane::testing
