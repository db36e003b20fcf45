// SPDX-License-Identifier: MIT
// ServerLink: the datagram link to the current main server, with its two
// threads.
//
//   receive thread    one 512-byte datagram at a time, in waits of 1000 ms
//                     that check the stop flag; a datagram of at least 20
//                     bytes whose source is the current destination (address
//                     and port) goes to ITransportListener::OnServerDatagram,
//                     anything else is dropped unseen (spoofed or stray
//                     datagrams never reach the protocol code)
//   keep-alive thread every period (2000 ms), sends CSMessageKeepAlive (105)
//                     when 15 calendar seconds or more have passed since
//                     anything was last sent to the server
//
// Every send counts one message and stamps the last-send time, whether the
// datagram left or not.  The keep-alive's header (message index, user id,
// token) comes from the header source the engine sets; without one it is a
// logged-out header (index 0, user -1, token 0).
//
// Thread safety: every operation may be called from any thread, except
// Open/Start*/Stop/Close, which the transport calls from one thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "p2p/net/links.h"
#include "p2p/net/net_clock.h"
#include "p2p/wire/wire_format.h"
#include "platform/datagram.h"

namespace brelvane {

class ServerLink : public IServerLink {
 public:
  using HeaderSource = std::function<wire::MsgHeader()>;

  static constexpr size_t kReceiveBytes = 512;
  static constexpr int kReceiveSliceMs = 1000;
  static constexpr uint32_t kKeepAliveAfterSeconds = 15;
  static constexpr int kBindAttempts = 1000;
  static constexpr uint16_t kPortStep = 37;

  // `clock` and `listener` (the transport's listener slot) must outlive the link.
  ServerLink(NetClock& clock, const std::atomic<ITransportListener*>& listener);
  ~ServerLink() override;
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Opens the UDP socket bound to `*port` on every address (0: any free
  // port), adding kPortStep after each failed bind, kBindAttempts binds in
  // all.  `*port` receives the port bound.
  [[nodiscard]] bool Open(uint16_t* port);
  void StartReceiving();
  void StartKeepAlive(int period_ms);
  // Ends both threads and waits for them.
  void Stop();
  // Stop(), then closes the socket and forgets counters and destination.
  void Close();

  int64_t SendToServer(const uint8_t* data, size_t length) override;
  // An unparsable address leaves no destination: sends fail, nothing is
  // accepted.
  void SetServerDestination(const std::string& ip, uint16_t port) override;

  void set_header_source(HeaderSource source);
  PeerAddress destination() const;
  uint32_t messages_sent() const { return messages_sent_.load(std::memory_order_relaxed); }
  uint32_t last_send() const { return last_send_.load(std::memory_order_relaxed); }

 private:
  void ReceiveMain();
  void KeepAliveMain(int period_ms);

  NetClock& clock_;
  const std::atomic<ITransportListener*>& listener_;
  platform::DatagramSocket socket_;
  // ip << 16 | port; 0 when there is no destination.
  std::atomic<uint64_t> destination_{0};
  std::atomic<uint32_t> messages_sent_{0};
  std::atomic<uint32_t> last_send_{0};
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::condition_variable wake_;
  HeaderSource header_source_;  // guarded by mu_
  std::thread receive_thread_;
  std::thread keep_alive_thread_;
};

}  // namespace brelvane
