// SPDX-License-Identifier: MIT
// IPv4 TCP sockets behind one small seam: name resolution, connect with a
// time limit, listen/accept, send and receive with time limits, shutdown and
// close.  The HTTP client and the peer transport build on this; datagram
// sockets will join it under the same naming (OpenUdp, SendTo, ReceiveFrom).
//
// Every socket is non-blocking underneath; waits go through poll() and take a
// time limit in milliseconds: a negative limit waits without end, 0 does not
// wait at all.  Failures come back as a NetStatus value (code, operating
// system error number, failing operation) and never as exceptions; they become
// text only when somebody logs them.  SIGPIPE is never raised by a send.
//
// Thread safety: distinct Socket objects are independent.  One Socket is used
// by one thread at a time, except Shutdown(), which another thread may call
// to wake a thread blocked in a wait on the same socket (that thread then sees
// kClosed or kError and closes the socket itself).
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brelvane::platform {

// An IPv4 socket address, both numbers in host order (127.0.0.1 is
// 0x7F000001).
struct InetAddress {
  uint32_t ip = 0;
  uint16_t port = 0;

  // "a.b.c.d".
  std::string IpText() const;
  // "a.b.c.d:port".
  std::string ToString() const;

  static InetAddress Loopback(uint16_t port) { return InetAddress{0x7F000001u, port}; }

  friend bool operator==(const InetAddress&, const InetAddress&) = default;
  friend auto operator<=>(const InetAddress&, const InetAddress&) = default;
};

// Parses a dotted IPv4 text ("10.0.0.1") into a host-order address; a text
// with a NUL character anywhere is refused.
[[nodiscard]] bool ParseIpv4(const std::string& text, uint32_t* ip);

enum class NetCode : uint8_t {
  kOk = 0,
  kTimeout,   // the time limit passed before the operation could proceed
  kClosed,    // the peer closed the connection in order (receive saw end of stream),
              // or the socket was shut down locally
  kNotFound,  // a host name did not resolve to any IPv4 address
  kError,     // any other failure; os_error tells which
};

struct NetStatus {
  NetCode code = NetCode::kOk;
  int os_error = 0;        // errno (or the Winsock code) of the failure, 0 when none
  const char* op = "";     // the failing operation: "connect", "recv", ...

  bool ok() const { return code == NetCode::kOk; }
  // "connect: Connection refused (111)", "recv: timed out", "ok".
  std::string ToString() const;

  static NetStatus Ok() { return NetStatus{}; }
};

// Resolves `name` (a host name or dotted address) to its IPv4 stream
// addresses, in the order the resolver returns them, each with `port`.
// kNotFound when nothing resolves.
[[nodiscard]] NetStatus ResolveIpv4(const std::string& name, uint16_t port,
                                    std::vector<InetAddress>* out);

class Socket {
 public:
  Socket() = default;
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Opens a TCP connection to `to`, waiting at most `timeout_ms` for it to be
  // established.  When `stop` is given, the wait also ends (kClosed) within
  // kStopCheckMs of it turning true.  On failure `out` is left closed.
  [[nodiscard]] static NetStatus ConnectTcp(const InetAddress& to, int timeout_ms, Socket* out,
                                            const std::atomic<bool>* stop = nullptr);
  static constexpr int kStopCheckMs = 20;

  // A listening TCP socket bound to `local` (port 0 picks a free port; read
  // it back with LocalAddress).  SO_REUSEADDR is set so that restarts do not
  // wait for TIME_WAIT.
  [[nodiscard]] static NetStatus ListenTcp(const InetAddress& local, int backlog, Socket* out);

  // Takes one connection from a listening socket, waiting at most
  // `timeout_ms`.  `peer` may be null.  A listening socket shut down by
  // another thread answers kClosed.
  [[nodiscard]] NetStatus Accept(int timeout_ms, Socket* out, InetAddress* peer) const;

  // Sends all `length` bytes, waiting at most `timeout_ms` in total for room
  // in the send buffer.  `sent` (may be null) receives the count written,
  // which is short of `length` only when the result is not kOk.
  [[nodiscard]] NetStatus Send(const void* data, size_t length, int timeout_ms, size_t* sent) const;

  // Receives at most `capacity` bytes, waiting at most `timeout_ms` for the
  // first of them.  kOk with *received > 0 on data; kClosed when the peer has
  // closed; kTimeout when nothing arrived in time.
  [[nodiscard]] NetStatus Receive(void* buffer, size_t capacity, int timeout_ms,
                                  size_t* received) const;

  // Waits at most `timeout_ms` until a receive (or accept) would not block.
  [[nodiscard]] NetStatus WaitReadable(int timeout_ms) const;

  [[nodiscard]] NetStatus LocalAddress(InetAddress* out) const;
  [[nodiscard]] NetStatus PeerAddress(InetAddress* out) const;

  // Turns Nagle's algorithm off (true) or on.  ConnectTcp turns it off:
  // requests are small and must go out at once.
  [[nodiscard]] NetStatus SetNoDelay(bool no_delay) const;

  // Sets SO_RCVBUF / SO_SNDBUF (mostly for tests that need a stalled peer).
  [[nodiscard]] NetStatus SetBufferSizes(int receive_bytes, int send_bytes) const;

  // Shuts both directions down; a thread waiting on this socket wakes up.
  // Harmless on a closed socket.  Safe to call from another thread.
  void Shutdown() const;

  // Closes the socket (without shutdown, so queued data still goes out).
  void Close();

  bool valid() const { return handle_ != kInvalid; }

  // For the rest of platform/ only (the poller, non-blocking connects).
  intptr_t native_handle() const { return handle_; }
  static Socket Adopt(intptr_t handle) { return Socket(handle); }

 private:
  static constexpr intptr_t kInvalid = -1;
  explicit Socket(intptr_t handle) : handle_(handle) {}

  intptr_t handle_ = kInvalid;
};

}  // namespace brelvane::platform
