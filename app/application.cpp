// SPDX-License-Identifier: MIT
#include "app/application.h"

#include <algorithm>
#include <exception>
#include <sstream>
#include <string>

#include "app/command_dispatcher.h"
#include "app/progress_line.h"
#include "app/terminal.h"
#include "base/console_log.h"
#include "base/file_log.h"
#include "app/updater_state.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/power.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace brelvane {
namespace {

void Info(const char* text) { ConsoleLog::Get().Print(ConsoleLevel::Info, text); }

}  // namespace

Application::Application(ServiceFactory factory) : factory_(std::move(factory)) {
  Services services = factory_(settings_);
  transport_ = std::move(services.transport);
  engine_ = std::move(services.engine);
}

Application::~Application() {
  // Threads are joined by the stop sequence; a failed initialisation never
  // started them.  Join anyway so that no path leaves one running.
  running_ = false;
  sleep_cv_.notify_all();
  for (std::thread* t : {&power_thread_, &start_thread_, &status_thread_})
    if (t->joinable()) t->join();
}

void Application::PrintStateLine(int32_t value) {
  ConsoleLog::Get().Answer("P2PState", value);
}

void Application::SetState(int32_t value) {
  settings_.UpdaterState.store(value, std::memory_order_relaxed);
  // 16 is announced by the stop sequence itself, after its last message.
  if (value == kStateNetworkFailed || value == kStateSeedInfoFailed || value == kStateComplete)
    PrintStateLine(value);
}

bool Application::Initialise(int argc, const char* const* argv) {
  platform::InstallStopSignals();
  running_ = true;
  SetState(kStateInitialising);

  ArgumentTable args;
  args.Parse(argc, argv);
  ReadConfiguration(args, settings_);
  const ConsoleCharset charset = ChooseConsoleCharset(args, platform::StdoutIsTerminal());
  ConsoleLog::Get().set_charset(charset);
  SetCrashMessagesFor(charset);
  progress_line_ = platform::StderrIsTerminal();
  FileLog::set_threshold(settings_.FileLogLevel);
  FileLog::Open(settings_.InstanceId);

  Info("正在获取种子信息");
  SetState(kStateFetchingSeedInfo);
  if (!engine_->FetchSeedInfo(running_)) {
    SetState(kStateSeedInfoFailed);
    ConsoleLog::Get().Print(ConsoleLevel::Warning, "获取种子信息失败");
    PrintStateLine(kStateStopped);
    return false;
  }

  Info("获取种子信息成功");
  SetState(kStateSeedInfoObtained);
  if (!transport_->StartNetwork()) {
    SetState(kStateNetworkFailed);
    Info("初始化网络层失败");
    PrintStateLine(kStateStopped);
    return false;
  }
  engine_->Start();
  return true;
}

void Application::RunThread(const char* name, void (Application::*body)()) {
  platform::SetCurrentThreadName(name);
  try {
    (this->*body)();
  } catch (const std::exception& e) {
    // Nothing may escape a thread: log it and end the run in order.
    Log0("%s: unexpected exception: %s", name, e.what());
    ConsoleLog::Get().Begin(ConsoleLevel::Error) << name << ": " << e.what();
    platform::RequestStop();
  } catch (...) {
    Log0("%s: unexpected exception", name);
    platform::RequestStop();
  }
}

void Application::LaunchThreads() {
  status_thread_ = std::thread(&Application::RunThread, this, "StatusThread",
                               &Application::StatusThreadMain);
  start_thread_ = std::thread(&Application::RunThread, this, "StartThread",
                              &Application::StartThreadMain);
  power_thread_ = std::thread(&Application::RunThread, this, "PowerWindow",
                              &Application::PowerWindowThreadMain);
}

bool Application::SleepUnlessStopped(int ms) {
  std::unique_lock<std::mutex> lock(sleep_mu_);
  return sleep_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running(); });
}

void Application::StartThreadMain() {
  engine_->StartLogin();
  if (!running()) return;

  SetState(kStateVerifyingSeed);
  Info("验证seed文件");
  if (!engine_->CheckMeta()) {
    SetState(kStateDownloadingSeed);
    Info("种子seed不存在，正在下载seed文件");
    if (!engine_->RequestSeed(running_)) {
      SetState(kStateSeedDownloadFailed);
      ConsoleLog::Get().Print(ConsoleLevel::Error, "下载seed失败");
      if (!running()) engine_->RecordEndPhase(EndPhase::Quit, platform::NowSeconds());
      ReportStatistics();
      return;
    }
    if (!running()) return;
    Info("下载种子seed成功");
  }
  if (!running()) {
    Log3("Stopped");
    return;
  }

  SetState(kStateParsingSeed);
  Info("分析seed");
  if (!engine_->StateReport()) {
    Log3("parse seed error");
    SetState(kStateSeedParseFailed);
    ConsoleLog::Get().Print(ConsoleLevel::Error, "分析seed信息失败");
    ReportStatistics();
    return;
  }
  if (!running()) {
    Log3("Stopped");
    return;
  }
  Log3("parse seed done");
  Info("分析seed信息成功");

  Log3("Starting TCPServer");
  transport_->StartTcpServer();
  Info("开启TCP监听及P2P下载服务");

  Log3("Starting Upload");
  engine_->StartUploadThreads(settings_.UploadThreadNum);
  Info("开始响应P2P上传请求");

  Log3("Starting Http");
  engine_->SetHttpThreadCount(settings_.HttpDownloadThreadNum.load());
  Info("开启Http下载服务");

  Log3("Starting P2P");
  engine_->StartP2PDownload();
  Log3("Starting Done");

  SetState(kStateDownloading);
  Info("开始下载所需文件");
}

