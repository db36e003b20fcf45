// SPDX-License-Identifier: MIT
#include "http/download_test_env.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/file_log.h"
#include "catalogue/md5.h"

namespace brelvane::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::random_device random;
  fs::path dir = fs::temp_directory_path() /
                 ("brelvane-download-" + std::to_string(random()) + std::to_string(random()));
  fs::create_directories(dir);
  path_ = dir.string() + "/";
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

LogCapture::LogCapture()
    : old_directory_(fs::current_path().string()), old_threshold_(FileLog::threshold()) {
  fs::current_path(dir_.path());
  FileLog::Open("");
  FileLog::set_threshold(5);
}

LogCapture::~LogCapture() {
  if (::testing::Test::HasFailure()) {
    // The end of the log tells what the threads were doing.
    const std::vector<std::string> lines = Lines();
    for (size_t i = lines.size() > 60 ? lines.size() - 60 : 0; i < lines.size(); ++i) {
      std::fprintf(stderr, "log: %s\n", lines[i].c_str());
    }
  }
  FileLog::Close();
  FileLog::set_threshold(old_threshold_);
  std::error_code ignored;
  fs::current_path(old_directory_, ignored);
}

std::vector<std::string> LogCapture::Lines() const {
  std::ifstream in(dir_.File("p2p.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    // "2026-12-05 16:40:01.123 [tid 4242] L3 text": keep "L3 text".
    const size_t bracket = line.find("] ");
    lines.push_back(bracket == std::string::npos ? line : line.substr(bracket + 2));
  }
  return lines;
}

int LogCapture::Count(const std::string& text) const {
  int count = 0;
  for (const std::string& line : Lines()) count += line.find(text) != std::string::npos;
  return count;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

FileEntry EntryFor(uint32_t id, const std::string& name, const std::string& content,
                   uint32_t part_size) {
  FileEntry entry;
  entry.id = id;
  entry.name = name;
  entry.size = content.size();
  entry.md5 = Md5Buffer(content.data(), content.size());
  for (uint64_t start = 0, index = 0; start < content.size(); start += part_size, ++index) {
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(part_size, content.size() - start));
    entry.parts.push_back(PartEntry{static_cast<uint32_t>(index), length, start,
                                    Md5Buffer(content.data() + start, length)});
  }
  return entry;
}

FaultMirror::FaultMirror(const std::string& root, const std::string& options) {
  static std::atomic<int> started{0};
  const std::string port_file = root + ".port" + std::to_string(started++);
  const std::string command = std::string("exec python3 ") + BRELVANE_SOURCE_DIR +
                              "/tests/tools/fault_mirror.py --quiet --exit-on-stdin-eof --root '" +
                              root + "' --port-file '" + port_file + "' " + options;
  // The mirror lives while its standard input (this pipe) stays open.
  process_ = popen(command.c_str(), "w");
  if (process_ == nullptr) return;
  (void)Eventually([&] { return fs::exists(port_file) && fs::file_size(port_file) > 0; });
  std::ifstream(port_file) >> port_;
}

FaultMirror::~FaultMirror() {
  if (process_ != nullptr) pclose(process_);
}

std::string FaultMirror::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

bool Eventually(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace brelvane::test
