// SPDX-License-Identifier: MIT
// Datagram (UDP) sockets, the local-address queries of the peer network, and
// readiness polling over many stream sockets.  Same conventions as
// platform/socket.h: non-blocking descriptors underneath, close-on-exec,
// waits with a time limit in milliseconds (negative: no limit), failures as
// NetStatus values.
//
// Thread safety: distinct objects are independent.  A DatagramSocket may be
// sent on from several threads while one thread receives; Shutdown() may be
// called from any thread to wake a receiver.  A Poller is used by one thread,
// except Wake(), which any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/socket.h"

namespace brelvane::platform {

class DatagramSocket {
 public:
  DatagramSocket() = default;
  ~DatagramSocket() { Close(); }
  DatagramSocket(DatagramSocket&& other) noexcept : handle_(other.handle_) {
    other.handle_ = kInvalid;
  }
  DatagramSocket& operator=(DatagramSocket&& other) noexcept;
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  // Opens a UDP socket bound to `local` (ip 0: every address; port 0: any
  // free port, read it back with LocalAddress).  On failure `out` is closed
  // and the status names "bind" (port taken: os_error EADDRINUSE).
  [[nodiscard]] static NetStatus Open(const InetAddress& local, DatagramSocket* out);

  // Sends one datagram.  kError with the OS error when it was not queued.
  [[nodiscard]] NetStatus SendTo(const InetAddress& to, const void* data, size_t length) const;

  // Receives one datagram of at most `capacity` bytes (a longer one is cut),
  // waiting at most `timeout_ms`.  kTimeout when none arrived; kClosed after
  // Shutdown().
  [[nodiscard]] NetStatus ReceiveFrom(void* buffer, size_t capacity, int timeout_ms,
                                      size_t* received, InetAddress* from) const;

  [[nodiscard]] NetStatus SetBroadcast(bool on) const;
  // Sets SO_RCVBUF / SO_SNDBUF (values <= 0 leave one alone); the system caps
  // them at its own maximum.  A server's receive buffer absorbs bursts.
  [[nodiscard]] NetStatus SetBufferSizes(int receive_bytes, int send_bytes) const;
  // Multicast datagrams leave through the interface of `ip` (host order).
  [[nodiscard]] NetStatus SetMulticastInterface(uint32_t ip) const;
  [[nodiscard]] NetStatus LocalAddress(InetAddress* out) const;

  // Wakes a thread waiting in ReceiveFrom (it answers kClosed).
  void Shutdown() const;
  void Close();
  bool valid() const { return handle_ != kInvalid; }

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
};

// The source address the kernel would use to reach `to` (a UDP socket is
// connected to it and asked for its name; nothing is sent).
[[nodiscard]] NetStatus RouteSourceAddress(const InetAddress& to, uint32_t* ip);

// The first IPv4 address the host's own name resolves to.
[[nodiscard]] NetStatus HostNameAddress(uint32_t* ip);

// Outgoing TCP connects that do not wait: StartConnect begins one (the socket
// is returned at once, connected or still connecting); PollWritable waits for
// several at once; FinishConnect tells whether one succeeded.
[[nodiscard]] NetStatus StartConnect(const InetAddress& to, Socket* out);
// Waits at most `timeout_ms` until at least one of `sockets` is writable (or
// failed); `ready[i]` is set for each such socket.  kTimeout when none is.
[[nodiscard]] NetStatus PollWritable(std::span<const Socket* const> sockets, int timeout_ms,
                                     std::vector<bool>* ready);
// kOk when the connect of a writable socket succeeded; its error otherwise.
[[nodiscard]] NetStatus FinishConnect(const Socket& socket);

// Readiness polling over many stream sockets (epoll underneath), with a
// wake-up that any thread may trigger.
class Poller {
 public:
  struct Event {
    uint64_t key;
    bool readable;  // data, end of stream, or an error to be read
    bool failed;    // error or hang-up reported
  };

  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // False when the poller could not be created.
  bool valid() const { return epoll_ >= 0 && wake_ >= 0; }
  // Watches `socket` for readability under `key`.  The socket must stay open
  // until Remove (closing it removes it as well).
  [[nodiscard]] NetStatus Add(const Socket& socket, uint64_t key);
  void Remove(const Socket& socket);
  // Waits at most `timeout_ms` for events; `out` is replaced by them (at most
  // `max_events`).  A Wake() ends the wait early with no event for it.
  [[nodiscard]] NetStatus Wait(int timeout_ms, size_t max_events, std::vector<Event>* out);
  void Wake();

 private:
  int epoll_ = -1;
  int wake_ = -1;
};

}  // namespace brelvane::platform
