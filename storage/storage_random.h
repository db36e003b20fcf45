// SPDX-License-Identifier: MIT
// The pseudo-random numbers of the storage engine's choices (which free part
// to hand out, where a sample of held parts starts).  Only spread matters,
// not unpredictability.
//
// Thread safety: each thread has its own generator, seeded once per thread.
#pragma once

#include <cstdint>

namespace brelvane {

// A pseudo-random 32-bit number.
uint32_t StorageRandom();

}  // namespace brelvane
