// SPDX-License-Identifier: MIT
// `brelvane-release build`: hashes a release directory and writes its file
// list and torrent.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "catalogue/decimal.h"
#include "catalogue/file_list_builder.h"
#include "catalogue/safe_name.h"
#include "catalogue/seed_diff.h"
#include "catalogue/seed_document.h"
#include "platform/atomic_write.h"
#include "platform/clock.h"
#include "tools/release/release_tool.h"

namespace brelvane::release {
namespace {

namespace fs = std::filesystem;

struct BuildArgs {
  std::string dir;
  std::string out;
  std::vector<std::string> mirrors;
  std::vector<TrackerEntry> trackers;
  uint32_t part_size_units = 0;
  std::string previous;
  std::string seed_name = kDefaultSeedName;
  bool quiet = false;
};

// "a.b.c.d" with four decimal numbers of at most 255.
bool IsDottedIpv4(const std::string& text) {
  size_t begin = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = text.find('.', begin);
    if ((i < 3) != (dot != std::string::npos)) return false;
    const std::string octet =
        text.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin);
    uint64_t value;
    if (octet.size() > 3 || !ParseDecimal(octet, 255, &value)) return false;
    begin = dot + 1;
  }
  return true;
}

bool ParseTracker(const std::string& text, TrackerEntry* tracker) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  tracker->ip = text.substr(0, colon);
  return IsDottedIpv4(tracker->ip) && ParseU16(text.substr(colon + 1), &tracker->port) &&
         tracker->port != 0;
}

// An http:// URL with a host and no blanks or characters the document would
// have to escape; the trailing "/" is dropped, since the updater adds one.
bool NormaliseMirror(std::string* url) {
  static constexpr std::string_view kScheme = "http://";
  if (url->size() <= kScheme.size() || url->compare(0, kScheme.size(), kScheme) != 0) {
    return false;
  }
  for (const char c : *url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '"' || c == '<' || c == '>') return false;
  }
  while (url->size() > kScheme.size() && url->back() == '/') url->pop_back();
  return url->size() > kScheme.size() && (*url)[kScheme.size()] != '/';
}

// Parses the arguments after "build".  Returns kExitOk or kExitUsage (after
// printing why).
int ParseArgs(const std::vector<std::string>& args, BuildArgs* out) {
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // The values of a list option run up to the next option.
    auto take_list = [&](std::vector<std::string>* values) {
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) values->push_back(args[++i]);
    };
    auto take_one = [&](std::string* value) {
      if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) return false;
      *value = args[++i];
      return true;
    };
    if (arg == "--mirror") {
      std::vector<std::string> urls;
      take_list(&urls);
      if (urls.empty()) {
        Error("--mirror needs at least one URL");
        return kExitUsage;
      }
      for (std::string& url : urls) {
        if (!NormaliseMirror(&url)) {
          Error("not a usable mirror URL (http://host/path expected): \"" + url + "\"");
          return kExitUsage;
        }
        out->mirrors.push_back(url);
      }
    } else if (arg == "--tracker") {
      std::vector<std::string> texts;
      take_list(&texts);
      if (texts.empty()) {
        Error("--tracker needs at least one IP:PORT");
        return kExitUsage;
      }
      for (const std::string& text : texts) {
        TrackerEntry tracker;
        if (!ParseTracker(text, &tracker)) {
          Error("not a tracker address (dotted IPv4:port expected): \"" + text + "\"");
          return kExitUsage;
        }
        out->trackers.push_back(tracker);
      }
    } else if (arg == "--part-size") {
      std::string text;
      uint32_t units = 0;
      if (!take_one(&text) || !ParseU32(text, &units) || units > kMaxPartSizeUnits) {
        Error("--part-size needs a number of 64 KiB units from 0 (automatic) to " +
              std::to_string(kMaxPartSizeUnits));
        return kExitUsage;
      }
      out->part_size_units = units;
    } else if (arg == "--previous") {
      if (!take_one(&out->previous)) {
        Error("--previous needs the path of the previous file list");
        return kExitUsage;
      }
    } else if (arg == "--seed-name") {
      if (!take_one(&out->seed_name) || !IsSafeRelativeName(out->seed_name) ||
          out->seed_name.find('/') != std::string::npos || out->seed_name == kTorrentName) {
        Error("--seed-name needs a plain file name other than " + std::string(kTorrentName));
        return kExitUsage;
      }
    } else if (arg == "--quiet") {
      out->quiet = true;
    } else if (arg.rfind("--", 0) == 0) {
      Error("unknown option " + arg + " (try build --help)");
      return kExitUsage;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    Error("build needs a release directory and an output directory (try build --help)");
    return kExitUsage;
  }
  out->dir = positional[0];
  out->out = positional[1];
  if (out->mirrors.empty() && out->trackers.empty()) {
    Error("give at least one --mirror or --tracker: the updater refuses a torrent with neither");
    return kExitUsage;
  }
  return kExitOk;
}

