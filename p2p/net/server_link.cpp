// SPDX-License-Identifier: MIT
#include "p2p/net/server_link.h"

#include <array>
#include <chrono>

#include "base/file_log.h"
#include "platform/thread.h"

namespace brelvane {
namespace {

uint64_t Pack(const PeerAddress& a) { return (uint64_t{a.ip} << 16) | a.port; }
PeerAddress Unpack(uint64_t v) {
  return PeerAddress{static_cast<uint32_t>(v >> 16), static_cast<uint16_t>(v)};
}

}  // namespace

ServerLink::ServerLink(NetClock& clock, const std::atomic<ITransportListener*>& listener)
    : clock_(clock), listener_(listener) {}

ServerLink::~ServerLink() { Close(); }

bool ServerLink::Open(uint16_t* port) {
  Stop();
  socket_.Close();
  stop_.store(false);
  uint16_t candidate = *port;
  for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
    platform::NetStatus status =
        platform::DatagramSocket::Open(platform::InetAddress{0, candidate}, &socket_);
    if (status.ok()) {
      platform::InetAddress bound;
      if (candidate == 0 && socket_.LocalAddress(&bound).ok()) candidate = bound.port;
      *port = candidate;
      return true;
    }
    Log2("udp bind to port %u failed: %s", candidate, status.ToString().c_str());
    candidate = static_cast<uint16_t>(candidate + kPortStep);
  }
  return false;
}

void ServerLink::StartReceiving() {
  if (!receive_thread_.joinable() && socket_.valid())
    receive_thread_ = std::thread(&ServerLink::ReceiveMain, this);
}

void ServerLink::StartKeepAlive(int period_ms) {
  if (!keep_alive_thread_.joinable() && socket_.valid())
    keep_alive_thread_ = std::thread(&ServerLink::KeepAliveMain, this, period_ms);
}

void ServerLink::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_.store(true);
  }
  wake_.notify_all();
  socket_.Shutdown();
  if (receive_thread_.joinable()) receive_thread_.join();
  if (keep_alive_thread_.joinable()) keep_alive_thread_.join();
}

void ServerLink::Close() {
  Stop();
  socket_.Close();
  destination_.store(0);
  messages_sent_.store(0);
  last_send_.store(0);
}

int64_t ServerLink::SendToServer(const uint8_t* data, size_t length) {
  messages_sent_.fetch_add(1, std::memory_order_relaxed);
  last_send_.store(clock_.NowSeconds(), std::memory_order_relaxed);
  const uint64_t packed = destination_.load(std::memory_order_relaxed);
  int64_t result = -1;
  if (packed != 0) {
    platform::NetStatus status = socket_.SendTo(Unpack(packed), data, length);
    if (status.ok()) {
      result = static_cast<int64_t>(length);
    } else {
      Log2("send to server %s failed: %s", Unpack(packed).ToString().c_str(),
           status.ToString().c_str());
    }
  }
  return result;
}

void ServerLink::SetServerDestination(const std::string& ip, uint16_t port) {
  PeerAddress to{0, port};
  if (!platform::ParseIpv4(ip, &to.ip) || to.ip == 0) {
    Log1("main server address \"%s\" is not an IPv4 address", ip.c_str());
    destination_.store(0);
    return;
  }
  destination_.store(Pack(to));
}

void ServerLink::set_header_source(HeaderSource source) {
  std::lock_guard<std::mutex> lock(mu_);
  header_source_ = std::move(source);
}

PeerAddress ServerLink::destination() const { return Unpack(destination_.load()); }

void ServerLink::ReceiveMain() {
  platform::SetCurrentThreadName("ServerRecv");
  std::array<uint8_t, kReceiveBytes> buffer;
  while (!stop_.load(std::memory_order_relaxed)) {
    size_t received = 0;
    PeerAddress from;
    platform::NetStatus status =
        socket_.ReceiveFrom(buffer.data(), buffer.size(), kReceiveSliceMs, &received, &from);
    if (status.code == platform::NetCode::kTimeout) continue;
    if (!status.ok()) {
      if (stop_.load(std::memory_order_relaxed)) break;
      Log1("server link receive failed: %s", status.ToString().c_str());
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait_for(lock, std::chrono::milliseconds(kReceiveSliceMs),
                     [this] { return stop_.load(); });
      continue;
    }
    const uint64_t packed = destination_.load(std::memory_order_relaxed);
    if (received < wire::kHeaderSize || packed == 0 || Pack(from) != packed) {
      Log4("datagram of %zu bytes from %s dropped", received, from.ToString().c_str());
      continue;
    }
    ITransportListener* listener = listener_.load(std::memory_order_acquire);
    if (listener != nullptr) listener->OnServerDatagram(buffer.data(), received);
  }
}

void ServerLink::KeepAliveMain(int period_ms) {
  platform::SetCurrentThreadName("KeepAlive");
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (wake_.wait_for(lock, std::chrono::milliseconds(period_ms), [this] { return stop_.load(); }))
      break;
    const int64_t quiet = static_cast<int64_t>(clock_.NowSeconds()) -
                          static_cast<int64_t>(last_send_.load(std::memory_order_relaxed));
    if (quiet < static_cast<int64_t>(kKeepAliveAfterSeconds)) continue;
    const HeaderSource source = header_source_;
    lock.unlock();
    const wire::MsgHeader header = source ? source() : wire::MsgHeader{};
    const std::vector<uint8_t> message = wire::BuildHeaderOnly(header, wire::kKeepAlive);
    SendToServer(message.data(), message.size());
    lock.lock();
  }
}

}  // namespace brelvane
