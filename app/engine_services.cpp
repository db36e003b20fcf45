// SPDX-License-Identifier: MIT
#include "app/engine_services.h"

#include "app/application.h"
#include "base/file_log.h"

namespace brelvane {

void EngineService::ReportDownloadStat(const float speeds[10]) {
  // There is no main server to send the report to yet; keep the figures in
  // the file log, once per run like the report itself.
  if (reported_) return;
  reported_ = true;
  Log3("Download speeds (KB/s, newest 20 s first): %.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f "
       "%.1f, end phase %d",
       speeds[0], speeds[1], speeds[2], speeds[3], speeds[4], speeds[5], speeds[6], speeds[7],
       speeds[8], speeds[9], engine_.end_phase());
}

Services MakeDefaultServices(ConfigSettings& settings) {
  Services s;
  auto transport = std::make_unique<TransportService>(settings);
  s.engine = std::make_unique<EngineService>(transport->transport(), settings);
  s.transport = std::move(transport);
  return s;
}

}  // namespace brelvane
