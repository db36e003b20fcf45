// SPDX-License-Identifier: MIT
#include "p2p/net/net_transport.h"

#include <algorithm>
#include <chrono>

#include "base/console_log.h"
#include "base/file_log.h"
#include "platform/thread.h"

namespace brelvane {
namespace {

constexpr uint32_t kLoopbackNet = 0x7F000000u;
constexpr uint32_t kLoopback = 0x7F000001u;
constexpr size_t kMaxEvents = 64;
constexpr int kReadsPerWake = 8;
// After a failed accept (out of descriptors, say) the listener stays
// readable; wait this long before the next try instead of spinning.
constexpr int kAcceptBackoffMs = 100;
// Longest single wait of the batch connector, so that its deadlines are
// seen on time.
constexpr int kConnectSliceMs = 10;

bool IsLoopback(uint32_t ip) { return (ip & 0xFF000000u) == kLoopbackNet; }

}  // namespace

NetTransport::NetTransport(ConfigSettings& settings) : NetTransport(settings, Options{}) {}

NetTransport::NetTransport(ConfigSettings& settings, const Options& options)
    : settings_(settings),
      options_(options),
      clock_(options.clock != nullptr ? *options.clock : NetClock::Real()),
      server_link_(clock_, listener_),
      download_(settings.DownloadLimit.load(), options.clock),
      upload_(settings.UploadLimit.load(), options.clock),
      nat_(options.upnp) {}

NetTransport::~NetTransport() {
  Stop();
  Close();
}

void NetTransport::SetListener(ITransportListener* listener) {
  listener_.store(listener, std::memory_order_release);
}

void NetTransport::SetHeaderSource(std::function<wire::MsgHeader()> source) {
  server_link_.set_header_source(std::move(source));
}

uint16_t NetTransport::DeriveListenPort(uint32_t ip) {
  const uint32_t h = ip & 0xFFFFu;
  const uint32_t mixed = (h * 987984643u) % 65536u;  // 0x3AE37303
  return static_cast<uint16_t>(mixed % 10001u + 10000u);
}

uint32_t NetTransport::ChooseLocalAddress(const PeerAddress& server) {
  uint32_t ip = 0;
  if (server.ip != 0 && platform::RouteSourceAddress(server, &ip).ok() && ip != 0) return ip;
  if (platform::HostNameAddress(&ip).ok() && ip != 0 && !IsLoopback(ip)) return ip;
  return kLoopback;
}

bool NetTransport::Initialise() {
  stop_.store(false);
  mapped_.store(false);
  last_sweep_ = clock_.NowSeconds();
  download_.set_limit(settings_.DownloadLimit.load());
  upload_.set_limit(settings_.UploadLimit.load());
  download_.Reset();
  upload_.Reset();
  bytes_sent_.store(0);

  if (!settings_.MainServerIps.empty() && !settings_.MainServerPorts.empty()) {
    settings_.SetMainServerIp(settings_.MainServerIps.front());
    settings_.MainServerPort = settings_.MainServerPorts.front();
  }
  server_link_.SetServerDestination(settings_.GetMainServerIp(), settings_.MainServerPort.load());

  local_ip_ = ChooseLocalAddress(server_link_.destination());
  local_ip_text_ = PeerAddress{local_ip_, 0}.IpText();
  settings_.TcpListenPort = DeriveListenPort(local_ip_);
  Log3("local address %s, main server %s", local_ip_text_.c_str(),
       server_link_.destination().ToString().c_str());

  uint16_t udp_port = settings_.UdpProt.load();
  if (!server_link_.Open(&udp_port)) {
    Log0("no UDP port could be bound (from %u, %d attempts)", settings_.UdpProt.load(),
         ServerLink::kBindAttempts);
    return false;
  }
  settings_.UdpProt = udp_port_ = udp_port;
  server_link_.StartReceiving();

  if (!OpenListener()) return false;
  Log3("UDP port %u, TCP listen port %u", udp_port, settings_.TcpListenPort.load());

  if (settings_.UseUPnP && !upnp_thread_.joinable())
    upnp_thread_ = std::thread(&NetTransport::UpnpMain, this);
  return true;
}

bool NetTransport::OpenListener() {
  uint16_t port = settings_.TcpListenPort.load();
  for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
    platform::NetStatus status = platform::Socket::ListenTcp(platform::InetAddress{0, port},
                                                             kListenBacklog, &listen_socket_);
    if (status.ok()) {
      settings_.TcpListenPort = tcp_port_ = port;
      return true;
    }
    Log2("tcp listen on port %u failed: %s", port, status.ToString().c_str());
    port = static_cast<uint16_t>(port + kPortStep);
  }
  Log0("no TCP listen port could be bound (from %u, %d attempts)", settings_.TcpListenPort.load(),
       kBindAttempts);
  return false;
}

