// SPDX-License-Identifier: MIT
#include "http/scripted_server.h"

#include <algorithm>

namespace brelvane::test {
namespace {

constexpr int kSliceMs = 20;
using platform::InetAddress;
using platform::NetCode;

}  // namespace

CannedReply Stall(std::string bytes, size_t stall_at) {
  return CannedReply{std::move(bytes), CannedReply::After::kStall, stall_at};
}

ScriptedServer::ScriptedServer(std::vector<ConnectionScript> script) : script_(std::move(script)) {
  InetAddress local;
  if (!platform::Socket::ListenTcp(InetAddress::Loopback(0), 16, &listener_).ok() ||
      !listener_.LocalAddress(&local).ok()) {
    return;
  }
  port_ = local.port;
  for (ConnectionScript& connection : script_) {
    for (CannedReply& reply : connection) reply.bytes = Expand(reply.bytes);
  }
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ScriptedServer::Expand(const std::string& text) const {
  std::string out = text;
  const std::string port = std::to_string(port_);
  for (size_t at = out.find("{PORT}"); at != std::string::npos; at = out.find("{PORT}", at)) {
    out.replace(at, 6, port);
  }
  return out;
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

void ScriptedServer::Serve() {
  size_t next = 0;
  while (!stop_.load()) {
    platform::Socket connection;
    platform::NetStatus status = listener_.Accept(kSliceMs, &connection, nullptr);
    if (status.code == NetCode::kTimeout) continue;
    if (!status.ok()) return;
    connections_.fetch_add(1);
    (void)connection.SetNoDelay(true);  // pieces go out as scripted
    if (next < script_.size()) ServeConnection(connection, script_[next++]);
    connection.Shutdown();
    connection.Close();
  }
}

void ScriptedServer::ServeConnection(platform::Socket& connection,
                                     const ConnectionScript& replies) {
  for (const CannedReply& reply : replies) {
    if (!ReadRequest(connection)) return;
    SendReply(connection, reply);
    if (reply.after == CannedReply::After::kClose) return;
    if (reply.after == CannedReply::After::kStall || reply.stall_at != std::string::npos) {
      char buffer[4096];  // silent until the client closes
      size_t count = 0;
      while (!stop_.load()) {
        platform::NetStatus status = connection.Receive(buffer, sizeof(buffer), kSliceMs, &count);
        if (!status.ok() && status.code != NetCode::kTimeout) return;
      }
      return;
    }
  }
  // Script done: a further request on this connection is recorded and
  // answered by closing.
  (void)ReadRequest(connection);
}

bool ScriptedServer::ReadRequest(platform::Socket& connection) {
  std::string request;
  size_t wanted = std::string::npos;  // header and body length, once the header is in
  char buffer[4096];
  while (!stop_.load() && request.size() < wanted) {
    size_t count = 0;
    platform::NetStatus status = connection.Receive(buffer, sizeof(buffer), kSliceMs, &count);
    if (status.code == NetCode::kTimeout) continue;
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

void ScriptedServer::SendReply(platform::Socket& connection, const CannedReply& reply) {
  const size_t length = std::min(reply.bytes.size(), reply.stall_at);
  const size_t piece = reply.piece_bytes > 0 ? reply.piece_bytes : length;
  for (size_t at = 0; at < length && !stop_.load(); at += piece) {
    const size_t n = std::min(piece, length - at);
    if (!connection.Send(reply.bytes.data() + at, n, 5000, nullptr).ok()) return;
    if (at + n < length) std::this_thread::sleep_for(std::chrono::milliseconds(reply.piece_pause_ms));
  }
}

UnansweredListener::UnansweredListener() {
  InetAddress local;
  if (!platform::Socket::ListenTcp(InetAddress::Loopback(0), 0, &listener_).ok() ||
      !listener_.LocalAddress(&local).ok()) {
    return;
  }
  // Fill the accept queue until a connect goes unanswered.
  for (int i = 0; i < 64; ++i) {
    platform::Socket filler;
    platform::NetStatus status = platform::Socket::ConnectTcp(local, 200, &filler);
    if (status.code == NetCode::kTimeout) {
      port_ = local.port;
      return;
    }
    if (!status.ok()) return;
    fillers_.push_back(std::move(filler));
  }
}

uint16_t RefusingPort() {
  platform::Socket listener;
  InetAddress local;
  if (!platform::Socket::ListenTcp(InetAddress::Loopback(0), 1, &listener).ok() ||
      !listener.LocalAddress(&local).ok()) {
    return 1;
  }
  return local.port;  // nothing listens there once `listener` is gone
}

std::string Response(const std::string& status, const std::string& body,
                     const std::string& extra_headers) {
  return "HTTP/1.1 " + status + "\r\nServer: scripted\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + extra_headers + "\r\n" + body;
}

std::string PatternBytes(size_t n, size_t first) {
  std::string out(n, '\0');
  for (size_t i = 0, k = first; i < n; ++i, ++k) out[i] = static_cast<char>((k * 7 + k / 251) & 0xFF);
  return out;
}

std::string ExpectedGet(const std::string& path, const std::string& host,
                        const std::string& range) {
  return "GET /" + path + " HTTP/1.1\r\nHost: " + host +
         "\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nReferer: http://" +
         host + "/\r\nRange: bytes=" + range + "\r\nConnection: Keep-Alive\r\n\r\n";
}

}  // namespace brelvane::test
