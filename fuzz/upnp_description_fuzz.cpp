// SPDX-License-Identifier: MIT
// The walk of a gateway's device description, on any answer to the
// description GET of 192.168.1.1: a control URL it hands back leads the SOAP
// calls to the gateway that answered.
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "nat/upnp_description.h"
#include "nat/upnp_protocol.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  brelvane::upnp::GatewayService service;
  std::string error;
  if (!brelvane::upnp::ReadGatewayDescription(answer, "http://192.168.1.1:5000/rootDesc.xml",
                                              0xC0A80101u, &service, &error)) {
    Require(!error.empty(), "a failed walk says why");
    return 0;
  }
  brelvane::upnp::Url control;
  Require(brelvane::upnp::SplitUrl(service.control_url, &control) && control.host == "192.168.1.1",
          "the SOAP calls go to the gateway that answered");
  return 0;
}
