// SPDX-License-Identifier: MIT
#include "app/stand_in_services.h"

#include "app/log/file_log.h"

namespace brelvane {

bool StandInEngine::FetchSeedInfo(const std::atomic<bool>&) {
  // No mirror can be asked yet: report the failure the way a run without a
  // reachable mirror does.
  Log1("Request torrent fail: %zu mirror(s) configured, no HTTP client in this build",
       settings_.HttpUrl.size());
  return false;
}

}  // namespace brelvane
