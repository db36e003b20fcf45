// SPDX-License-Identifier: MIT
// NetTransport: the socket layer of the peer-to-peer network.  It owns every
// socket of it: the datagram link to the main server (ServerLink), the TCP
// listening socket and the table of TCP peer connections (ConnectionTable),
// the threads that receive, accept, keep the server link alive and sweep idle
// connections, the batch connector, the two bandwidth limiters and the
// traffic totals.  Complete messages (and pieces of data messages) go up to
// the ITransportListener; the engine sends through IServerLink/IPeerLink.
//
// Life: Initialise (application start: local address, ports, the server
// link with its receive thread, the listener, the one-shot UPnP thread),
// Start ("Starting TCPServer": keep-alive, housekeeping and accept threads),
// Stop (ends and joins every thread, deletes a UPnP mapping), Close (closes
// every socket, zeroes totals and limiter windows).  docs/transport.md has
// the threads, the receive path and the lock order.
//
// Threads: ServerRecv, KeepAlive, TcpAccept, Housekeeping and the one-shot
// UPnP thread: five at most, however many peers connect.  All receives and
// all closes run on Housekeeping, which polls the non-blocking peer sockets
// (epoll) and wakes at least every 1000 ms.
//
// Limits.  At most 512 connections in the table, and no accept or connect
// beyond MaxConnectNum (map plus dead connections).  Upload and download
// limits are bytes per second; a limit of 0 means "no limit" (transfers are
// counted, never held back), so no configured value can make a transfer
// wait forever.
//
// Thread safety: every public operation may be called from any thread, except
// Initialise/Start/Stop/Close, which the application calls in that order from
// one thread at a time.  SetListener and SetHeaderSource belong before Start.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/config.h"
#include "nat/upnp_nat.h"
#include "p2p/net/bandwidth_limiter.h"
#include "p2p/net/connection_table.h"
#include "p2p/net/links.h"
#include "p2p/net/net_clock.h"
#include "p2p/net/server_link.h"
#include "platform/datagram.h"
#include "platform/socket.h"

namespace brelvane {

class NetTransport : public IServerLink, public IPeerLink {
 public:
  struct Options {
    NetClock* clock = nullptr;  // null: the platform clocks; must outlive the transport
    int keep_alive_period_ms = 2000;
    int housekeeping_wake_ms = 1000;
    // A send that finds no room in the socket's send buffer for this long
    // gives up (the peer stopped reading).
    int send_timeout_ms = 10000;
    UPnPNAT::Options upnp;
  };

  // A connection silent for more than this many seconds is closed (reason 3).
  static constexpr uint32_t kIdleSeconds = 270;
  static constexpr size_t kSendPieceBytes = 4096;
  static constexpr int kListenBacklog = 32;
  static constexpr int kBindAttempts = 1000;
  static constexpr uint16_t kPortStep = 37;
  static constexpr size_t kConnectPollGroup = 64;

  // `settings` must outlive the transport.
  explicit NetTransport(ConfigSettings& settings);
  NetTransport(ConfigSettings& settings, const Options& options);
  ~NetTransport() override;
  NetTransport(const NetTransport&) = delete;
  NetTransport& operator=(const NetTransport&) = delete;

  // Where messages, closes and server datagrams go (may be null: dropped).
  // A call already under way when the listener is replaced still finishes
  // on the old one, so a listener must stay alive until Stop() returned.
  void SetListener(ITransportListener* listener);
  // The header of every keep-alive message (IHeaderSource::NextHeader).
  void SetHeaderSource(std::function<wire::MsgHeader()> source);

  // Chooses the local address, derives TcpListenPort from it, makes the first
  // configured main server current, binds the server link (UdpProt, +37 per
  // failed bind) and starts its receive thread, binds the listener
  // (TcpListenPort, +37 per failure) and starts the UPnP thread unless UPnP
  // is off.  The final ports are stored back into the settings.  False when
  // no UDP or no TCP port could be bound.
  [[nodiscard]] bool Initialise();
  // Starts the keep-alive, housekeeping and accept threads.
  void Start();
  void Stop();
  void Close();

  // IServerLink.
  int64_t SendToServer(const uint8_t* data, size_t length) override;
  void SetServerDestination(const std::string& ip, uint16_t port) override;

