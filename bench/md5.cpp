// SPDX-License-Identifier: MIT
// MD5 throughput on 16 KiB blocks, against `openssl speed` measured in the
// same run (its assembly MD5 is the reference), best of two alternating
// rounds each.  Usage:
//   bench_md5 [seconds]     (default 3 per measurement; also passed to openssl)
// The last line is "ratio (ours / openssl): R".
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/md5.h"
#include "catalogue/md5_lanes.h"

namespace {

// `openssl speed` counts user CPU time, not elapsed time, so our figures are
// per CPU second too (std::clock); otherwise other work on a shared machine
// would count against us only.
double CpuSeconds(std::clock_t start) {
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// Bytes per CPU second of Md5Context over 16 KiB blocks, one block per
// Update and one digest per block, as `openssl speed -bytes 16384` counts it.
double MeasureOurs(double seconds) {
  std::vector<unsigned char> block(16384);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 131 + 7);
  const std::clock_t start = std::clock();
  uint64_t bytes = 0;
  unsigned sink = 0;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      brelvane::Md5Context context;
      context.Update(block.data(), block.size());
      sink += context.Final().bytes[0];
      block[0] = static_cast<unsigned char>(sink);
      bytes += block.size();
    }
    const double elapsed = CpuSeconds(start);
    if (elapsed >= seconds) return static_cast<double>(bytes) / elapsed;
  }
}

// Bytes per CPU second of Md5EqualLength over eight 64 KiB parts at a time, the
// way BuildFileList hashes parts (informational).
double MeasureLanes(double seconds) {
  std::vector<unsigned char> parts(brelvane::kMd5Lanes * 65536);
  for (size_t i = 0; i < parts.size(); ++i) parts[i] = static_cast<unsigned char>(i * 31 + 1);
  const uint8_t* pointers[brelvane::kMd5Lanes];
  for (size_t i = 0; i < brelvane::kMd5Lanes; ++i) pointers[i] = parts.data() + i * 65536;
  const std::clock_t start = std::clock();
  uint64_t bytes = 0;
  brelvane::Md5Digest digests[brelvane::kMd5Lanes];
  for (;;) {
    brelvane::Md5EqualLength(pointers, brelvane::kMd5Lanes, 65536, digests);
    parts[0] = digests[0].bytes[0];
    bytes += parts.size();
    const double elapsed = CpuSeconds(start);
    if (elapsed >= seconds) return static_cast<double>(bytes) / elapsed;
  }
}

// Runs openssl and returns its figure in bytes per second, or 0.
double MeasureOpenssl(int seconds) {
  const std::string command =
      "openssl speed -bytes 16384 -seconds " + std::to_string(seconds) + " md5 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return 0;
  char line[512];
  double rate = 0;
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    // The result line: "md5    716318.44k" (thousands of bytes per second).
    if (std::strncmp(line, "md5 ", 4) == 0) {
      char* end = nullptr;
      const double value = std::strtod(line + 4, &end);
      if (end != line + 4 && *end == 'k') rate = value * 1000.0;
    }
  }
  pclose(pipe);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 3;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: bench_md5 [seconds]\n");
    return 2;
  }
  // Two alternating rounds, best of each: on a shared machine a burst of
  // other work then spoils at most one figure of each side.
  double ours = 0;
  double theirs = 0;
  for (int round = 0; round < 2; ++round) {
    ours = std::max(ours, MeasureOurs(seconds));
    theirs = std::max(theirs, MeasureOpenssl(seconds));
  }
  std::printf("brelvane Md5Context, 16384-byte blocks: %.1f MB/s\n", ours / 1e6);
  std::printf("brelvane Md5EqualLength, 8 x 64 KiB:    %.1f MB/s (informational)\n",
              MeasureLanes(seconds) / 1e6);
  if (theirs <= 0) {
    std::printf("openssl speed md5: not available\n");
    return 1;
  }
  std::printf("openssl speed -bytes 16384 md5:        %.1f MB/s\n", theirs / 1e6);
  std::printf("ratio (ours / openssl): %.3f\n", ours / theirs);
  return 0;
}
