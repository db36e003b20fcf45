// SPDX-License-Identifier: MIT
// UPnPNAT: a small client of the UPnP Internet Gateway Device protocol, so
// that peers behind a home router can accept incoming connections.  SSDP
// discovery by multicast, one GET of the gateway's description, a walk of
// that description to the WAN connection service, and SOAP calls to add and
// delete a port mapping.
//
// States: 0 initial, 1 gateway found, 2 TCP connected, 5 port mapped,
// 6 mapping deleted, 8 failed.  Every failure leaves LastError() set and the
// state 8; the caller prints the text once.
//
// Untrusted input: answers and descriptions are cut at 102400 bytes; the
// description URL must name the host that answered the discovery, and the
// control URL must stay on that host.
//
// Thread safety: one object is used by one thread at a time (the transport's
// one-shot mapping thread, then the stopping thread).
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace brelvane {

class UPnPNAT {
 public:
  enum State : int32_t {
    kInitial = 0,
    kGatewayFound = 1,
    kTcpConnected = 2,
    kPortMapped = 5,
    kMappingDeleted = 6,
    kFailed = 8,
  };

  struct Options {
    // Where discovery requests go (tests point this at a scripted gateway).
    platform::InetAddress ssdp{0xEFFFFFFAu, 1900};  // 239.255.255.250:1900
    // Time limit of one TCP exchange with the gateway, milliseconds.
    int exchange_timeout_ms = 5000;
  };

  struct PortMappingEntry {
    uint16_t external_port = 0;
    std::string protocol;
    uint16_t internal_port = 0;
    std::string internal_client;
    bool enabled = false;
    std::string description;
    uint32_t lease_seconds = 0;
  };

  UPnPNAT();
  explicit UPnPNAT(const Options& options);

  // Sets the discovery time limit (seconds) and state 0.
  void Init(int time_limit_seconds);
  // Finds the gateway's WAN connection service; true when its control URL and
  // service type are known.
  [[nodiscard]] bool Discovery();
  [[nodiscard]] bool AddPortMapping(const std::string& internal_client, uint16_t external_port,
                                    uint16_t internal_port, const std::string& protocol,
                                    const std::string& description);
  [[nodiscard]] bool DeletePortMapping(uint16_t external_port, const std::string& protocol);
  [[nodiscard]] bool GetGenericPortMappingEntry(int index, PortMappingEntry* out);

  const std::string& LastError() const { return last_error_; }
  int32_t state() const { return state_; }
  const std::string& control_url() const { return control_url_; }
  const std::string& service_type() const { return service_type_; }

 private:
  Options options_;
  int32_t state_ = kInitial;
  int time_limit_seconds_ = 5;
  std::string description_url_;
  std::string service_type_;
  std::string control_url_;
  std::string base_url_;
  std::string description_;
  std::string last_error_;
  uint32_t gateway_ip_ = 0;  // the host that answered the discovery
};

}  // namespace brelvane
