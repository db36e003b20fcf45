// SPDX-License-Identifier: MIT
#include "platform/memory.h"

#include <malloc.h>

namespace brelvane::platform {

void LimitAllocatorArenas() { mallopt(M_ARENA_MAX, 1); }

}  // namespace brelvane::platform