  // IPeerLink.  Pieces go through the upload limiter before they are sent
  // when `throttled`; every piece counts in the upload window.
  int64_t SendToPeer(const PeerAddress& peer, const uint8_t* data, size_t length, bool throttled,
                     const std::atomic<bool>* stop) override;
  void ClosePeer(const PeerAddress& peer) override;
  // Queues every connection for closing (forced re-login).
  void CloseAllPeers();

  struct ConnectOutcome {
    std::vector<std::pair<size_t, PeerAddress>> established;  // input index, peer
    std::vector<size_t> failed;                               // input indexes
  };
  // Connects to up to MaxConnectNum - ConnectionCount() of `targets` at once
  // with non-blocking sockets.  Waits until all are connected, or until
  // `soft_ms` have passed and at least one is, or until `hard_ms` have passed,
  // or until `*stop` (may be null) turns true.  Connected sockets join the
  // table; the rest, and those whose connect completed with an error, are
  // reported failed.  Returns the number established.
  int ConnectBatch(std::span<const PeerAddress> targets, const std::atomic<bool>* stop, int soft_ms,
                   int hard_ms, ConnectOutcome* out);

  // The limiters follow the configured limits; call after a change.
  void RestartUploadWindow();
  void RestartDownloadWindow();

  BandwidthLimiter& download_limiter() { return download_; }
  BandwidthLimiter& upload_limiter() { return upload_; }

  uint64_t TotalSent() const { return bytes_sent_.load(std::memory_order_relaxed); }
  uint64_t TotalReceived() const { return download_.HttpBytes() + download_.P2PBytes(); }
  uint64_t ReceivedHttp() const { return download_.HttpBytes(); }
  uint64_t ReceivedP2P() const { return download_.P2PBytes(); }
  // Connections in the table plus closed ones not yet freed (ConnectNum).
  int32_t ConnectionCount() const { return static_cast<int32_t>(table_.Count()); }
  uint32_t ServerMessagesSent() const { return server_link_.messages_sent(); }

  // Valid after Initialise.
  const std::string& local_ip_text() const { return local_ip_text_; }
  uint32_t local_ip() const { return local_ip_; }
  uint16_t tcp_listen_port() const { return tcp_port_; }
  uint16_t udp_port() const { return udp_port_; }
  PeerAddress main_server() const { return server_link_.destination(); }

  // (h * 987984643) mod 65536 mod 10001 + 10000, h the low 16 bits of `ip`.
  static uint16_t DeriveListenPort(uint32_t ip);
  // The source address toward `server` (ip 0: none), else the host name's
  // address; 127.0.0.1 when that is a loopback address or nothing answers.
  static uint32_t ChooseLocalAddress(const PeerAddress& server);

 private:
  void Notify(const PeerAddress& peer, CloseReason reason);
  bool OpenListener();
  void AcceptMain();
  void HousekeepingMain();
  void UpnpMain();
  void SweepIdle();
  void StartReceiving(const PeerAddress& address);
  void OnReadable(uint64_t id);
  // Housekeeping: takes the connection out of the poller and the table.
  void CloseConnection(const PeerAddress& address);
  bool Stopping(const std::atomic<bool>* stop) const;

  ConfigSettings& settings_;
  const Options options_;
  NetClock& clock_;
  std::atomic<ITransportListener*> listener_{nullptr};
  ServerLink server_link_;
  platform::Socket listen_socket_;
  ConnectionTable table_;
  platform::Poller poller_;
  BandwidthLimiter download_;
  BandwidthLimiter upload_;
  std::atomic<uint64_t> bytes_sent_{0};
  std::atomic<bool> stop_{false};
  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  std::thread accept_thread_;
  std::thread housekeeping_thread_;
  std::thread upnp_thread_;
  UPnPNAT nat_;                      // the UPnP thread's, then Stop's after the join
  std::atomic<bool> mapped_{false};  // a port mapping was added
  uint32_t local_ip_ = 0x7F000001u;  // written by Initialise only
  std::string local_ip_text_ = "127.0.0.1";
  uint16_t tcp_port_ = 0;  // written by Initialise only
  uint16_t udp_port_ = 0;
  // Housekeeping thread only (set by Initialise before it starts):
  uint32_t last_sweep_ = 0;
  std::unordered_map<uint64_t, PeerConnection*> watched_;  // poller key -> connection
};

}  // namespace brelvane
