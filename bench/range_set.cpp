// SPDX-License-Identifier: MIT
// RangeSet32 against std::set<uint32_t>: the same 10^6 inserts, lookups and
// erases on both, in the same run, printed as operations per second and as
// the ratio RangeSet / std::set (above 1 means RangeSet is faster).
//
// Workloads:
//   sparse   values drawn at random from [0, 2^23): about 900,000 distinct
//            values in about 800,000 ranges, the worst case for RangeSet
//            (one node per value, plus merge work);
//   dense    values drawn at random from [0, 10^6): the set fills up and
//            collapses into few ranges, the case of part and block states;
//   sequential  0, 1, 2, ... (a file received in order): one range.
//
// Usage: bench_range_set [operations]   (default 1000000)

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storage/range_set.h"

namespace {

using brelvane::RangeSet32;
using Clock = std::chrono::steady_clock;

// Keeps results observable so that the work is not optimised away.
volatile uint64_t g_sink = 0;

template <typename F>
double SecondsOf(F&& work) {
  const Clock::time_point start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
  double insert = 0, contains = 0, erase = 0;  // Seconds.
  size_t ranges = 0;
};

Figures RunRangeSet(const std::vector<uint32_t>& inserts, const std::vector<uint32_t>& probes,
                    const std::vector<uint32_t>& erases) {
  Figures figures;
  RangeSet32 set;
  figures.insert = SecondsOf([&] {
    for (uint32_t v : inserts) set.Insert(v);
  });
  figures.ranges = set.RangeCount();
  figures.contains = SecondsOf([&] {
    uint64_t hits = 0;
    for (uint32_t v : probes) hits += set.Contains(v) ? 1 : 0;
    g_sink = g_sink + hits;
  });
  figures.erase = SecondsOf([&] {
    for (uint32_t v : erases) (void)set.Erase(v);
  });
  g_sink = g_sink + set.Size();
  return figures;
}

Figures RunStdSet(const std::vector<uint32_t>& inserts, const std::vector<uint32_t>& probes,
                  const std::vector<uint32_t>& erases) {
  Figures figures;
  std::set<uint32_t> set;
  figures.insert = SecondsOf([&] {
    for (uint32_t v : inserts) set.insert(v);
  });
  figures.contains = SecondsOf([&] {
    uint64_t hits = 0;
    for (uint32_t v : probes) hits += set.count(v);
    g_sink = g_sink + hits;
  });
  figures.erase = SecondsOf([&] {
    for (uint32_t v : erases) set.erase(v);
  });
  g_sink = g_sink + set.size();
  return figures;
}

void PrintRow(const char* workload, const char* operation, size_t count, double range_set,
              double std_set) {
  const double ours = static_cast<double>(count) / range_set;
  const double theirs = static_cast<double>(count) / std_set;
  std::printf("%-11s %-9s %14.0f %14.0f %8.2f\n", workload, operation, ours, theirs,
              ours / theirs);
}

void Run(const char* workload, const std::vector<uint32_t>& inserts,
         const std::vector<uint32_t>& probes, const std::vector<uint32_t>& erases) {
  // Best of three rounds for each side, interleaved, against machine noise.
  Figures best_ours, best_theirs;
  for (int round = 0; round < 3; ++round) {
    const Figures ours = RunRangeSet(inserts, probes, erases);
    const Figures theirs = RunStdSet(inserts, probes, erases);
    if (round == 0) {
      best_ours = ours;
      best_theirs = theirs;
      continue;
    }
    best_ours.insert = std::min(best_ours.insert, ours.insert);
    best_ours.contains = std::min(best_ours.contains, ours.contains);
    best_ours.erase = std::min(best_ours.erase, ours.erase);
    best_theirs.insert = std::min(best_theirs.insert, theirs.insert);
    best_theirs.contains = std::min(best_theirs.contains, theirs.contains);
    best_theirs.erase = std::min(best_theirs.erase, theirs.erase);
  }
  PrintRow(workload, "insert", inserts.size(), best_ours.insert, best_theirs.insert);
  PrintRow(workload, "contains", probes.size(), best_ours.contains, best_theirs.contains);
  PrintRow(workload, "erase", erases.size(), best_ours.erase, best_theirs.erase);
  std::printf("%-11s (RangeSet held %zu ranges after the inserts)\n", workload, best_ours.ranges);
}

std::vector<uint32_t> RandomValues(size_t count, uint32_t bound, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<uint32_t> pick(0, bound - 1);
  std::vector<uint32_t> values(count);
  for (uint32_t& v : values) v = pick(random);
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 1000000;
  if (argc > 1) {
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || parsed == 0 || parsed > 100000000) {
      std::fprintf(stderr, "usage: %s [operations, 1..100000000]\n", argv[0]);
      return 2;
    }
    count = static_cast<size_t>(parsed);
  }
  std::printf("RangeSet32 vs std::set<uint32_t>, %zu operations each, best of 3\n", count);
  std::printf("%-11s %-9s %14s %14s %8s\n", "workload", "operation", "RangeSet op/s",
              "std::set op/s", "ratio");

  const uint32_t sparse_bound = 1u << 23;
  Run("sparse", RandomValues(count, sparse_bound, 1), RandomValues(count, sparse_bound, 2),
      RandomValues(count, sparse_bound, 3));

  const auto dense_bound = static_cast<uint32_t>(count);
  Run("dense", RandomValues(count, dense_bound, 4), RandomValues(count, dense_bound, 5),
      RandomValues(count, dense_bound, 6));

  std::vector<uint32_t> in_order(count);
  for (size_t i = 0; i < count; ++i) in_order[i] = static_cast<uint32_t>(i);
  Run("sequential", in_order, RandomValues(count, dense_bound, 7), in_order);
  return 0;
}