void Application::StatusThreadMain() {
  start_time_ = platform::NowSeconds();
  uint64_t prev_sent = transport_->TotalSent();
  uint64_t prev_received = transport_->TotalReceived();
  uint64_t prev_http = transport_->ReceivedHttp();
  uint64_t prev_p2p = transport_->ReceivedP2P();

  while (running()) {
    const uint64_t sent = transport_->TotalSent();
    const uint64_t received = transport_->TotalReceived();
    const uint64_t http = transport_->ReceivedHttp();
    const uint64_t p2p = transport_->ReceivedP2P();
    const float up = static_cast<float>((sent - prev_sent) / 1024.0);
    const float down = static_cast<float>((received - prev_received) / 1024.0);
    const float http_rate = static_cast<float>((http - prev_http) / 1024.0);
    const float p2p_rate = static_cast<float>((p2p - prev_p2p) / 1024.0);
    upload_rate_ = up;
    download_rate_ = down;
    prev_sent = sent;
    prev_received = received;
    prev_http = http;
    prev_p2p = p2p;

    if (state() != kStateComplete) elapsed_ = platform::NowSeconds() - start_time();
    const double percentage = engine_->CompletionFraction() * 100.0;

    TitleValues title;
    title.user_id = engine_->UserId();
    title.elapsed_seconds = elapsed_;
    title.percentage = percentage;
    title.upload_rate = up;
    title.pending_upload_jobs = engine_->PendingUploadJobs();
    title.download_rate = down;
    title.p2p_rate = p2p_rate;
    title.http_rate = http_rate;
    title.server_messages = transport_->ServerMessagesSent();
    title.connections = transport_->ConnectionCount();
    title.upload_users = engine_->UploadUserCount();
    title.download_users = engine_->DownloadUserCount();
    title.candidates = engine_->CandidateCount();
    ConsoleLog::Get().SetTitle(FormatTitle(title));

    if (percentage >= 100.0 && state() == kStateDownloading) {
      SetState(kStateComplete);
      engine_->RecordEndPhase(EndPhase::Complete, platform::NowSeconds());
      ReportStatistics();
      if (settings_.DeleteDownloadInfo) engine_->DeleteDownloadInfo();
    }

    speed_history_.Push({up, down});
    if (progress_line_) DrawProgressLine(up, down, percentage);
    if (SleepUntilNextTick(1000)) break;
  }
}

bool Application::SleepUntilNextTick(int ms) {
  // The launcher waits for the completion state: a download that completes
  // within the second is reported at once, not at the next tick.
  const uint64_t until = platform::TickMs() + static_cast<uint64_t>(ms);
  while (state() == kStateDownloading) {
    const uint64_t now = platform::TickMs();
    if (now >= until) return false;
    if (SleepUnlessStopped(static_cast<int>(std::min<uint64_t>(kCompletionPollMs, until - now)))) {
      return true;
    }
    if (engine_->CompletionFraction() * 100.0 >= 100.0) return false;
  }
  const uint64_t now = platform::TickMs();
  return SleepUnlessStopped(now >= until ? 0 : static_cast<int>(until - now));
}

void Application::DrawProgressLine(float up, float down, double percentage) {
  ProgressValues v;
  v.state = state();
  v.percentage = percentage;
  v.total_bytes = engine_->TotalBytes();
  v.incomplete_bytes = engine_->IncompleteBytes();
  v.download_rate = down;
  v.upload_rate = up;
  SpeedSample recent;
  constexpr uint32_t kEstimateSeconds = 5;
  if (speed_history_.Average(static_cast<uint32_t>(std::min<size_t>(kEstimateSeconds, speed_history_.Size())), 0,
                             recent) != 0)
    v.recent_download_rate = recent.download;
  v.peers = transport_->ConnectionCount();
  v.mirrors = engine_->MirrorsInUse();
  ConsoleLog::Get().SetStatusLine(FormatProgressLine(v, platform::StderrColumns()));
}

void Application::PowerWindowThreadMain() {
  platform::SuspendInhibitor inhibitor("Brelvane", "Updating application files");
  if (inhibitor.held()) Log3("Suspend inhibited while the update runs");
  while (!SleepUnlessStopped(100)) {
  }
}

void Application::ReportStatistics() {
  float speeds[10];
  for (uint32_t i = 0; i < 10; ++i) {
    speeds[i] = -1.0f;
    SpeedSample average;
    if (speed_history_.Average(20 * (i + 1), 20 * i, average) != 0)
      speeds[i] = average.download;
  }
  engine_->ReportDownloadStat(speeds);
}

void Application::RunCommandLoop(std::istream& in) {
  CommandDispatcher dispatcher(*this);
  std::string word;
  for (;;) {
    if (!(in >> word)) {
      Log1("cin fail");
      break;
    }
    if (dispatcher.Dispatch(word, in) == CommandResult::Stop) {
      Log1("User quit");
      break;
    }
  }
}

void Application::StopSequence() {
  SetState(kStateStopping);
  Info("正在退出程序");
  {
    std::lock_guard<std::mutex> lock(sleep_mu_);
    running_ = false;
  }
  start_time_ = 0;
  sleep_cv_.notify_all();
  for (std::thread* t : {&power_thread_, &start_thread_, &status_thread_})
    if (t->joinable()) t->join();
  if (progress_line_) ConsoleLog::Get().SetStatusLine("");

  ReportStatistics();
  engine_->SetHttpThreadCount(0);
  engine_->Stop();

  transport_->Stop();
  engine_->DisconnectAndReset();
  transport_->Close();
  platform::RestoreStopSignals();

  SetState(kStateStopped);
  Info("程序正常退出");
  PrintStateLine(kStateStopped);
}

}  // namespace brelvane
