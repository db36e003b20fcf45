// SPDX-License-Identifier: MIT
#include "storage/storage_random.h"

#include <random>

namespace brelvane {
namespace {

// splitmix64: tiny state, good spread in every bit, so "x % k" is fair
// enough for the small k the callers use.
struct SplitMix64 {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

uint64_t Seed() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

}  // namespace

uint32_t StorageRandom() {
  thread_local SplitMix64 generator{Seed()};
  return static_cast<uint32_t>(generator.Next() >> 32);
}

}  // namespace brelvane
