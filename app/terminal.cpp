// SPDX-License-Identifier: MIT
#include "app/terminal.h"

#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/charset.h"
#include "platform/console.h"
#include "platform/crash.h"

#ifndef BRELVANE_VERSION
#define BRELVANE_VERSION "0.0"
#endif

namespace brelvane {
namespace {

constexpr const char* kCrashLongForm =
    "非常遗憾的通知您，程序内部发生了不可挽回的错误。\n幸运的是这个错误已经被记录到\n\t%s%s\n"
    "文件里。\n非常希望你能将此文件，连同以下的错误代码，\nEmail "
    "给技术人员，让我们可以重现您碰到的问题，着手解决。\n\nException Code: %X, at address %p";
constexpr const char* kCrashShortForm = "Exception Code: %X, at address %p";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The charset "-Charset" asks for; false when it is absent or unknown (the
// same values ReadConfiguration accepts, through CharsetIsUtf8).
bool CharsetAsked(const ArgumentTable& args, ConsoleCharset* out) {
  std::vector<std::string> values;
  if (!args.GetTexts("Charset", values) || values.empty()) return false;
  const std::optional<bool> utf8 = CharsetIsUtf8(values[0]);
  if (!utf8) return false;
  *out = *utf8 ? ConsoleCharset::Utf8 : ConsoleCharset::Gbk;
  return true;
}

}  // namespace

TerminalRequest FindTerminalRequest(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (!argv[i]) continue;
    const std::string arg = Lower(argv[i]);
    if (arg == "--help" || arg == "-help" || arg == "-h" || arg == "-?")
      return TerminalRequest::kHelp;
    if (arg == "--version" || arg == "-version") return TerminalRequest::kVersion;
  }
  return TerminalRequest::kNone;
}

std::string UsageText() {
  return "Usage: brelvane [-Key value...]\n"
         "       brelvane --help | --version\n"
         "\n"
         "Brings a directory up to the release a torrent describes, fetching its\n"
         "parts from HTTP mirrors and from other running copies (peers) at once,\n"
         "and serving the parts it holds to those peers while it runs.  Keys start\n"
         "with one hyphen, are case-insensitive and take the values that follow.\n"
         "\n"
         "  -Dir DIR                  directory to update (default ./<process id>/)\n"
         "  -HttpUrl URL...           base URLs that serve the torrent (default none)\n"
         "  -Torrent NAME             torrent name at those URLs (default Seed.torrent)\n"
         "  -Postfix TAG              tag of the files in Brelvane_Info/ (default none)\n"
         "  -DownloadLimit KB/s       download limit, 10..1048576 (default 256)\n"
         "  -UploadLimit KB/s         upload limit, 3..1048576 (default 128)\n"
         "  -HttpThread N             HTTP download threads (default 4)\n"
         "  -P2PUploadThread N        upload workers (default 10)\n"
         "  -P2PUploadListSize N      upload jobs waiting at most (default 10)\n"
         "  -MaxUploadNum N           peers served at once (default 20)\n"
         "  -MaxDownloadNum N         peers fetched from at once (default 256)\n"
         "  -LocalUdp PORT            UDP port (default random in 10000..19586)\n"
         "  -LocalTcp PORT            read, but the TCP port follows the address\n"
         "  -NotUsingUPnP             do not map the TCP port on the router\n"
         "                            (default: map it)\n"
         "  -UPnPText TEXT            description of that mapping (default Brelvane)\n"
         "  -DeleteDownloadInfo       delete the resume file once complete (default\n"
         "                            keep it)\n"
         "  -ReportPercentInterval N  progress step reported to the main server, in\n"
         "                            percent, 1..100 (default 5)\n"
         "  -oil N                    console level 0..6; 5 shows Info (default 5)\n"
         "  -id ID                    instance id, names the log p2p-ID.log (default\n"
         "                            none: p2p.log)\n"
         "  -Charset UTF-8|GBK        console charset (default UTF-8 when standard\n"
         "                            output is a UTF-8 terminal, else GBK)\n"
         "  -LogLevel N               file-log detail 0..5 (default 3)\n"
         "  --help, -h, -?            this text\n"
         "  --version                 the version\n"
         "\n"
         "Example: update ./game from a mirror on this machine\n"
         "  brelvane -Dir ./game -HttpUrl http://127.0.0.1:8080/release/ -NotUsingUPnP\n"
         "\n"
         "Standard output carries one record per line, for example\n"
         "  [Info]开始下载所需文件\n"
         "  [Interactive]P2PState=14\n"
         "(14: every file is complete).  Standard input takes commands: stat,\n"
         "get pct, set dbl 512 (KB/s), quit.  When standard error is a terminal it\n"
         "shows a progress line.\n"
         "\n"
         "Logs: p2p.log (p2p-ID.log with -id) and user.log in the current directory.\n"
         "A crash writes brelvane-YYYYmmdd-HHMMSS-N.dmp next to the program.\n"
         "\n"
         "Exit status: 0 after every run, also a failed one (the records say how it\n"
         "ended: P2PState=6 torrent not fetched, 4 network not started, 14 complete,\n"
         "16 stopped), 0 after --help and --version.  A crash ends the process by\n"
         "its signal.\n";
}

std::string VersionText() {
  const ConfigSettings defaults;
  return std::string("brelvane ") + BRELVANE_VERSION + " (protocol version " +
         std::to_string(defaults.Version) + ")\n";
}

ConsoleCharset ChooseConsoleCharset(const ArgumentTable& args, bool terminal) {
  ConsoleCharset asked;
  if (CharsetAsked(args, &asked)) return asked;
  return terminal && platform::LocaleIsUtf8() ? ConsoleCharset::Utf8 : ConsoleCharset::Gbk;
}

void SetCrashMessagesFor(ConsoleCharset charset) {
  if (charset == ConsoleCharset::Utf8) {
    platform::SetCrashMessages(kCrashLongForm, kCrashShortForm);
  } else {
    platform::Utf8ToGbk gbk;
    platform::SetCrashMessages(gbk.Convert(kCrashLongForm), kCrashShortForm);
  }
}

void InstallCrashMessages() {
  platform::InstallCrashHandler(kCrashLongForm, kCrashShortForm);
  SetCrashMessagesFor(ConsoleCharset::Gbk);
}

}  // namespace brelvane
