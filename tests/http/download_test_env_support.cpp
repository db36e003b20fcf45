// SPDX-License-Identifier: MIT
#include "http/download_test_env.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

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

bool Eventually(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace brelvane::test
