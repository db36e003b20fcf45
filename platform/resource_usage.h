// SPDX-License-Identifier: MIT
// What the process has used so far, for benchmarks and diagnostics.
//
// Thread safety: may be called from any thread.
#pragma once

#include <cstdint>

namespace brelvane::platform {

// The largest resident set the process has had, in bytes (0 when unknown).
uint64_t PeakResidentBytes();

// CPU time used by the whole process so far (user + system), in seconds.
double ProcessCpuSeconds();

// CPU time used by the calling thread so far, in seconds.
double ThreadCpuSeconds();

}  // namespace brelvane::platform
