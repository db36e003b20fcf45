// SPDX-License-Identifier: MIT
#include "storage/storage_test_util.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

namespace brelvane::testing {

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  std::minstd_rand rng(seed == 0 ? 1 : seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng() >> 7);
  return bytes;
}

FileEntry MakeEntry(uint32_t id, const std::string& name, const std::vector<uint8_t>& content,
                    uint32_t part_size) {
  FileEntry entry{id, name, content.size(), Md5Buffer(content.data(), content.size()), {}};
  uint64_t start = 0;
  do {  // an empty file has one empty part
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(part_size, content.size() - start));
    entry.parts.push_back({static_cast<uint32_t>(entry.parts.size()), length, start,
                           Md5Buffer(content.data() + start, length)});
    start += length;
  } while (start < content.size());
  return entry;
}

bool MemoryFile::Write(const void* data, uint32_t length, uint64_t offset) {
  if (length == 0 || data == nullptr) return true;
  if (refuse_writes) return false;
  ++writes;
  if (offset + length > bytes.size()) bytes.resize(offset + length);
  std::memcpy(bytes.data() + offset, data, length);
  return true;
}

bool MemoryFile::Read(void* buffer, uint32_t length, uint64_t offset) {
  if (length == 0) return true;
  if (offset >= bytes.size() || buffer == nullptr) return false;
  std::memcpy(buffer, bytes.data() + offset, std::min<uint64_t>(length, bytes.size() - offset));
  return true;
}

std::string ObserverLog::Tally() const {
  return std::to_string(verified) + " verified, " + std::to_string(nothing) + " nothing, " +
         std::to_string(destroyed) + " destroyed";
}

IWriteObserver* ObserverLog::New() {
  struct Observer : IWriteObserver {
    explicit Observer(ObserverLog* log) : log(log) {}
    void OnVerifiedBytes(uint32_t) override { ++log->verified; }
    void OnNothingVerified() override { ++log->nothing; }
    void Destroy() override {
      ++log->destroyed;
      delete this;
    }
    ObserverLog* log;
  };
  return new Observer(this);
}

bool Gate::Hold(Runner& runner) {
  struct Holder : Task {
    Holder(std::promise<void>* entered, std::shared_future<void> open)
        : entered(entered), open(std::move(open)) {}
    void Run(FileSystem*) override {
      entered->set_value();
      open.wait();
    }
    std::promise<void>* entered;
    std::shared_future<void> open;
  };
  std::unique_ptr<Task> task = std::make_unique<Holder>(&entered_, open_.get_future().share());
  if (!runner.Post(task, kInfiniteWait)) return false;
  entered_.get_future().wait();
  return true;
}

}  // namespace brelvane::testing
