// SPDX-License-Identifier: MIT
// brelvane-release, the publishers' tool: builds the file list and torrent
// of a release from a directory, compares two releases, shows a document.
//
// Output of `build` (both written into the output directory):
//   Seed.torrent   the torrent; the updater fetches it as
//                  <configured mirror>/Seed.torrent (its default name)
//   Seed.xml.gz    the gzip-compressed file list, the torrent's one File;
//                  the updater fetches it as <configured mirror>/<that name>
//                  (--seed-name changes it)
// The release's own files are fetched as <torrent mirror>/<relative name>,
// so each --mirror URL must serve a copy of the release directory.
//
// Exit status: 0 success, 1 failure (unreadable or unusable input, I/O
// error), 2 wrong usage.
//
// Thread safety: the commands run on the main thread; `build` uses one
// helper thread inside BuildFileList.
#pragma once

#include <string>
#include <vector>

#include "catalogue/seed_model.h"

namespace brelvane::release {

inline constexpr char kTorrentName[] = "Seed.torrent";
inline constexpr char kDefaultSeedName[] = "Seed.xml.gz";

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Each command takes the arguments after its name.
int RunBuild(const std::vector<std::string>& args);
int RunDiff(const std::vector<std::string>& args);
int RunShow(const std::vector<std::string>& args);

// Usage texts.
void PrintUsage();
void PrintBuildUsage();

// Prints "brelvane-release: <text>" to standard error.
void Error(const std::string& text);

// Reads the file list at `path` for a command.  A torrent given where a
// file list belongs is refused too.  On failure prints why and returns
// false.
[[nodiscard]] bool LoadFileList(const std::string& path, FileList* list);

// Human-readable byte count ("1.5 MiB (1572864 bytes)").
std::string FormatBytes(unsigned long long bytes);

}  // namespace brelvane::release
