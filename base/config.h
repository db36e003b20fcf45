// SPDX-License-Identifier: MIT
// Command-line configuration.
//
// The launcher passes every setting as hyphen-prefixed keys followed by their
// values ("-Dir D:\Game -HttpUrl http://a/ http://b/").  ArgumentTable keeps
// what was parsed; ReadConfiguration turns the keys this program understands
// into ConfigSettings.  There is no configuration file.
//
// ConfigSettings is shared by reference with the engine, the transport and
// the HTTP manager.  It is filled on the main thread before any other thread
// exists; afterwards the fields that change at run time (limits, counts, the
// state) are atomics written by one thread and read by others without a lock.
//
// Thread safety: ArgumentTable is single-threaded.  ConfigSettings: see above.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brelvane {

class ArgumentTable {
 public:
  // Parses argv; never fails.  argv[0] is stored under "pgmname".
  void Parse(int argc, const char* const* argv);

  // Lower-cases `key`.  False when absent; otherwise `out` is replaced by the
  // key's values.
  bool GetTexts(const std::string& key, std::vector<std::string>& out) const;

  // Lower-cases `key`.  False when absent.  Otherwise `out` is emptied and the
  // values are converted in order as signed 32-bit decimals (leading blanks,
  // optional sign, digits; conversion stops at the first character that
  // cannot continue the number).  The first value that yields no number or
  // is out of range ends the conversion with false; `out` keeps the values
  // converted before it.
  bool GetIntegers(const std::string& key, std::vector<int32_t>& out) const;

  bool Has(const std::string& key) const;

  const std::map<std::string, std::vector<std::string>>& entries() const { return entries_; }

 private:
  std::map<std::string, std::vector<std::string>> entries_;
};

// Converts one text the way a formatted stream extraction of a 32-bit signed
// integer would.  Exposed for the "set" command, which reads the same way.
bool ParseInt32(const std::string& text, int32_t& value);

struct ConfigSettings {
  ConfigSettings();  // every default; draws UdpProt from rand()

  std::string InstanceId;
  uint32_t Version = 9983;
  std::string CurrentDir;
  std::atomic<uint16_t> TcpListenPort{0};
  std::atomic<uint16_t> UdpProt{0};
  std::vector<std::string> MainServerIps;
  std::vector<uint16_t> MainServerPorts;
  // The main server in use (dotted IPv4).  Written by the login while the
  // console may read it: use the two accessors below.
  std::string MainServerIp;
  std::atomic<uint16_t> MainServerPort{5000};
  std::atomic<int32_t> MaxUploadNum{20};
  std::atomic<int32_t> MaxDownloadNum{256};
  int32_t MaxConnectNum = 512;
  int32_t CandidatesPerConnect = 5;
  int32_t LoginPollsPerAttempt = 1;
  int32_t LoginAttemptsPerServer = 10;
  int32_t PeerRequestIntervalSec = 3;
  int32_t ReportPercentInterval = 5;
  int32_t SweepIntervalSec = 1;
  int32_t UploadThreadNum = 10;
  int32_t MaxWaitTask = 10;
  std::atomic<int32_t> HttpDownloadThreadNum{4};
  std::atomic<uint32_t> UploadLimit{131072};    // bytes per second
  std::atomic<uint32_t> DownloadLimit{262144};  // bytes per second
  std::string InfoFolder = "Brelvane_Info/";
  bool DeleteDownloadInfo = false;
  std::string Postfix;
  std::string Torrent = "Seed.torrent";
  std::atomic<int32_t> UpdaterState{0};
  bool UseUPnP = true;
  std::string UPnPText = "Brelvane";
  std::vector<std::string> SeedHttpUrls;
  std::vector<std::string> HttpUrl;

  std::string GetMainServerIp() const;
  void SetMainServerIp(const std::string& ip);

  // Additions of this program (not part of the launcher contract).
  bool ConsoleUtf8 = false;  // "-Charset UTF-8": console in UTF-8 instead of GBK
  int32_t FileLogLevel = 3;  // "-LogLevel N": file-log threshold

 private:
  mutable std::mutex main_server_mu_;  // guards MainServerIp after start-up
};

// The main server used until the torrent names one.
inline constexpr const char* kDefaultMainServerIp = "127.0.0.1";

// Fills `settings` from `args` (already parsed).  Also sets the console
// threshold when "oil" is given.  Has no failure result: a malformed number
// leaves the default in place.
void ReadConfiguration(const ArgumentTable& args, ConfigSettings& settings);

// A "-Charset" value, case-insensitive: true for UTF-8 ("utf-8", "utf8"),
// false for GBK ("gbk", "cp936"), nothing for any other value.
std::optional<bool> CharsetIsUtf8(std::string_view value);

// Clamps used by both the keys and the "set" command.
uint32_t ClampUnsigned(uint32_t value, uint32_t low, uint32_t high);

}  // namespace brelvane
