// SPDX-License-Identifier: MIT
#include "base/config.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "base/console_log.h"
#include "platform/thread.h"

namespace brelvane {
namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The first value of `key`, when the key is present with at least one value.
bool FirstText(const ArgumentTable& args, const char* key, std::string& out) {
  std::vector<std::string> values;
  if (!args.GetTexts(key, values) || values.empty()) return false;
  out = values.front();
  return true;
}

bool FirstInt(const ArgumentTable& args, const char* key, int32_t& out) {
  std::vector<int32_t> values;
  if (!args.GetIntegers(key, values) || values.empty()) return false;
  out = values.front();
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

void ArgumentTable::Parse(int argc, const char* const* argv) {
  entries_.clear();
  std::string key = "pgmname";
  if (argc > 0 && argv[0]) entries_[key].push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    if (arg.empty()) continue;
    if (arg[0] != '-') {
      entries_[key].push_back(arg);
      continue;
    }
    if (arg.size() == 1) continue;  // a lone hyphen
    key = Lower(arg.substr(1));
    entries_[key].clear();
  }
}

bool ArgumentTable::GetTexts(const std::string& key, std::vector<std::string>& out) const {
  auto it = entries_.find(Lower(key));
  if (it == entries_.end()) return false;
  out = it->second;
  return true;
}

bool ArgumentTable::GetIntegers(const std::string& key, std::vector<int32_t>& out) const {
  auto it = entries_.find(Lower(key));
  if (it == entries_.end()) return false;
  out.clear();
  for (const std::string& text : it->second) {
    int32_t v;
    if (!ParseInt32(text, v)) return false;
    out.push_back(v);
  }
  return true;
}

bool ArgumentTable::Has(const std::string& key) const {
  return entries_.count(Lower(key)) != 0;
}

bool ParseInt32(const std::string& text, int32_t& value) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > int64_t{1} << 32) magnitude = int64_t{1} << 32;  // already out of range
  }
  const int64_t v = negative ? -magnitude : magnitude;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return false;
  value = static_cast<int32_t>(v);
  return true;
}

uint32_t ClampUnsigned(uint32_t value, uint32_t low, uint32_t high) {
  return std::max(std::min(value, high), low);
}

ConfigSettings::ConfigSettings()
    : CurrentDir(std::to_string(platform::CurrentThreadId()) + "\\"),
      MainServerIp(kDefaultMainServerIp) {
  UdpProt = static_cast<uint16_t>(std::rand() % 9587 + 10000);
}

std::string ConfigSettings::GetMainServerIp() const {
  std::lock_guard<std::mutex> lock(main_server_mu_);
  return MainServerIp;
}

void ConfigSettings::SetMainServerIp(const std::string& ip) {
  std::lock_guard<std::mutex> lock(main_server_mu_);
  MainServerIp = ip;
}

void ReadConfiguration(const ArgumentTable& args, ConfigSettings& s) {
  std::string text;
  int32_t n;

  if (FirstText(args, "Dir", text)) {
    if (text.back() != '\\' && text.back() != '/') text += '\\';
    s.CurrentDir = text;
  }
  if (FirstText(args, "Postfix", text)) {
    for (char& c : text) {
      switch (c) {
        case '"': case '*': case '/': case ':': case '<':
        case '>': case '?': case '\\': case '|':
          c = '-';
          break;
        default:
          break;
      }
    }
    s.Postfix = text;
  }
  if (FirstInt(args, "LocalTcp", n) && n != 0 && n < 65536)
    s.TcpListenPort = static_cast<uint16_t>(n);
  if (FirstInt(args, "LocalUdp", n) && n != 0 && n < 65536)
    s.UdpProt = static_cast<uint16_t>(n);
  if (FirstInt(args, "UploadLimit", n))
    s.UploadLimit = ClampUnsigned(static_cast<uint32_t>(n), 3, 1048576) * 1024;
  if (FirstInt(args, "DownloadLimit", n))
    s.DownloadLimit = ClampUnsigned(static_cast<uint32_t>(n), 10, 1048576) * 1024;
  if (FirstText(args, "UPnPText", text)) s.UPnPText = text;
  if (args.Has("NotUsingUPnP")) s.UseUPnP = false;
  if (FirstInt(args, "HttpThread", n)) s.HttpDownloadThreadNum = n;
  std::vector<std::string> urls;
  if (args.GetTexts("HttpUrl", urls) && !urls.empty()) {
    // Uniform shuffle driven by rand(), so that launchers passing the same
    // list spread their load over the mirrors.
    for (size_t i = urls.size(); i > 1; --i) {
      const size_t j = static_cast<size_t>(std::rand()) % i;
      std::swap(urls[i - 1], urls[j]);
    }
    s.HttpUrl = urls;
  }
  if (FirstInt(args, "P2PUploadThread", n)) s.UploadThreadNum = n;
  if (FirstInt(args, "P2PUploadListSize", n)) s.MaxWaitTask = n;
  if (FirstText(args, "Torrent", text)) s.Torrent = text;
  if (args.Has("DeleteDownloadInfo")) s.DeleteDownloadInfo = true;
  if (FirstInt(args, "ReportPercentInterval", n))
    s.ReportPercentInterval = std::max(std::min(n, 100), 1);
  if (FirstInt(args, "oil", n))
    ConsoleLog::Get().set_threshold(
        static_cast<int>(ClampUnsigned(static_cast<uint32_t>(n), 0, 6)));
  if (FirstInt(args, "MaxUploadNum", n)) s.MaxUploadNum = n;
  if (FirstInt(args, "MaxDownloadNum", n)) s.MaxDownloadNum = n;
  if (FirstText(args, "id", text)) s.InstanceId = text;

  if (FirstText(args, "Charset", text)) {
    if (const std::optional<bool> utf8 = CharsetIsUtf8(text)) s.ConsoleUtf8 = *utf8;
  }
  if (FirstInt(args, "LogLevel", n)) s.FileLogLevel = std::max(std::min(n, 5), 0);
}

std::optional<bool> CharsetIsUtf8(std::string_view value) {
  std::string lower(value);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "utf-8" || lower == "utf8") return true;
  if (lower == "gbk" || lower == "cp936") return false;
  return std::nullopt;
}

}  // namespace brelvane
