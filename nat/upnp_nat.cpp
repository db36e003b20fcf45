// SPDX-License-Identifier: MIT
// Placeholder until the gateway client lands: every operation fails with a
// clear error, so the transport's mapping thread prints its warning once.
#include "nat/upnp_nat.h"

namespace brelvane {

UPnPNAT::UPnPNAT() = default;
UPnPNAT::UPnPNAT(const Options& options) : options_(options) {}

void UPnPNAT::Init(int time_limit_seconds) {
  time_limit_seconds_ = time_limit_seconds;
  state_ = kInitial;
}

bool UPnPNAT::Discovery() {
  state_ = kFailed;
  last_error_ = "Fail to find an UPNP NAT.";
  return false;
}

bool UPnPNAT::AddPortMapping(const std::string&, uint16_t, uint16_t, const std::string&,
                             const std::string&) {
  state_ = kFailed;
  return false;
}

bool UPnPNAT::DeletePortMapping(uint16_t, const std::string&) {
  state_ = kFailed;
  return false;
}

bool UPnPNAT::GetGenericPortMappingEntry(int, PortMappingEntry*) {
  state_ = kFailed;
  return false;
}

}  // namespace brelvane
