// SPDX-License-Identifier: MIT
#include "app/progress_line.h"

#include <cstdio>

#include "app/updater_state.h"

namespace brelvane {

std::string FormatByteCount(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes < 0 ? 0 : bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatTimeLeft(int64_t bytes, double kib_per_second) {
  if (kib_per_second <= 0.0) return "--";
  const double seconds = static_cast<double>(bytes < 0 ? 0 : bytes) / (kib_per_second * 1024.0);
  if (seconds >= 100.0 * 3600.0) return "--";  // no use guessing beyond days
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s < 60) {
    std::snprintf(text, sizeof(text), "%lds", s);
  } else if (s < 3600) {
    std::snprintf(text, sizeof(text), "%ldm%02lds", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof(text), "%ldh%02ldm", s / 3600, (s % 3600) / 60);
  }
  return text;
}

std::string FormatProgressLine(const ProgressValues& v, int columns) {
  const bool known = v.total_bytes > 0;
  const int64_t done = known ? v.total_bytes - v.incomplete_bytes : 0;
  char head[160];
  std::snprintf(head, sizeof(head), "%5.1f%%  %s of %s  down %.1f KiB/s  up %.1f KiB/s", v.percentage,
                FormatByteCount(done).c_str(),
                known ? FormatByteCount(v.total_bytes).c_str() : "?",
                static_cast<double>(v.download_rate), static_cast<double>(v.upload_rate));
  std::string line = head;
  line += "  peers " + std::to_string(v.peers) + "  mirrors " + std::to_string(v.mirrors);
  if (v.state == kStateComplete) {
    line += "  complete";
  } else if (known) {
    line += "  left " + FormatTimeLeft(v.incomplete_bytes, v.recent_download_rate);
  }
  if (columns > 0 && line.size() >= static_cast<size_t>(columns))
    line.resize(static_cast<size_t>(columns) - 1);
  return line;
}

}  // namespace brelvane
