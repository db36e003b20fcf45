// SPDX-License-Identifier: MIT
// The progress line a person sees at a terminal: percent, bytes done of the
// total, the current download and upload rates, the peers and mirrors in
// use and the estimated time left, on one line of plain ASCII, e.g.
//
//    45.1%  12.3 MiB of 27.3 MiB  down 240.0 KiB/s  up 12.5 KiB/s  peers 3  mirrors 1  left 1m05s
//
// StatusThread formats it once a second and hands it to ConsoleLog as the
// status line, only when standard error is a terminal.
//
// Thread safety: plain functions.
#pragma once

#include <cstdint>
#include <string>

namespace brelvane {

struct ProgressValues {
  int32_t state = 0;               // UpdaterState
  double percentage = 0.0;         // completion, 0..100
  int64_t total_bytes = 0;         // 0 until the update is prepared
  int64_t incomplete_bytes = 0;
  float download_rate = 0.0f;      // KB/s over the last second
  float upload_rate = 0.0f;        // KB/s over the last second
  float recent_download_rate = 0.0f;  // KB/s over the last few seconds, for the estimate
  int32_t peers = 0;               // peer connections
  int32_t mirrors = 0;             // HTTP mirrors being fetched from
};

// The line, cut to `columns` - 1 characters when `columns` is positive (a
// line that fills the last column would wrap and could not be erased).
std::string FormatProgressLine(const ProgressValues& v, int columns);

// "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB".
std::string FormatByteCount(int64_t bytes);
// Time left for `bytes` at `kib_per_second`: "45s", "3m05s", "2h07m";
// "--" when the rate is not positive.
std::string FormatTimeLeft(int64_t bytes, double kib_per_second);

}  // namespace brelvane
