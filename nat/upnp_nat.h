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
// Discovery sends the SSDP request up to five times within the time limit,
// waiting up to a pause (1000 ms) for an answer each time; an answer that is
// not a "200 OK" carrying an "http://" location, or whose gateway fails the
// description walk (nat/upnp_description.h), costs that attempt and a pause.
// The reason of each failed attempt goes to the file log (level 2).
//
// Every HTTP exchange with the gateway (description GET, SOAP calls) is one
// TCP connection: connect, send the request, read until the gateway closes,
// the Content-Length is complete or 102400 bytes have arrived, all within
// Options::exchange_timeout_ms.  An exchange that timed out after some bytes
// came counts as complete with those bytes.
//
// Untrusted input: answers and descriptions are cut at 102400 bytes; the
// description URL must name the host that answered the discovery (the
// datagram's source address), and the control URL must stay on that host, so
// a gateway's answers can never send this client to a third host.  Hosts are
// dotted IPv4 addresses: no name is ever resolved.
//
// Thread safety: one object is used by one thread at a time (the transport's
// one-shot mapping thread, then the stopping thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
    // The wait for an answer, and the pause after a failed attempt, of one
    // discovery attempt (tests shorten it).
    int attempt_pause_ms = 1000;
  };
  static constexpr int kDiscoveryAttempts = 5;
  static constexpr size_t kMaxAnswerBytes = 102400;

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
  // Finds the gateway's WAN connection service; true (state 1) when its
  // control URL and service type are known, else state 8 and LastError()
  // "Fail to find an UPNP NAT.".
  [[nodiscard]] bool Discovery();
  // REQUIRES: a successful Discovery (otherwise the call fails with "Fail to
  // parseURl: ").  True (state 5) when the gateway answered "200 OK" to the
  // SOAP request or to its M-POST repetition.
  [[nodiscard]] bool AddPortMapping(const std::string& internal_client, uint16_t external_port,
                                    uint16_t internal_port, const std::string& protocol,
                                    const std::string& description);
  // True (state 6) when the gateway answered "200 OK".
  [[nodiscard]] bool DeletePortMapping(uint16_t external_port, const std::string& protocol);
  // The gateway's mapping number `index` (0-based); false when there is none.
  [[nodiscard]] bool GetGenericPortMappingEntry(int index, PortMappingEntry* out);

  const std::string& LastError() const { return last_error_; }
  int32_t state() const { return state_; }
  const std::string& control_url() const { return control_url_; }
  const std::string& service_type() const { return service_type_; }
  const std::string& description_url() const { return description_url_; }
  // The whole answer to the description GET (at most kMaxAnswerBytes).
  const std::string& description() const { return description_; }

 private:
  // Sets state 8 and the last error; returns false.
  bool Fail(std::string text);
  // One discovery attempt's judgement of an SSDP answer from `from`.
  bool TryGateway(std::string_view answer, const platform::InetAddress& from);
  // One TCP exchange with url's host; false (state 8, last error set) when
  // the connection, the send, or the whole answer failed.
  bool Exchange(const std::string& host, uint16_t port, const std::string& request,
                std::string* response);
  // Splits the control URL and posts `action` (the M-POST form when
  // `extended`); true when the exchange completed, whatever the status.
  bool SoapCall(const char* action, const std::string& arguments, bool extended,
                std::string* response);

  Options options_;
  int32_t state_ = kInitial;
  int time_limit_seconds_ = 5;
  std::string description_url_;
  std::string service_type_;
  std::string control_url_;
  std::string base_url_;
  std::string description_;
  std::string last_error_;
};

}  // namespace brelvane
