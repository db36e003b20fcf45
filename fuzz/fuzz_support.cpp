// SPDX-License-Identifier: MIT
#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "base/console_log.h"
#include "base/file_log.h"
#include "platform/thread.h"

namespace brelvane::fuzz {
namespace {

struct Scratch {
  Scratch() { std::filesystem::create_directories(dir); }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  // Targets that read a file write one per run: memory-backed /dev/shm runs
  // them about three times faster than a disk-backed /tmp.  TMPDIR wins.
  static std::string Base() {
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm")) {
      return "/dev/shm";
    }
    return std::filesystem::temp_directory_path().string();
  }
  std::string dir =
      Base() + "/brelvane-fuzz-" + std::to_string(platform::CurrentProcessId()) + "/";
};

}  // namespace

void QuietLogs() {
  static std::ostream sink(nullptr);  // no buffer: every write fails quietly
  ConsoleLog::Get().SetOutput(&sink);
  FileLog::Close();
}

const std::string& ScratchDir() {
  static Scratch scratch;
  return scratch.dir;
}

std::string WriteScratch(const std::string& name, std::string_view bytes) {
  const std::string path = ScratchDir() + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  Require(static_cast<bool>(out), "scratch file written");
  return path;
}

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

}  // namespace brelvane::fuzz
