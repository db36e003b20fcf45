// SPDX-License-Identifier: MIT
// ScriptedServer: a loopback HTTP server for tests that plays canned replies.
//
// It listens on 127.0.0.1 with an ephemeral port and serves the connections
// of its script one after the other on one thread.  For every canned reply
// it first reads one request (header, plus a body when the request carries a
// Content-Length) and records its exact bytes, then sends the reply and does
// what the reply says afterwards.  "{PORT}" in a reply is replaced by the
// server's port, so redirects can point back at it.  Connections beyond the
// script are accepted, counted and closed.  Also the other loopback helpers
// of the socket, HTTP and UPnP tests.
//
// Thread safety: requests() and connections() may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace brelvane::test {

struct CannedReply {
  enum class After {
    kKeepOpen,  // read the next request on this connection
    kClose,     // close the connection once the bytes are out
    kStall,     // stay silent until the client closes (or the server stops)
  };

  std::string bytes;
  After after = After::kKeepOpen;
  // When set, only this many bytes are sent; then the server stalls.
  size_t stall_at = std::string::npos;
  // When > 0 the bytes go out in pieces of this size, `piece_pause_ms` apart.
  size_t piece_bytes = 0;
  int piece_pause_ms = 0;
};

using ConnectionScript = std::vector<CannedReply>;

// `bytes`, then silence from byte `stall_at` on (all of them by default).
CannedReply Stall(std::string bytes, size_t stall_at = std::string::npos);

class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<ConnectionScript> script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path_and_query.
  std::string Url(const std::string& path) const;
  // Replaces every "{PORT}" in `text` with the port.
  std::string Expand(const std::string& text) const;

  // Every request read so far, in order.
  std::vector<std::string> requests() const;
  int connections() const { return connections_.load(); }

 private:
  void Serve();
  void ServeConnection(platform::Socket& connection, const ConnectionScript& replies);
  // Reads one request; false when the client closed or the server stops.
  bool ReadRequest(platform::Socket& connection);
  void SendReply(platform::Socket& connection, const CannedReply& reply);

  std::vector<ConnectionScript> script_;
  platform::Socket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::vector<std::string> requests_;  // guarded by mu_
  std::thread thread_;
};

// A listening socket whose accept queue is full, so that a further connect
// gets no answer at all (its SYN is dropped).  Used to test connect
// time-outs without leaving the loopback interface.
class UnansweredListener {
 public:
  UnansweredListener();
  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/f"; }

 private:
  platform::Socket listener_;
  std::vector<platform::Socket> fillers_;
  uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
uint16_t RefusingPort();

// A complete "HTTP/1.1 <status>" response with a Content-Length header (and
// `extra_headers`, each ending in CRLF) and `body`.
std::string Response(const std::string& status, const std::string& body,
                     const std::string& extra_headers = "");

// `n` bytes of a recognisable pattern (byte i is (i * 7 + i / 251) & 0xFF).
std::string PatternBytes(size_t n, size_t first = 0);

// The exact GET text the client sends for `path` (already encoded, without
// its leading "/") to `host`.
std::string ExpectedGet(const std::string& path, const std::string& host,
                        const std::string& range);

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since).count();
}

}  // namespace brelvane::test
