// SPDX-License-Identifier: MIT
// `brelvane-release show` and `brelvane-release diff`: reading documents
// back for people.
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "catalogue/safe_name.h"
#include "catalogue/seed_diff.h"
#include "catalogue/seed_document.h"
#include "tools/release/release_tool.h"

namespace brelvane::release {
namespace {

// Collects what the updater would refuse in a list of entries.
std::vector<std::string> FindProblems(const std::vector<FileEntry>& files,
                                      const std::vector<std::string>& delete_names) {
  std::vector<std::string> problems;
  std::set<uint32_t> ids;
  std::set<std::string> names;
  for (const FileEntry& file : files) {
    const NameProblem name_problem = CheckRelativeName(file.name);
    if (name_problem != NameProblem::kNone) {
      problems.push_back("file name \"" + file.name + "\" " + NameProblemText(name_problem));
    }
    std::string why;
    if (!CheckPartLayout(file, &why)) problems.push_back("file \"" + file.name + "\": " + why);
    if (!ids.insert(file.id).second) {
      problems.push_back("file id " + std::to_string(file.id) + " is used twice");
    }
    if (!names.insert(file.name).second) {
      problems.push_back("file name \"" + file.name + "\" is listed twice");
    }
  }
  for (const std::string& name : delete_names) {
    const NameProblem name_problem = CheckRelativeName(name);
    if (name_problem != NameProblem::kNone) {
      problems.push_back("delete name \"" + name + "\" " + NameProblemText(name_problem));
    }
  }
  return problems;
}

// The refusal of a document that passed one of its bounds.
std::string BoundPassed(const std::string& path, const char* kind, DocumentFault fault,
                        const DocumentBounds& bounds) {
  return path + " is refused unparsed: as a " + kind + " it holds " +
         DescribeDocumentFault(fault, bounds);
}

// Reads a document for a command, printing why it cannot be.
bool ReadDocument(const std::string& path, std::string* text) {
  DocumentFault fault = DocumentFault::kNone;
  if (ReadGzipFile(path, text, &fault)) return true;
  if (fault != DocumentFault::kNone) {
    Error(BoundPassed(path, "file list", fault, kFileListBounds));
  } else {
    Error("cannot read " + path + " (missing, unreadable, or a damaged gzip stream)");
  }
  return false;
}

int ReportProblems(const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) Error("problem: " + problem);
  return problems.empty() ? kExitOk : kExitFailure;
}

int ShowTorrent(const std::string& path, const std::string& text) {
  SeedInfo info;
  DocumentFault fault = DocumentFault::kNone;
  if (!ParseTorrent(text, &info, &fault)) {
    if (fault != DocumentFault::kNone) {
      Error(BoundPassed(path, "torrent", fault, kTorrentBounds));
    } else {
      Error(path + " is a torrent without a readable seed file entry");
    }
    return kExitFailure;
  }
  std::printf("torrent %s\n", path.c_str());
  std::printf("  http mirrors: %zu\n", info.http_urls.size());
  for (const std::string& url : info.http_urls) std::printf("    %s\n", url.c_str());
  std::printf("  trackers: %zu\n", info.trackers.size());
  for (const TrackerEntry& tracker : info.trackers) {
    std::printf("    %s:%u\n", tracker.ip.c_str(), static_cast<unsigned>(tracker.port));
  }
  std::printf("  release size: %s\n", FormatBytes(info.total_size).c_str());
  const FileEntry& seed = info.file;
  std::printf("  seed file: %s\n", seed.name.c_str());
  std::printf("    size: %s\n", FormatBytes(seed.size).c_str());
  std::printf("    md5: %s\n", DigestToHex(seed.md5).c_str());
  std::printf("    parts: %zu of %s\n", seed.parts.size(),
              seed.parts.empty() ? "-" : FormatBytes(seed.parts.front().length).c_str());
  std::vector<std::string> problems = FindProblems({seed}, {});
  if (seed.size == 0) problems.push_back("the seed file is empty; the updater refuses it");
  if (info.http_urls.empty() && info.trackers.empty()) {
    problems.push_back("no mirror and no tracker; the updater refuses such a torrent");
  }
  return ReportProblems(problems);
}

int ShowFileList(const std::string& path, const std::string& text) {
  FileList list;
  if (!ParseFileList(text, &list)) {
    Error(path + " is a file list with a missing or unreadable attribute");
    return kExitFailure;
  }
  uint64_t total = 0;
  size_t parts = 0;
  for (const FileEntry& file : list.files) {
    total += file.size;
    parts += file.parts.size();
  }
  std::printf("file list %s\n", path.c_str());
  std::printf("  files: %zu, %s, %zu parts\n", list.files.size(), FormatBytes(total).c_str(),
              parts);
  std::printf("  %10s %14s %8s  %-32s  %s\n", "id", "size", "parts", "md5", "name");
  for (const FileEntry& file : list.files) {
    std::printf("  %10u %14llu %8zu  %s  %s\n", file.id,
                static_cast<unsigned long long>(file.size), file.parts.size(),
                DigestToHex(file.md5).c_str(), file.name.c_str());
  }
  std::printf("  delete: %zu\n", list.delete_names.size());
  for (const std::string& name : list.delete_names) std::printf("    %s\n", name.c_str());
  return ReportProblems(FindProblems(list.files, list.delete_names));
}

}  // namespace

bool LoadFileList(const std::string& path, FileList* list) {
  std::string text;
  if (!ReadDocument(path, &text)) return false;
  switch (DetectDocumentKind(text)) {
    case DocumentKind::kFileList:
      if (ParseFileList(text, list)) return true;
      Error(path + " is a file list with a missing or unreadable attribute");
      return false;
    case DocumentKind::kTorrent:
      Error(path + " is a torrent; a file list (" + kDefaultSeedName + ") is needed here");
      return false;
    case DocumentKind::kNotADocument:
      break;
  }
  Error(path + " is not a file list (not XML with a Root element)");
  return false;
}

int RunShow(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    Error("show needs exactly one file (try --help)");
    return kExitUsage;
  }
  const std::string& path = args[0];
  std::string text;
  if (!ReadDocument(path, &text)) return kExitFailure;
  switch (DetectDocumentKind(text)) {
    case DocumentKind::kTorrent: return ShowTorrent(path, text);
    case DocumentKind::kFileList: return ShowFileList(path, text);
    case DocumentKind::kNotADocument: break;
  }
  Error(path + " is neither a torrent nor a file list (not XML with a Root element)");
  return kExitFailure;
}

int RunDiff(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    Error("diff needs the old and the new file list (try --help)");
    return kExitUsage;
  }
  FileList old_list;
  FileList new_list;
  for (int i = 0; i < 2; ++i) {
    if (!LoadFileList(args[i], i == 0 ? &old_list : &new_list)) return kExitFailure;
  }
  const SeedDiff diff = DiffFileLists(new_list.files, old_list.files);
  PrintDiff(diff, new_list.files, std::cout);
  std::cout.flush();
  return std::cout ? kExitOk : kExitFailure;
}

}  // namespace brelvane::release
