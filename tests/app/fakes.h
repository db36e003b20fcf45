// SPDX-License-Identifier: MIT
// Scriptable engine and transport for the application tests, and a fixture
// that captures the console.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/application.h"
#include "base/console_log.h"
#include "app/services.h"

namespace brelvane::testing {

class FakeEngine : public IEngine {
 public:
  // Results of the start sequence's steps.
  bool fetch_seed_info = true;
  bool check_meta = true;
  bool request_seed = true;
  bool state_report = true;
  // When set, RequestSeed blocks until running turns false, then returns
  // request_seed.
  bool request_seed_waits_for_stop = false;
  std::atomic<float> completion{0.0f};

  // What the engine was told.
  std::mutex mu;
  std::vector<std::string> calls;
  std::vector<std::pair<EndPhase, uint32_t>> end_phases;
  std::vector<std::vector<float>> reports;
  std::vector<int32_t> http_thread_counts;
  std::atomic<bool> started_p2p{false};
  std::atomic<bool> in_request_seed{false};

  size_t ReportCount() {
    std::lock_guard<std::mutex> lock(mu);
    return reports.size();
  }
  size_t EndPhaseCount() {
    std::lock_guard<std::mutex> lock(mu);
    return end_phases.size();
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mu);
    return calls;
  }

  bool FetchSeedInfo(const std::atomic<bool>&) override { return Note("FetchSeedInfo"), fetch_seed_info; }
  void Start() override { Note("Start"); }
  void StartLogin() override { Note("StartLogin"); }
  bool CheckMeta() override { return Note("CheckMeta"), check_meta; }
  bool RequestSeed(const std::atomic<bool>& running) override;
  bool StateReport() override { return Note("StateReport"), state_report; }
  void StartUploadThreads(int32_t n) override { Note("StartUploadThreads " + std::to_string(n)); }
  void SetHttpThreadCount(int32_t n) override {
    Note("SetHttpThreadCount " + std::to_string(n));
    std::lock_guard<std::mutex> lock(mu);
    http_thread_counts.push_back(n);
  }
  void StartP2PDownload() override {
    Note("StartP2PDownload");
    started_p2p = true;
  }
  float CompletionFraction() override { return completion; }
  void RecordEndPhase(EndPhase phase, uint32_t t) override {
    std::lock_guard<std::mutex> lock(mu);
    end_phases.emplace_back(phase, t);
  }
  void DeleteDownloadInfo() override { Note("DeleteDownloadInfo"); }
  void ReportDownloadStat(const float speeds[10]) override {
    std::lock_guard<std::mutex> lock(mu);
    reports.emplace_back(speeds, speeds + 10);
  }
  void Stop() override { Note("Stop"); }
  void DisconnectAndReset() override { Note("DisconnectAndReset"); }
  int32_t UserId() override { return user_id; }
  int64_t IncompleteBytes() override { return incomplete; }
  int64_t TotalBytes() override { return total; }
  int32_t UploadUserCount() override { return 3; }
  int32_t DownloadUserCount() override { return 8; }
  int32_t PendingUploadJobs() override { return 2; }
  int32_t CandidateCount() override { return 20; }
  int32_t MirrorsInUse() override { return 1; }
  void SwitchToHttpPriority() override { Note("SwitchToHttpPriority"); }
  bool FileName(uint32_t id, std::string& name) override {
    if (id != 7) return false;
    name = "bin/game.exe";
    return true;
  }
  std::string SeedFilePath() override { return "D:/g/Brelvane_Info/.Seed"; }
  std::string SeedFilePathPast() override { return "D:/g/Brelvane_Info/.Seed_Past"; }
  std::string DownloadInfoFilePath() override { return "D:/g/Brelvane_Info/.Download_Info_Data"; }

  int32_t user_id = -1;
  int64_t incomplete = 5000000000LL;
  int64_t total = 6000000000LL;

 private:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back(call);
  }
};

class FakeTransport : public ITransport {
 public:
  bool start_network = true;
  std::atomic<uint64_t> sent{0}, received{0}, http{0}, p2p{0};
  std::atomic<int> upload_window_restarts{0}, download_window_restarts{0};
  std::atomic<bool> stopped{false}, closed{false};

  bool StartNetwork() override { return start_network; }
  void StartTcpServer() override {}
  void Stop() override { stopped = true; }
  void Close() override { closed = true; }
  uint64_t TotalSent() override { return sent; }
  uint64_t TotalReceived() override { return received; }
  uint64_t ReceivedHttp() override { return http; }
  uint64_t ReceivedP2P() override { return p2p; }
  int32_t ConnectionCount() override { return 5; }
  uint32_t ServerMessagesSent() override { return 17; }
  void RestartUploadWindow() override { ++upload_window_restarts; }
  void RestartDownloadWindow() override { ++download_window_restarts; }
};

// A string sink that may be written by the console writer on one thread
// while a test reads it on another.
class LockedStringBuf : public std::streambuf {
 public:
  std::string Text() {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    text_.clear();
  }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      std::lock_guard<std::mutex> lock(mu_);
      text_.push_back(static_cast<char>(c));
    }
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mu_);
    text_.append(s, static_cast<size_t>(n));
    return n;
  }

 private:
  std::mutex mu_;
  std::string text_;
};

// Captures every console record as UTF-8 lines.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    ConsoleLog::Get().SetOutput(&out_);
    ConsoleLog::Get().set_charset(ConsoleCharset::Utf8);
    ConsoleLog::Get().set_threshold(5);
  }
  ~ConsoleCapture() {
    ConsoleLog::Get().SetOutput(nullptr);
    ConsoleLog::Get().set_threshold(5);
  }
  std::vector<std::string> Lines();
  std::string Text() { return buf_.Text(); }
  void Clear() { buf_.Clear(); }

 private:
  LockedStringBuf buf_;
  std::ostream out_{&buf_};
};

// Builds an application whose services are the given fakes (owned by the
// application once built; the pointers stay valid for its lifetime).
struct FakeServices {
  FakeEngine* engine = nullptr;
  FakeTransport* transport = nullptr;
  ServiceFactory Factory();
};

}  // namespace brelvane::testing