void NetTransport::Start() {
  if (!listen_socket_.valid() || housekeeping_thread_.joinable()) return;
  server_link_.StartKeepAlive(options_.keep_alive_period_ms);
  housekeeping_thread_ = std::thread(&NetTransport::HousekeepingMain, this);
  accept_thread_ = std::thread(&NetTransport::AcceptMain, this);
}

void NetTransport::Stop() {
  {
    std::lock_guard<std::mutex> lock(stop_mu_);
    stop_.store(true);
  }
  stop_cv_.notify_all();
  server_link_.Stop();
  listen_socket_.Shutdown();
  poller_.Wake();
  download_.Stop();
  upload_.Stop();
  for (std::thread* t : {&accept_thread_, &housekeeping_thread_, &upnp_thread_})
    if (t->joinable()) t->join();
  if (mapped_.exchange(false)) {
    if (!nat_.DeletePortMapping(tcp_port_, "TCP"))
      Log2("UPnPNAT::DeletePortMapping Error : %s", nat_.LastError().c_str());
  }
}

void NetTransport::Close() {
  server_link_.Close();
  listen_socket_.Close();
  watched_.clear();
  table_.Clear();
  download_.Reset();
  upload_.Reset();
  bytes_sent_.store(0);
}

int64_t NetTransport::SendToServer(const uint8_t* data, size_t length) {
  return server_link_.SendToServer(data, length);
}

void NetTransport::SetServerDestination(const std::string& ip, uint16_t port) {
  server_link_.SetServerDestination(ip, port);
}

void NetTransport::RestartUploadWindow() {
  upload_.set_limit(settings_.UploadLimit.load());
  upload_.Restart();
}

void NetTransport::RestartDownloadWindow() {
  download_.set_limit(settings_.DownloadLimit.load());
  download_.Restart();
}

bool NetTransport::Stopping(const std::atomic<bool>* stop) const {
  return stop != nullptr && stop->load(std::memory_order_relaxed);
}

void NetTransport::Notify(const PeerAddress& peer, CloseReason reason) {
  Log4("connection %s closed: %s", peer.ToString().c_str(), CloseReasonText(reason));
  ITransportListener* listener = listener_.load(std::memory_order_acquire);
  if (listener != nullptr) listener->OnPeerClosed(peer, reason);
}

// --- sending ---

int64_t NetTransport::SendToPeer(const PeerAddress& peer, const uint8_t* data, size_t length,
                                 bool throttled, const std::atomic<bool>* stop) {
  ConnectionTable::Lease connection = table_.Acquire(peer);
  if (!connection) return -1;
  size_t done = 0;
  while (done < length) {
    if (Stopping(stop)) return -1;
    const size_t piece = std::min(length - done, kSendPieceBytes);
    if (throttled) {
      upload_.Charge(piece, TrafficSource::kP2P, stop);
      if (Stopping(stop)) return -1;
    }
    size_t sent = 0;
    const platform::NetStatus status =
        connection->socket.Send(data + done, piece, options_.send_timeout_ms, &sent);
    if (sent > 0) {
      done += sent;
      bytes_sent_.fetch_add(sent, std::memory_order_relaxed);
      connection->last_activity.store(clock_.NowSeconds(), std::memory_order_relaxed);
      if (!throttled) upload_.Count(sent, TrafficSource::kP2P);
    }
    if (!status.ok()) {
      Log2("send to %s failed: %s", peer.ToString().c_str(), status.ToString().c_str());
      if (status.code != platform::NetCode::kTimeout) return -1;
      return done > 0 ? static_cast<int64_t>(done) : kSendTimedOut;
    }
  }
  return static_cast<int64_t>(done);
}

void NetTransport::ClosePeer(const PeerAddress& peer) {
  table_.QueueClose(peer);
  poller_.Wake();
}

void NetTransport::CloseAllPeers() {
  table_.QueueCloseAll();
  poller_.Wake();
}

// --- accepting and connecting ---

