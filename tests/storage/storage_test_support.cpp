// SPDX-License-Identifier: MIT
#include "storage/storage_test_util.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace brelvane::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<uint32_t> counter{0};
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ("brelvane-storage-" + std::to_string(rd()) + "-" +
                                 std::to_string(counter.fetch_add(1)));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.string() + "/";
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int64_t FileLength(const std::string& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  std::minstd_rand rng(seed == 0 ? 1 : seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng() >> 7);
  return bytes;
}

}  // namespace brelvane::testing
