// SPDX-License-Identifier: MIT
// Small per-thread helpers: names visible in a debugger and a numeric id.
//
// Thread safety: every function acts on the calling thread only.
#pragma once

#include <cstdint>

namespace brelvane::platform {

// Names the calling thread (cut to the 15 characters the kernel keeps).
void SetCurrentThreadName(const char* name);

// A number identifying the calling thread while it lives (the kernel's tid).
uint32_t CurrentThreadId();

// The id of the process.
uint32_t CurrentProcessId();

}  // namespace brelvane::platform
