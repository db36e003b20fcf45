// SPDX-License-Identifier: MIT
#include "app/engine_services.h"

#include "app/application.h"

namespace brelvane {

Services MakeDefaultServices(ConfigSettings& settings) {
  Services s;
  auto transport = std::make_unique<TransportService>(settings);
  s.engine = std::make_unique<EngineService>(transport->transport(), settings);
  s.transport = std::move(transport);
  return s;
}

}  // namespace brelvane
