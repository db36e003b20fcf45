// SPDX-License-Identifier: MIT
// Time sources.  Tick counts are a monotonic clock in milliseconds (used for
// time-outs and rates); calendar time is seconds since the epoch.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace brelvane::platform {

// Milliseconds of a monotonic clock; never goes backwards.
uint64_t TickMs();

// The low 32 bits of TickMs(), as the tick counter of the wire formats.
inline uint32_t Tick32() { return static_cast<uint32_t>(TickMs()); }

// Seconds since 1970-01-01 UTC, truncated to 32 bits.
uint32_t NowSeconds();

}  // namespace brelvane::platform
