// SPDX-License-Identifier: MIT
// The program state that the launcher reads as "P2PState".
#pragma once

#include <cstdint>

namespace brelvane {

enum UpdaterStateCode : int32_t {
  kStateNotStarted = 0,
  kStateInitialising = 1,
  kStateSeedInfoObtained = 3,   // network start under way
  kStateNetworkFailed = 4,
  kStateFetchingSeedInfo = 5,
  kStateSeedInfoFailed = 6,
  kStateVerifyingSeed = 7,
  kStateDownloadingSeed = 8,
  kStateSeedDownloadFailed = 9,
  kStateParsingSeed = 10,
  kStateSeedParseFailed = 12,
  kStateDownloading = 13,
  kStateComplete = 14,
  kStateStopping = 15,
  kStateStopped = 16,
};

}  // namespace brelvane
