// SPDX-License-Identifier: MIT
#include "http/scripted_server.h"

#include <algorithm>
#include <chrono>

namespace brelvane::test {
namespace {

constexpr int kSliceMs = 20;

size_t FindContentLength(const std::string& header) {
  size_t at = header.find("Content-Length: ");
  if (at == std::string::npos) return 0;
  return static_cast<size_t>(std::stoul(header.substr(at + 16)));
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<ConnectionScript> script) : script_(std::move(script)) {
  using platform::InetAddress;
  if (!platform::Socket::ListenTcp(InetAddress::Loopback(0), 16, &listener_).ok()) return;
  InetAddress local;
  if (!listener_.LocalAddress(&local).ok()) return;
  port_ = local.port;
  for (ConnectionScript& connection : script_) {
    for (CannedReply& reply : connection) reply.bytes = Expand(reply.bytes);
  }
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() { Stop(); }

void ScriptedServer::Stop() {
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
    at += port.size();
  }
  return out;
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

bool ScriptedServer::SleepUnlessStopped(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_.load()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, kSliceMs)));
  }
  return false;
}

void ScriptedServer::Serve() {
  size_t next = 0;
  while (!stop_.load()) {
    platform::Socket connection;
    platform::NetStatus status = listener_.Accept(kSliceMs, &connection, nullptr);
    if (!status.ok()) {
      if (status.code == platform::NetCode::kTimeout) continue;
      return;
    }
    connections_.fetch_add(1);
    (void)connection.SetNoDelay(true);  // pieces go out as scripted
    if (next < script_.size()) {
      ServeConnection(connection, script_[next++]);
    }
    connection.Shutdown();
    connection.Close();
  }
}

void ScriptedServer::ServeConnection(platform::Socket& connection,
                                     const ConnectionScript& replies) {
  for (const CannedReply& reply : replies) {
    std::string request;
    if (!ReadRequest(connection, &request)) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(request);
    }
    SendReply(connection, reply);
    if (reply.after == CannedReply::After::kClose) return;
    if (reply.after == CannedReply::After::kStall || reply.stall_at != std::string::npos) {
      WaitForClose(connection);
      return;
    }
  }
  // Script done: a further request on this connection is recorded and
  // answered by closing.
  std::string request;
  if (ReadRequest(connection, &request)) {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(request);
  }
}

bool ScriptedServer::ReadRequest(platform::Socket& connection, std::string* request) {
  request->clear();
  size_t header_end = std::string::npos;
  size_t wanted = 0;
  char buffer[4096];
  while (!stop_.load()) {
    if (header_end != std::string::npos && request->size() >= header_end + wanted) return true;
    size_t count = 0;
    platform::NetStatus status = connection.Receive(buffer, sizeof(buffer), kSliceMs, &count);
    if (status.code == platform::NetCode::kTimeout) continue;
    if (!status.ok()) return false;
    request->append(buffer, count);
    if (header_end == std::string::npos) {
      size_t at = request->find("\r\n\r\n");
      if (at != std::string::npos) {
        header_end = at + 4;
        wanted = FindContentLength(request->substr(0, header_end));
      }
    }
  }
  return false;
}

void ScriptedServer::SendReply(platform::Socket& connection, const CannedReply& reply) {
  if (reply.delay_ms > 0 && !SleepUnlessStopped(reply.delay_ms)) return;
  size_t length = std::min(reply.bytes.size(), reply.stall_at);
  size_t piece = reply.piece_bytes > 0 ? reply.piece_bytes : length;
  for (size_t at = 0; at < length; at += piece) {
    size_t n = std::min(piece, length - at);
    if (!connection.Send(reply.bytes.data() + at, n, 5000, nullptr).ok()) return;
    if (reply.piece_pause_ms > 0 && at + n < length && !SleepUnlessStopped(reply.piece_pause_ms)) {
      return;
    }
  }
}

void ScriptedServer::WaitForClose(platform::Socket& connection) {
  char buffer[4096];
  while (!stop_.load()) {
    size_t count = 0;
    platform::NetStatus status = connection.Receive(buffer, sizeof(buffer), kSliceMs, &count);
    if (!status.ok() && status.code != platform::NetCode::kTimeout) return;
  }
}

UnansweredListener::UnansweredListener() {
  using platform::InetAddress;
  if (!platform::Socket::ListenTcp(InetAddress::Loopback(0), 0, &listener_).ok()) return;
  InetAddress local;
  if (!listener_.LocalAddress(&local).ok()) return;
  // Fill the accept queue until a connect goes unanswered.
  for (int i = 0; i < 64; ++i) {
    platform::Socket filler;
    platform::NetStatus status = platform::Socket::ConnectTcp(local, 200, &filler);
    if (status.code == platform::NetCode::kTimeout) {
      port_ = local.port;
      return;
    }
    if (!status.ok()) return;
    fillers_.push_back(std::move(filler));
  }
}

std::string Response(const std::string& status, const std::string& body,
                     const std::string& extra_headers) {
  return "HTTP/1.1 " + status + "\r\nServer: scripted\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + extra_headers + "\r\n" + body;
}

std::string PatternBytes(size_t n, size_t first) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    size_t k = first + i;
    out[i] = static_cast<char>((k * 7 + k / 251) & 0xFF);
  }
  return out;
}

std::string ExpectedGet(const std::string& path, const std::string& host,
                        const std::string& range) {
  return "GET /" + path + " HTTP/1.1\r\nHost: " + host +
         "\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nReferer: http://" +
         host + "/\r\nRange: bytes=" + range + "\r\nConnection: Keep-Alive\r\n\r\n";
}

}  // namespace brelvane::test