void NetTransport::AcceptMain() {
  platform::SetCurrentThreadName("TcpAccept");
  while (!stop_.load()) {
    platform::Socket socket;
    PeerAddress peer;
    const platform::NetStatus status = listen_socket_.Accept(-1, &socket, &peer);
    if (status.code == platform::NetCode::kClosed) break;
    if (!status.ok()) {
      Log1("accept fail. code: %d", status.os_error);
      std::unique_lock<std::mutex> lock(stop_mu_);
      stop_cv_.wait_for(lock, std::chrono::milliseconds(kAcceptBackoffMs),
                        [this] { return stop_.load(); });
      continue;
    }
    if (ConnectionCount() >= settings_.MaxConnectNum) {
      Log4("connection from %s refused: %d connections", peer.ToString().c_str(),
           ConnectionCount());
      socket.Shutdown();
      continue;  // closed as `socket` goes
    }
    (void)socket.SetNoDelay(true);
    if (!table_.Register(&socket, peer, clock_.NowSeconds())) {
      Log4("connection from %s refused: table full or address known", peer.ToString().c_str());
      socket.Shutdown();
      continue;
    }
    poller_.Wake();
  }
}

int NetTransport::ConnectBatch(std::span<const PeerAddress> targets, const std::atomic<bool>* stop,
                               int soft_ms, int hard_ms, ConnectOutcome* out) {
  out->established.clear();
  out->failed.clear();
  const int64_t room = static_cast<int64_t>(settings_.MaxConnectNum) - ConnectionCount();
  const size_t count = std::min<size_t>(targets.size(), room > 0 ? static_cast<size_t>(room) : 0);
  if (count == 0) return 0;

  struct Attempt {
    size_t index;
    platform::Socket socket;
    bool writable = false;
  };
  std::vector<Attempt> attempts;
  attempts.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    platform::Socket socket;
    const platform::NetStatus status = platform::StartConnect(targets[i], &socket);
    if (!status.ok()) {
      if (std::string_view(status.op) == "socket")
        Log1("socket fail. code: %d", status.os_error);
      else
        Log1("connect fail. code: %d", status.os_error);
      out->failed.push_back(i);
      continue;
    }
    attempts.push_back(Attempt{i, std::move(socket)});
  }

  const uint64_t start = clock_.NowMs();
  size_t writable = 0;
  std::vector<const platform::Socket*> group;
  std::vector<Attempt*> group_attempts;
  std::vector<bool> ready;
  while (writable < attempts.size() && !Stopping(stop)) {
    const uint64_t elapsed = clock_.NowMs() - start;
    if (elapsed >= static_cast<uint64_t>(hard_ms)) break;
    if (writable > 0 && elapsed >= static_cast<uint64_t>(soft_ms)) break;
    const uint64_t next_deadline = writable > 0 ? soft_ms : hard_ms;
    const int slice =
        static_cast<int>(std::min<uint64_t>(next_deadline - elapsed, kConnectSliceMs));
    // Groups of at most kConnectPollGroup; only the last one waits.
    size_t waiting = attempts.size() - writable;
    for (size_t i = 0; i < attempts.size();) {
      group.clear();
      group_attempts.clear();
      for (; i < attempts.size() && group.size() < kConnectPollGroup; ++i) {
        if (attempts[i].writable) continue;
        group.push_back(&attempts[i].socket);
        group_attempts.push_back(&attempts[i]);
      }
      if (group.empty()) break;
      waiting -= group.size();
      if (!platform::PollWritable(group, waiting == 0 ? slice : 0, &ready).ok()) continue;
      for (size_t k = 0; k < group.size(); ++k) {
        if (!ready[k]) continue;
        group_attempts[k]->writable = true;
        ++writable;
      }
    }
  }

  for (Attempt& attempt : attempts) {
    PeerAddress peer;
    bool connected = attempt.writable;
    if (connected) {
      const platform::NetStatus status = platform::FinishConnect(attempt.socket);
      if (!status.ok()) {
        Log2("connect to %s failed: %s", targets[attempt.index].ToString().c_str(),
             status.ToString().c_str());
        connected = false;
      } else if (!attempt.socket.PeerAddress(&peer).ok()) {
        connected = false;
      }
    }
    if (!connected) {
      attempt.socket.Shutdown();
      out->failed.push_back(attempt.index);
      continue;
    }
    if (!table_.Register(&attempt.socket, peer, clock_.NowSeconds())) {
      attempt.socket.Shutdown();
      continue;
    }
    out->established.emplace_back(attempt.index, peer);
    poller_.Wake();
  }
  std::sort(out->failed.begin(), out->failed.end());
  return static_cast<int>(out->established.size());
}

// --- the housekeeping thread: receives, closes, the idle sweep ---

