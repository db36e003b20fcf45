// SPDX-License-Identifier: MIT
#include "catalogue/prepare/update_preparation.h"

#include <string>

#include "base/console_log.h"
#include "base/file_log.h"
#include "catalogue/download_info.h"
#include "catalogue/safe_name.h"
#include "catalogue/seed_diff.h"
#include "catalogue/seed_document.h"
#include "platform/file_io.h"
#include "storage/file.h"

namespace brelvane {
namespace {

void Console(ConsoleLevel level, const char* text) { ConsoleLog::Get().Print(level, text); }

bool Exists(const std::string& path) {
  return platform::GetPathKind(path) != platform::PathKind::kMissing;
}

void Remove(const std::string& path) { (void)platform::RemoveFile(path); }

// True when `path` is `base` or below it (both resolved).
bool IsBelow(const std::string& path, const std::string& base) {
  if (path.compare(0, base.size(), base) != 0) return false;
  return path.size() == base.size() || path[base.size()] == '/' || base.back() == '/';
}

// Every name the list uses, checked before anything is touched.
bool AllNamesSafe(const FileList& list) {
  for (const FileEntry& f : list.files) {
    const NameProblem problem = CheckRelativeName(f.name);
    if (problem != NameProblem::kNone) {
      Log0("Unsafe file name in file list: \"%s\" (%s)", f.name.c_str(), NameProblemText(problem));
      ConsoleLog::Get().Begin(ConsoleLevel::Error)
          << "文件列表含有不安全的文件名，更新被拒绝: " << f.name;
      return false;
    }
  }
  for (const std::string& name : list.delete_names) {
    const NameProblem problem = CheckRelativeName(name);
    if (problem != NameProblem::kNone) {
      Log0("Unsafe delete name in file list: \"%s\" (%s)", name.c_str(), NameProblemText(problem));
      ConsoleLog::Get().Begin(ConsoleLevel::Error)
          << "文件列表含有不安全的删除文件名，更新被拒绝: " << name;
      return false;
    }
  }
  return true;
}

}  // namespace

bool DeleteInsideBase(const std::string& base, const std::string& name) {
  if (!IsSafeRelativeName(name)) return false;
  const std::string path = base + name;
  if (!Exists(path)) return true;
  std::string real_base;
  if (platform::ResolvePath(base, &real_base) != 0) return true;  // no base: nothing to delete
  const size_t slash = path.find_last_of('/');
  std::string real_parent;
  if (platform::ResolvePath(path.substr(0, slash + 1), &real_parent) != 0) return true;
  if (!IsBelow(real_parent, real_base)) {
    Log1("Delete refused, the path leads outside the update directory: %s", path.c_str());
    return true;
  }
  // Directories are left alone; files and links are removed (a link is not
  // followed).
  if (platform::GetPathKind(path) != platform::PathKind::kDirectory) Remove(path);
  return true;
}

CheckSeedResult CheckSeed(FileSystem& fs) {
  const std::string& seed = fs.seed_path();
  if (Exists(seed)) {
    Log4("种子文件 存在");
    std::unique_ptr<File> file = File::Create(seed, fs.seed_entry(), RangeSet32(), nullptr);
    if (!file) {
      Log0("种子文件创建失败. %s", seed.c_str());
      return CheckSeedResult::Missing;
    }
    file->VerifyAll();
    const bool complete = file->IsComplete();
    file.reset();
    if (complete) {
      Log4("种子文件校验 通过");
      return CheckSeedResult::Verified;
    }
    Log4("种子文件校验 不通过");
    DownloadInfoData info;
    if (ReadDownloadInfo(fs.resume_path(), &info) && !info.not_complete.empty()) {
      Log4("续传信息存在 下载未完成");
      Console(ConsoleLevel::Warning, "存在seed文件，MD5验证不通过并且上一次下载未完整");
      Remove(seed);
      Remove(fs.resume_path());
      return CheckSeedResult::ChangedUnfinished;
    }
    Log4("续传信息不存在 或 上次下载已完成");
    Console(ConsoleLevel::Info, "存在seed文件，MD5验证不通过，需要更新");
    Remove(fs.resume_path());
    Remove(fs.past_seed_path());
    (void)platform::ReplaceFile(seed, fs.past_seed_path());
    return CheckSeedResult::ChangedFinished;
  }

  Log4("种子文件 不存在");
  Console(ConsoleLevel::Warning, "seed文件不存在");
  if (Exists(fs.resume_path())) {
    Log4("续传信息文件 存在");
    Remove(fs.resume_path());
  } else {
    Log4("续传信息文件 不存在");
    Console(ConsoleLevel::Warning, "downloadinfodata文件不存在");
  }
  return CheckSeedResult::Missing;
}

bool RegisterFiles(FileSystem& fs) {
  Log3("RegisterFiles");
  fs.StopRunner();
  fs.DeleteAllFiles();
  fs.block_states().Clear();

  FileList list;
  DocumentFault fault = DocumentFault::kNone;
  if (!ReadFileList(fs.seed_path(), &list, &fault)) {
    if (fault != DocumentFault::kNone) {
      Log0("File list refused before parsing, it holds %s: %s",
           DescribeDocumentFault(fault, kFileListBounds).c_str(), fs.seed_path().c_str());
    }
    Log0("Read filelist error");
    return false;
  }
  if (!AllNamesSafe(list)) return false;

  const std::string& root = fs.base_directory();
  Log4("删除列表中要求删除的文件 共%d个", static_cast<int>(list.delete_names.size()));
  for (const std::string& name : list.delete_names) DeleteInsideBase(root, name);

  bool scan = false;
  DownloadInfoData info;
  if (ReadDownloadInfo(fs.resume_path(), &info)) {
    Log4("读取续传信息成功");
    if (!fs.AddMultipleFiles(list.files, root, false, info.not_complete)) {
      Log0("Add multiple file error");
      return false;
    }
  } else {
    Log4("读取续传信息失败");
    FileList past;
    if (ReadFileList(fs.past_seed_path(), &past)) {
      Log4("发现旧的种子文件，进行种子对比");
      const SeedDiff diff = DiffFileLists(list.files, past.files);
      if (!fs.AddMultipleFiles(list.files, root, false, diff.parts_to_fetch)) {
        Log0("Add multiple file error");
        return false;
      }
    } else {
      Log4("读取旧种子文件失败");
      Console(ConsoleLevel::Error, "读取downloadInfoData及旧seed文件出错");
      if (!fs.AddMultipleFiles(list.files, root, true, {})) {
        Log0("Add multiple file error");
        return false;
      }
    }
    scan = true;
  }

  if (scan) {
    Log4("校验客户端");
    Console(ConsoleLevel::Warning, "进行全文件扫描");
    fs.VerifyAllFiles();
    Console(ConsoleLevel::Info, "全文件扫描完毕");
  }

  Log3("RegisterFiles-- file added");
  fs.RecomputeCounters();
  Log3("RegisterFiles-- bytes queryed");
  return fs.StartRunner(FileSystem::RunnerCapacityFor(fs.TotalParts()));
}

}  // namespace brelvane
