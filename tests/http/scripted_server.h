// SPDX-License-Identifier: MIT
// ScriptedServer: a loopback HTTP server for tests that plays canned replies.
//
// It listens on 127.0.0.1 with an ephemeral port and serves the connections
// of its script one after the other on one thread.  For every canned reply
// it first reads one request (header, plus a body when the request carries a
// Content-Length) and records its exact bytes, then sends the reply and does
// what the reply says afterwards.  "{PORT}" in a reply is replaced by the
// server's port, so redirects can point back at it.  Connections beyond the
// script are accepted, counted and closed.  A listener that cannot be opened
// fails the test.  Also the other loopback helpers of the socket, HTTP and
// UPnP tests.
//
// Thread safety: requests() and connections() may be read from any thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
  // With kStall: only this many bytes are sent.
  size_t stall_at = std::string::npos;
  // When > 0 the bytes go out in pieces of this size, `piece_pause_ms` apart.
  size_t piece_bytes = 0;
  int piece_pause_ms = 0;
};

using ConnectionScript = std::vector<CannedReply>;

// `bytes`, then silence from byte `stall_at` on (all of them by default).
inline CannedReply Stall(std::string bytes, size_t stall_at = std::string::npos) {
  return CannedReply{std::move(bytes), CannedReply::After::kStall, stall_at};
}

// The port of a new listener on 127.0.0.1, or 0 (and a test failure).
inline uint16_t Listen(int backlog, platform::Socket* listener) {
  platform::InetAddress local;
  if (platform::Socket::ListenTcp(platform::InetAddress::Loopback(0), backlog, listener).ok() &&
      listener->LocalAddress(&local).ok()) {
    return local.port;
  }
  ADD_FAILURE() << "no listener on 127.0.0.1";
  return 0;
}

class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<ConnectionScript> script)
      : script_(std::move(script)), port_(Listen(16, &listener_)) {
    for (ConnectionScript& connection : script_) {
      for (CannedReply& reply : connection) reply.bytes = Expand(reply.bytes);
    }
    if (port_ != 0) thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path_and_query.
  std::string Url(const std::string& path) const { return Expand("http://127.0.0.1:{PORT}" + path); }
  // Replaces every "{PORT}" in `text` with the port.
  std::string Expand(std::string text) const {
    for (size_t at = text.find("{PORT}"); at != std::string::npos; at = text.find("{PORT}", at)) {
      text.replace(at, 6, std::to_string(port_));
    }
    return text;
  }

  // Every request read so far, in order.
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  int connections() const { return connections_.load(); }

 private:
  static constexpr int kSliceMs = 20;

  void Serve() {
    for (size_t next = 0; !stop_.load();) {
      platform::Socket connection;
      const platform::NetStatus status = listener_.Accept(kSliceMs, &connection, nullptr);
      if (status.code == platform::NetCode::kTimeout) continue;
      if (!status.ok()) return;
      connections_.fetch_add(1);
      (void)connection.SetNoDelay(true);  // pieces go out as scripted
      // Once its script is done, a further request on a connection is
      // recorded and answered by closing; a connection beyond the script is
      // closed at once.
      if (next < script_.size() && Play(connection, script_[next++])) (void)ReadRequest(connection);
      connection.Shutdown();
      connection.Close();
    }
  }

  // Answers a request with each reply in turn; false when the connection is done.
  bool Play(platform::Socket& connection, const ConnectionScript& replies) {
    for (const CannedReply& reply : replies) {
      if (!ReadRequest(connection)) return false;
      const size_t length = std::min(reply.bytes.size(), reply.stall_at);
      const size_t piece = reply.piece_bytes > 0 ? reply.piece_bytes : length;
      for (size_t at = 0; at < length && !stop_.load(); at += piece) {
        const size_t n = std::min(piece, length - at);
        if (!connection.Send(reply.bytes.data() + at, n, 5000, nullptr).ok()) return false;
        if (at + n < length) std::this_thread::sleep_for(std::chrono::milliseconds(reply.piece_pause_ms));
      }
      if (reply.after == CannedReply::After::kClose) return false;
      if (reply.after == CannedReply::After::kStall) {  // silent until the client closes
        while (ReadRequest(connection)) {}
        return false;
      }
    }
    return true;
  }

  // Reads one request; false when the client closed or the server stops.
  bool ReadRequest(platform::Socket& connection) {
    std::string request;
    size_t wanted = std::string::npos;  // header and body length, once the header is in
    char buffer[4096];
    while (!stop_.load() && request.size() < wanted) {
      size_t count = 0;
      const platform::NetStatus status = connection.Receive(buffer, sizeof(buffer), kSliceMs, &count);
      if (status.code == platform::NetCode::kTimeout) continue;
      if (!status.ok()) return false;
      request.append(buffer, count);
      const size_t end = request.find("\r\n\r\n");
      if (wanted == std::string::npos && end != std::string::npos) {
        const size_t at = request.substr(0, end).find("Content-Length: ");
        wanted = end + 4 + (at == std::string::npos ? 0 : std::stoul(request.substr(at + 16)));
      }
    }
    if (request.size() < wanted) return false;
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(request);
    return true;
  }

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
  UnansweredListener() : port_(Listen(0, &listener_)) {
    // Fill the accept queue until a connect goes unanswered.
    for (int i = 0; i < 64 && port_ != 0; ++i) {
      platform::Socket filler;
      const auto status = platform::Socket::ConnectTcp(platform::InetAddress::Loopback(port_), 200, &filler);
      if (status.code == platform::NetCode::kTimeout) return;
      if (!status.ok()) break;
      fillers_.push_back(std::move(filler));
    }
    ADD_FAILURE() << "every connect to the full listener was answered";
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/f"; }

 private:
  platform::Socket listener_;
  std::vector<platform::Socket> fillers_;
  uint16_t port_ = 0;
};

// A complete "HTTP/1.1 <status>" response with a Content-Length header (and
// `extra_headers`, each ending in CRLF) and `body`.
inline std::string Response(const std::string& status, const std::string& body,
                            const std::string& extra_headers = "") {
  return "HTTP/1.1 " + status + "\r\nServer: scripted\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + extra_headers + "\r\n" + body;
}

// `n` bytes of a recognisable pattern (byte i is (i * 7 + i / 251) & 0xFF).
inline std::string PatternBytes(size_t n, size_t first = 0) {
  std::string out(n, '\0');
  for (size_t i = 0, k = first; i < n; ++i, ++k) out[i] = static_cast<char>((k * 7 + k / 251) & 0xFF);
  return out;
}

// The exact GET text the client sends for `path` (already encoded, without
// its leading "/") to `host`.
inline std::string ExpectedGet(const std::string& path, const std::string& host, const std::string& range) {
  return "GET /" + path + " HTTP/1.1\r\nHost: " + host +
         "\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nReferer: http://" + host +
         "/\r\nRange: bytes=" + range + "\r\nConnection: Keep-Alive\r\n\r\n";
}

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now() - since).count();
}

}  // namespace brelvane::test
