// SPDX-License-Identifier: MIT
#include "catalogue/catalogue_test_util.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "catalogue/file_list_builder.h"
#include "catalogue/md5.h"

namespace brelvane::testing {

namespace fs = std::filesystem;

void WriteBytes(const std::string& path, const std::string& bytes) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ReadTestData(const std::string& name) {
  return ReadBytes(std::string(BRELVANE_SOURCE_DIR) + "/tests/catalogue/data/" + name);
}

std::string PseudoRandomBytes(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;  // xorshift32
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

FileEntry MakeEntry(uint32_t id, const std::string& name, const std::string& bytes,
                    uint32_t part_size) {
  FileEntry entry{id, name, bytes.size(), Md5Buffer(bytes.data(), bytes.size()),
                  LayOutParts(bytes.size(), part_size)};
  for (PartEntry& part : entry.parts) part.md5 = Md5Buffer(bytes.data() + part.start, part.length);
  return entry;
}

}  // namespace brelvane::testing
