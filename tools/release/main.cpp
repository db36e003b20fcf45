// SPDX-License-Identifier: MIT
// Entry point of brelvane-release: picks the command.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/release/release_tool.h"

#ifndef BRELVANE_VERSION
#define BRELVANE_VERSION "0.0"
#endif

namespace brelvane::release {

void Error(const std::string& text) {
  std::fprintf(stderr, "brelvane-release: %s\n", text.c_str());
}

std::string FormatBytes(unsigned long long bytes) {
  char text[64];
  if (bytes >= (1ull << 30)) {
    std::snprintf(text, sizeof(text), "%.2f GiB", static_cast<double>(bytes) / (1ull << 30));
  } else if (bytes >= (1ull << 20)) {
    std::snprintf(text, sizeof(text), "%.2f MiB", static_cast<double>(bytes) / (1ull << 20));
  } else if (bytes >= 1024) {
    std::snprintf(text, sizeof(text), "%.2f KiB", static_cast<double>(bytes) / 1024);
  } else {
    return std::to_string(bytes) + " bytes";
  }
  return std::string(text) + " (" + std::to_string(bytes) + " bytes)";
}

void PrintUsage() {
  std::printf(
      "Usage: brelvane-release <command> [arguments]\n"
      "\n"
      "Commands:\n"
      "  build <dir> <out> --mirror URL... --tracker IP:PORT... [--part-size N]\n"
      "        [--previous <old file list>] [--seed-name NAME] [--quiet]\n"
      "      Hashes every file under <dir> and writes into <out> the compressed\n"
      "      file list (%s) and the torrent that describes it (%s).\n"
      "  diff <old file list> <new file list>\n"
      "      Prints which files the new release deletes and which parts it changes.\n"
      "  show <torrent or file list>\n"
      "      Prints a summary of the document and any problem the updater would\n"
      "      refuse (unsafe names, broken part tables); exits 1 if it finds one.\n"
      "  help [build]\n"
      "      Prints this text, or the details of build.\n"
      "  --version\n"
      "      Prints the version.\n"
      "\n"
      "Exit status: 0 success, 1 failure, 2 wrong usage.\n",
      kDefaultSeedName, kTorrentName);
}

void PrintBuildUsage() {
  std::printf(
      "Usage: brelvane-release build <dir> <out> --mirror URL... --tracker IP:PORT...\n"
      "                              [--part-size N] [--previous <old file list>]\n"
      "                              [--seed-name NAME] [--quiet]\n"
      "\n"
      "  <dir>            the release: every file below it is listed, in byte-wise\n"
      "                   order of names, directories descended in place.\n"
      "  <out>            output directory (created if missing; must not lie inside\n"
      "                   <dir>).  Receives %s and the file list.\n"
      "  --mirror URL...  HTTP base URLs that serve a copy of <dir>; the updater\n"
      "                   fetches <URL>/<relative name>.  Only http:// URLs.\n"
      "  --tracker IP:PORT...  main servers (dotted IPv4 address and port).\n"
      "                   At least one mirror or tracker is required.\n"
      "  --part-size N    part size in units of 64 KiB (1 to 65535); default:\n"
      "                   chosen from the first file's size (64 KiB below 250 MiB,\n"
      "                   up to 512 KiB from 750 MiB).\n"
      "  --previous FILE  the file list of the previous release: files it lists\n"
      "                   that are gone now, and the names it already asked to\n"
      "                   delete, go to the new list's delete list.\n"
      "  --seed-name NAME file name of the compressed file list (default %s).\n"
      "                   The updater fetches it from its configured mirrors,\n"
      "                   next to %s.\n"
      "  --quiet          no progress on standard error.\n",
      kTorrentName, kDefaultSeedName, kTorrentName);
}

}  // namespace brelvane::release

int main(int argc, char** argv) {
  using namespace brelvane::release;
  if (argc < 2) {
    PrintUsage();
    return kExitUsage;
  }
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  const bool wants_help = !args.empty() && (args[0] == "--help" || args[0] == "-h");
  if (command == "--version") {
    std::printf("brelvane-release %s\n", BRELVANE_VERSION);
    return kExitOk;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    if (!args.empty() && args[0] == "build") {
      PrintBuildUsage();
    } else {
      PrintUsage();
    }
    return kExitOk;
  }
  if (command == "build") {
    if (wants_help) {
      PrintBuildUsage();
      return kExitOk;
    }
    return RunBuild(args);
  }
  if (command == "diff" || command == "show") {
    if (wants_help) {
      PrintUsage();
      return kExitOk;
    }
    return command == "diff" ? RunDiff(args) : RunShow(args);
  }
  Error("unknown command \"" + command + "\" (try --help)");
  return kExitUsage;
}