// Prints hashing progress to standard error at most once a second, starting
// after the first second so that small releases stay silent.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool quiet) : quiet_(quiet), start_ms_(platform::TickMs()) {
    next_ms_ = start_ms_ + 1000;
  }

  void Update(const BuildProgress& progress) {
    if (quiet_) return;
    const uint64_t now = platform::TickMs();
    if (now < next_ms_) return;
    next_ms_ = now + 1000;
    printed_ = true;
    const double seconds = static_cast<double>(now - start_ms_) / 1000.0;
    const double percent = progress.bytes_total == 0
                               ? 100.0
                               : 100.0 * static_cast<double>(progress.bytes_done) /
                                     static_cast<double>(progress.bytes_total);
    std::fprintf(stderr, "hashing: %llu/%llu files, %.1f/%.1f MiB (%.0f%%), %.0f MiB/s\n",
                 static_cast<unsigned long long>(progress.files_done),
                 static_cast<unsigned long long>(progress.files_total),
                 static_cast<double>(progress.bytes_done) / 1048576.0,
                 static_cast<double>(progress.bytes_total) / 1048576.0, percent,
                 static_cast<double>(progress.bytes_done) / 1048576.0 / seconds);
  }

  void Done(uint64_t files, uint64_t bytes) {
    if (quiet_ || !printed_) return;
    const double seconds = static_cast<double>(platform::TickMs() - start_ms_) / 1000.0;
    std::fprintf(stderr, "hashing: done, %llu files, %.1f MiB in %.1f s\n",
                 static_cast<unsigned long long>(files), static_cast<double>(bytes) / 1048576.0,
                 seconds);
  }

 private:
  bool quiet_;
  bool printed_ = false;
  uint64_t start_ms_;
  uint64_t next_ms_;
};

// True when `inner` is `outer` or lies below it (both must exist).
bool IsSameOrInside(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  const fs::path a = fs::weakly_canonical(inner, ec);
  if (ec) return false;
  const fs::path b = fs::weakly_canonical(outer, ec);
  if (ec) return false;
  auto a_it = a.begin();
  for (auto b_it = b.begin(); b_it != b.end(); ++b_it, ++a_it) {
    if (b_it->empty()) continue;  // a trailing separator
    if (a_it == a.end() || *a_it != *b_it) return false;
  }
  return true;
}

// The names to delete: the old names that are gone, then the names the
// previous release already asked to delete (so that an updater skipping a
// release still removes them), each once and never a name of the release.
std::vector<std::string> DeleteNames(const std::vector<FileEntry>& files, const FileList& old) {
  std::vector<std::string> names = DiffFileLists(files, old.files).removed_names;
  std::unordered_set<std::string> seen(names.begin(), names.end());
  for (const FileEntry& file : files) seen.insert(file.name);
  for (const std::string& name : old.delete_names) {
    if (seen.insert(name).second) names.push_back(name);
  }
  return names;
}

}  // namespace

