// SPDX-License-Identifier: MIT
#include "app/command_dispatcher.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "app/application.h"
#include "base/console_log.h"
#include "base/file_log.h"
#include "platform/clock.h"

namespace brelvane {
namespace {

ConsoleLog& Console() { return ConsoleLog::Get(); }

float Percentage(Application& app) {
  return static_cast<float>(app.engine().CompletionFraction() * 100.0);
}

// Formatted extraction with a fallback: when nothing can be read, `fallback`
// is the value and `in` stays failed.
template <typename T>
T ReadNumber(std::istream& in, T fallback) {
  T value{};
  if (!(in >> value)) return fallback;
  return value;
}

}  // namespace

CommandResult CommandDispatcher::Dispatch(const std::string& word, std::istream& in) {
  if (word == "quit") {
    Log3("CMD_QUIT");
    app_.engine().RecordEndPhase(EndPhase::Quit, platform::NowSeconds());
    return CommandResult::Stop;
  }
  if (word == "restart") {
    Log3("CMD_RESTART");
    app_.engine().RecordEndPhase(EndPhase::Restart, platform::NowSeconds());
    return CommandResult::Stop;
  }
  if (word == "stat") {
    Stat();
  } else if (word == "set") {
    Set(in);
  } else if (word == "get") {
    Get(in);
  }
  return CommandResult::Continue;
}

void CommandDispatcher::Stat() {
  IEngine& engine = app_.engine();
  Console().Answer("UserId", engine.UserId());
  Console().Answer("P2PState", app_.state());
  Console().Answer("Percentage", Percentage(app_));
  Console().Answer("IncompleteByte", engine.IncompleteBytes());
  Console().Answer("UploadBandWidth", app_.upload_rate());
  Console().Answer("DownloadBandWidth", app_.download_rate());
  Console().Answer("UploadUserNum", engine.UploadUserCount());
  Console().Answer("DownloadUserNum", engine.DownloadUserCount());
  Console().Answer("ConnectNum", app_.transport().ConnectionCount());
}

void CommandDispatcher::Set(std::istream& in) {
  std::string name;
  if (!(in >> name)) return;
  ConfigSettings& s = app_.settings();
  if (name == "ubl") {
    const uint32_t kb = ClampUnsigned(ReadNumber<uint32_t>(in, 131072), 3, 1048576);
    s.UploadLimit = kb * 1024;
    app_.transport().RestartUploadWindow();
  } else if (name == "dbl") {
    const uint32_t kb = ClampUnsigned(ReadNumber<uint32_t>(in, 262144), 10, 1048576);
    s.DownloadLimit = kb * 1024;
    app_.transport().RestartDownloadWindow();
  } else if (name == "muc") {
    int32_t v = std::max(ReadNumber<int32_t>(in, 20), 0);
    s.MaxUploadNum = std::min(v, s.MaxConnectNum - s.MaxDownloadNum.load());
  } else if (name == "mdc") {
    int32_t v = std::max(ReadNumber<int32_t>(in, 256), 0);
    s.MaxDownloadNum = std::min(v, s.MaxConnectNum - s.MaxUploadNum.load());
  } else if (name == "oil") {
    const int32_t v = ReadNumber<int32_t>(in, Console().threshold());
    if (v >= 0 && v <= 6) Console().set_threshold(v);
  } else if (name == "httpdtn") {
    const int32_t v = ReadNumber<int32_t>(in, s.HttpDownloadThreadNum.load());
    if (v >= 0) {
      app_.engine().SetHttpThreadCount(v);
      s.HttpDownloadThreadNum = v;
    }
  } else if (name == "httppriority") {
    // An addition for operators: 1 stops fetching from peers for this run.
    if (ReadNumber<int32_t>(in, 0) == 1) app_.engine().SwitchToHttpPriority();
  }
}

void CommandDispatcher::Get(std::istream& in) {
  std::string name;
  if (!(in >> name)) return;
  ConfigSettings& s = app_.settings();
  IEngine& engine = app_.engine();
  if (name == "ubl") {
    Console().Answer("MaxUploadBandWidth", static_cast<uint32_t>(s.UploadLimit / 1024));
  } else if (name == "dbl") {
    Console().Answer("MaxDownloadBandWidth", static_cast<uint32_t>(s.DownloadLimit / 1024));
  } else if (name == "muc") {
    Console().Answer("MaxUploadNum", s.MaxUploadNum.load());
  } else if (name == "mdc") {
    Console().Answer("MaxDownloadNum", s.MaxDownloadNum.load());
  } else if (name == "cub") {
    Console().Answer("UploadBandWidth", app_.upload_rate());
  } else if (name == "cdb") {
    Console().Answer("DownloadBandWidth", app_.download_rate());
  } else if (name == "pct") {
    Console().Answer("Percentage", Percentage(app_));
  } else if (name == "tb") {
    Console().Answer("TotalByte", engine.TotalBytes());
  } else if (name == "icb") {
    Console().Answer("IncompleteByte", engine.IncompleteBytes());
  } else if (name == "p2ps") {
    Console().Answer("P2PState", app_.state());
  } else if (name == "cuun") {
    Console().Answer("UploadUserNum", engine.UploadUserCount());
  } else if (name == "cdun") {
    Console().Answer("DownloadUserNum", engine.DownloadUserCount());
  } else if (name == "ccn") {
    Console().Answer("ConnectNum", app_.transport().ConnectionCount());
  } else if (name == "uid") {
    Console().Answer("UserId", engine.UserId());
  } else if (name == "state") {
    GetState();
  } else if (name == "oil") {
    Console().Answer("P2PLogLevel", static_cast<int32_t>(Console().threshold()));
  } else if (name == "qf") {
    const uint32_t id = ReadNumber<uint32_t>(in, 0);
    std::string file;
    if (!engine.FileName(id, file)) file = ":";
    Console().Answer("FileName", file);
  } else if (name == "version") {
    Console().Answer("version", s.Version);
  } else if (name == "ave") {
    GetAverage();
  }
}

void CommandDispatcher::GetState() {
  ConfigSettings& s = app_.settings();
  IEngine& engine = app_.engine();
  Console().Answer("TcpListenPort", s.TcpListenPort.load());
  Console().Answer("UdpProt", s.UdpProt.load());
  Console().Answer("MainServerIp", s.GetMainServerIp());
  Console().Answer("MainServerPort", s.MainServerPort.load());
  Console().Answer("CurrentDir", s.CurrentDir);
  Console().Answer("SeedFilePath", engine.SeedFilePath());
  Console().Answer("SeedFilePathPast", engine.SeedFilePathPast());
  Console().Answer("DownloadInfoDataFilePath", engine.DownloadInfoFilePath());
  Console().Answer("UploadThreadNum", s.UploadThreadNum);
  Console().Answer("MaxWaitTask", s.MaxWaitTask);
  Console().Answer("HttpDownloadThreadNum", s.HttpDownloadThreadNum.load());
}

void CommandDispatcher::GetAverage() {
  int64_t overall = 0;
  const uint32_t start = app_.start_time();
  if (start != 0) {
    const int64_t elapsed = static_cast<int64_t>(platform::NowSeconds()) - start;
    // Less than a second since the start: no rate yet.
    if (elapsed >= 1)
      overall = static_cast<int64_t>(app_.transport().TotalReceived()) / elapsed;
  }
  const uint32_t n =
      static_cast<uint32_t>(std::min<size_t>(180, app_.speed_history().Size()));
  SpeedSample average;
  (void)app_.speed_history().Average(n, 0, average);
  const auto recent = static_cast<int64_t>(average.download * 1024.0);
  Console().Begin(ConsoleLevel::Interactive)
      << "AverageSpeed=" << overall << "(A)," << recent << "(L" << n << ")";
}

std::string FormatTitle(const TitleValues& v) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(3);
  out << "id:" << v.user_id << " " << v.elapsed_seconds << " " << v.percentage << "% C" << 0.0
      << "%";
  out << std::setprecision(1);
  out << " U:" << v.upload_rate << "(" << v.pending_upload_jobs << ")"
      << " D:" << v.download_rate << "(" << v.p2p_rate << "/" << v.http_rate << ")"
      << " M:" << v.server_messages << " (" << v.connections << ")" << v.upload_users << "|"
      << v.download_users << "(" << v.candidates << ")";
  return out.str();
}

}  // namespace brelvane
