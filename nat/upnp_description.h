// SPDX-License-Identifier: MIT
// The walk of a gateway's device description down to its WAN connection
// service: root -> InternetGatewayDevice -> WANDevice -> WANConnectionDevice
// -> WANIPConnection or WANPPPConnection, with the control URL made absolute
// against the base URL.
//
// Versions: at every level a version 1 type is preferred; when a level has
// none, the version 2 type is taken (InternetGatewayDevice:2, WANDevice:2,
// WANConnectionDevice:2, WANIPConnection:2).  The failure texts name the
// version 1 types whichever was looked for.
//
// The control URL must name the host that answered the discovery; a
// description pointing the client at any other host is refused.
//
// Thread safety: a free function without shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brelvane::upnp {

struct GatewayService {
  std::string base_url;
  std::string service_type;
  std::string control_url;  // absolute
};

// Reads `answer` (the whole HTTP answer to the description GET of
// `description_url`).  False with `*error` set to the failure text when the
// walk fails or the control URL leaves `gateway_ip` (host order).
[[nodiscard]] bool ReadGatewayDescription(std::string_view answer,
                                          const std::string& description_url, uint32_t gateway_ip,
                                          GatewayService* out, std::string* error);

}  // namespace brelvane::upnp