void NetTransport::HousekeepingMain() {
  platform::SetCurrentThreadName("Housekeeping");
  std::vector<platform::Poller::Event> events;
  while (!stop_.load()) {
    SweepIdle();
    for (const PeerAddress& address : table_.TakeToClose()) CloseConnection(address);
    table_.FreeDead();
    for (const PeerAddress& address : table_.TakePending()) StartReceiving(address);
    // With received data held back, look without waiting first: the data
    // is handed on as soon as nothing more is there to read.
    ITransportListener* listener = listener_.load(std::memory_order_acquire);
    const bool holding = listener != nullptr && listener->HoldsReceivedData();
    const platform::NetStatus status =
        poller_.Wait(holding ? 0 : options_.housekeeping_wake_ms, kMaxEvents, &events);
    if (!status.ok()) {
      Log1("peer poll failed: %s", status.ToString().c_str());
      if (holding) listener->OnReceiveIdle();
      std::unique_lock<std::mutex> lock(stop_mu_);
      stop_cv_.wait_for(lock, std::chrono::milliseconds(options_.housekeeping_wake_ms),
                        [this] { return stop_.load(); });
      continue;
    }
    if (holding && events.empty()) listener->OnReceiveIdle();
    for (const platform::Poller::Event& event : events) OnReadable(event.key);
  }
}

void NetTransport::SweepIdle() {
  const uint32_t now = clock_.NowSeconds();
  const int64_t since = static_cast<int64_t>(now) - static_cast<int64_t>(last_sweep_);
  if (since <= std::max(settings_.SweepIntervalSec, 0) && since >= 0) return;
  for (const PeerAddress& address : table_.IdleLongerThan(now, kIdleSeconds)) {
    Notify(address, CloseReason::kIdle);
    CloseConnection(address);
  }
  last_sweep_ = now;
}

void NetTransport::StartReceiving(const PeerAddress& address) {
  PeerConnection* c = table_.Find(address);
  if (c == nullptr || c->watched) return;
  const platform::NetStatus status = poller_.Add(c->socket, c->id);
  if (!status.ok()) {
    Log1("receive on %s cannot start: %s", address.ToString().c_str(), status.ToString().c_str());
    Notify(address, CloseReason::kReceiveFailed);
    CloseConnection(address);
    return;
  }
  c->watched = true;
  watched_[c->id] = c;
}

void NetTransport::OnReadable(uint64_t id) {
  auto it = watched_.find(id);
  if (it == watched_.end()) return;  // closed earlier in this round
  PeerConnection* c = it->second;
  const PeerAddress address = c->address;
  ReceiveBuffer& buffer = c->receive;
  // A few reads per wake while bytes keep coming: fewer polls per byte, and
  // still a fair turn for every other ready connection.
  for (int read = 0; read < kReadsPerWake; ++read) {
    size_t received = 0;
    const size_t room = buffer.room();
    const platform::NetStatus status = c->socket.Receive(buffer.space(), room, 0, &received);
    if (status.code == platform::NetCode::kTimeout) return;
    if (!status.ok()) {
      Notify(address, CloseReason::kRemoteClosed);
      CloseConnection(address);
      return;
    }
    c->last_activity.store(clock_.NowSeconds(), std::memory_order_relaxed);
    // The whole buffer content is charged, bytes kept from earlier reads too.
    download_.Charge(buffer.kept() + received, TrafficSource::kP2P, &stop_);
    ITransportListener* listener = listener_.load(std::memory_order_acquire);
    const bool good = buffer.Take(received, [&](const uint8_t* message, size_t length) {
      if (listener != nullptr) listener->OnPeerMessage(address, message, length);
    });
    if (!good) {
      Notify(address, CloseReason::kBadMessage);
      CloseConnection(address);
      return;
    }
    // A short read drained the socket.  (A close the listener asked for
    // waits for the next round of the loop.)
    if (received < room || stop_.load(std::memory_order_relaxed)) return;
  }
}

void NetTransport::CloseConnection(const PeerAddress& address) {
  PeerConnection* c = table_.Find(address);
  if (c == nullptr) return;
  if (c->watched) {
    poller_.Remove(c->socket);
    watched_.erase(c->id);
    c->watched = false;
  }
  (void)table_.Remove(address);
}

// --- the one-shot UPnP thread ---

void NetTransport::UpnpMain() {
  platform::SetCurrentThreadName("UPnP");
  nat_.Init(5);
  if (!nat_.Discovery()) {
    ConsoleLog::Get().Print(ConsoleLevel::Warning,
                            "UPnPNAT::Discovery Error : " + nat_.LastError());
    return;
  }
  const uint16_t port = tcp_port_;
  if (!nat_.AddPortMapping(local_ip_text_, port, port, "TCP", settings_.UPnPText)) {
    ConsoleLog::Get().Print(ConsoleLevel::Warning,
                            "UPnPNAT::AddPortMapping Error : " + nat_.LastError());
    return;
  }
  mapped_.store(true);
  ConsoleLog::Get().Print(ConsoleLevel::Info, "UPnPNAT mapping succ");
}

}  // namespace brelvane