int RunBuild(const std::vector<std::string>& args) {
  BuildArgs build;
  if (const int usage = ParseArgs(args, &build); usage != kExitOk) return usage;

  std::error_code ec;
  if (!fs::is_directory(build.dir, ec)) {
    Error("release directory " + build.dir + " is not a readable directory");
    return kExitFailure;
  }
  fs::create_directories(build.out, ec);
  if (ec || !fs::is_directory(build.out, ec)) {
    Error("cannot create output directory " + build.out);
    return kExitFailure;
  }
  if (IsSameOrInside(build.out, build.dir)) {
    Error("output directory " + build.out + " lies inside the release directory " + build.dir +
          "; its files would become part of the release");
    return kExitFailure;
  }
  FileList previous;
  if (!build.previous.empty() && !LoadFileList(build.previous, &previous)) return kExitFailure;

  // Hash the release.
  ProgressPrinter printer(build.quiet);
  std::vector<std::string> skipped;
  BuildOptions options;
  options.part_size_units = build.part_size_units;
  options.progress = [&printer](const BuildProgress& progress) { printer.Update(progress); };
  options.skipped = &skipped;
  std::vector<FileEntry> files;
  std::string error;
  if (BuildFileList(build.dir, options, &files, &error) != 0) {
    Error(error);
    return kExitFailure;
  }
  uint64_t total_size = 0;
  for (const FileEntry& file : files) total_size += file.size;
  printer.Done(files.size(), total_size);
  for (const std::string& name : skipped) {
    std::fprintf(stderr, "brelvane-release: warning: skipped %s (not a regular file)\n",
                 name.c_str());
  }
  int bad_names = 0;
  for (const FileEntry& file : files) {
    const NameProblem problem = CheckRelativeName(file.name);
    if (problem != NameProblem::kNone) {
      Error("file name \"" + file.name + "\" " + NameProblemText(problem) +
            "; the updater would refuse this release");
      ++bad_names;
    }
    if (file.name.find_first_of("<>\"|?*") != std::string::npos) {
      std::fprintf(stderr,
                   "brelvane-release: warning: %s holds a character Windows does not allow in "
                   "file names (<>\"|?*)\n",
                   file.name.c_str());
    }
    if (file.name == kTorrentName || file.name == build.seed_name) {
      std::fprintf(stderr,
                   "brelvane-release: warning: release file %s has the name of an output "
                   "file; do not publish them in the same directory\n",
                   file.name.c_str());
    }
  }
  if (bad_names > 0) return kExitFailure;
  if (files.size() > UINT32_MAX) {
    Error("too many files for 32-bit file ids");
    return kExitFailure;
  }

  // Write the file list, then describe it in the torrent.
  const std::vector<std::string> delete_names =
      build.previous.empty() ? std::vector<std::string>() : DeleteNames(files, previous);
  const std::string seed_path = (fs::path(build.out) / build.seed_name).string();
  if (!WriteFileList(files, delete_names, seed_path)) {
    Error("cannot write " + seed_path);
    return kExitFailure;
  }
  std::vector<FileEntry> seed_entries;
  BuildOptions seed_options;
  if (BuildFileList(seed_path, seed_options, &seed_entries, &error) != 0 ||
      seed_entries.size() != 1) {
    Error("cannot hash " + seed_path + ": " + error);
    return kExitFailure;
  }
  SeedInfo torrent;
  torrent.http_urls = build.mirrors;
  torrent.trackers = build.trackers;
  torrent.total_size = total_size;
  torrent.file = std::move(seed_entries.front());
  torrent.file.id = kSeedFileId;
  torrent.file.name = build.seed_name;
  const std::string torrent_path = (fs::path(build.out) / kTorrentName).string();
  int write_error = 0;
  if (!platform::WriteFileAtomically(torrent_path, TorrentText(torrent), &write_error)) {
    Error("cannot write " + torrent_path + ": " + std::generic_category().message(write_error));
    return kExitFailure;
  }

  uint32_t part_size = 0;  // known from any file of more than one part
  for (const FileEntry& file : files) {
    if (file.parts.size() > 1) {
      part_size = file.parts.front().length;
      break;
    }
  }
  std::printf("files:        %zu, %s\n", files.size(), FormatBytes(total_size).c_str());
  if (part_size != 0) std::printf("part size:    %s\n", FormatBytes(part_size).c_str());
  std::printf("delete list:  %zu names\n", delete_names.size());
  std::printf("file list:    %s, %s, md5 %s\n", seed_path.c_str(),
              FormatBytes(torrent.file.size).c_str(), DigestToHex(torrent.file.md5).c_str());
  std::printf("torrent:      %s\n", torrent_path.c_str());
  return kExitOk;
}

}  // namespace brelvane::release
