// SPDX-License-Identifier: MIT
#include "storage/buffer_pool.h"

#include <mutex>
#include <utility>
#include <vector>

namespace brelvane {
namespace {

struct Cache {
  std::mutex mu;
  std::vector<std::pair<size_t, std::unique_ptr<uint8_t[]>>> buffers;  // guarded by mu
  size_t bytes = 0;                                                     // guarded by mu
};

Cache& TheCache() {
  static Cache* cache = new Cache;  // never destroyed: usable during exit
  return *cache;
}

}  // namespace

std::unique_ptr<uint8_t[]> BufferPool::Take(size_t size) {
  if (size > 0) {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mu);
    for (auto it = cache.buffers.rbegin(); it != cache.buffers.rend(); ++it) {
      if (it->first != size) continue;
      std::unique_ptr<uint8_t[]> buffer = std::move(it->second);
      cache.buffers.erase(std::next(it).base());
      cache.bytes -= size;
      return buffer;
    }
  }
  return std::unique_ptr<uint8_t[]>(new uint8_t[size == 0 ? 1 : size]);
}

void BufferPool::Give(std::unique_ptr<uint8_t[]> buffer, size_t size) {
  if (buffer == nullptr || size == 0 || size > kMaxBytes) return;
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mu);
  if (cache.bytes + size > kMaxBytes) return;  // `buffer` is freed on return
  cache.bytes += size;
  cache.buffers.emplace_back(size, std::move(buffer));
}

void BufferPool::Trim() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mu);
  cache.buffers.clear();
  cache.bytes = 0;
}

}  // namespace brelvane
