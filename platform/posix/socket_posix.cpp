// SPDX-License-Identifier: MIT
#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace brelvane::platform {
namespace {

NetStatus Fail(const char* op) {
  int err = errno;
  return NetStatus{NetCode::kError, err, op};
}

NetStatus TimedOut(const char* op) { return NetStatus{NetCode::kTimeout, 0, op}; }

sockaddr_in ToSockaddr(const InetAddress& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(address.port);
  sa.sin_addr.s_addr = htonl(address.ip);
  return sa;
}

InetAddress FromSockaddr(const sockaddr_in& sa) {
  return InetAddress{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Time left of a wait that started at `start_ms` with limit `timeout_ms`
// (negative = no limit, answered as -1 for poll()).
int Remaining(int timeout_ms, int64_t start_ms) {
  if (timeout_ms < 0) return -1;
  int64_t left = timeout_ms - (NowMs() - start_ms);
  return left > 0 ? static_cast<int>(left) : 0;
}

// Polls one descriptor for `events`.  kOk when ready (including error and
// hang-up conditions, which the following call reports), kTimeout otherwise.
NetStatus PollFor(int fd, short events, int timeout_ms, const char* op) {
  int64_t start = NowMs();
  for (;;) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, Remaining(timeout_ms, start));
    if (n > 0) return NetStatus::Ok();
    if (n == 0) return TimedOut(op);
    if (errno != EINTR) return Fail(op);
  }
}

int NewSocket(int type) {
  return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

}  // namespace

std::string InetAddress::IpText() const {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                (ip >> 8) & 0xFF, ip & 0xFF);
  return text;
}

std::string InetAddress::ToString() const { return IpText() + ":" + std::to_string(port); }

bool ParseIpv4(const std::string& text, uint32_t* ip) {
  // The C call would read only up to a NUL: "192.168.1.1\0..." is no address.
  if (text.find('\0') != std::string::npos) return false;
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *ip = ntohl(a.s_addr);
  return true;
}

std::string NetStatus::ToString() const {
  switch (code) {
    case NetCode::kOk:
      return "ok";
    case NetCode::kTimeout:
      return std::string(op) + ": timed out";
    case NetCode::kClosed:
      return std::string(op) + ": connection closed";
    case NetCode::kNotFound:
      return std::string(op) + ": host not found";
    case NetCode::kError:
      break;
  }
  char text[128];
  std::snprintf(text, sizeof(text), "%s: %s (%d)", op, std::strerror(os_error), os_error);
  return text;
}

NetStatus ResolveIpv4(const std::string& name, uint16_t port, std::vector<InetAddress>* out) {
  out->clear();
  // A name with a NUL would be resolved as its text before the NUL.
  if (name.empty() || name.find('\0') != std::string::npos) {
    return NetStatus{NetCode::kNotFound, 0, "getaddrinfo"};
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    return NetStatus{rc == EAI_SYSTEM ? NetCode::kError : NetCode::kNotFound,
                     rc == EAI_SYSTEM ? errno : 0, "getaddrinfo"};
  }
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
    InetAddress a = FromSockaddr(*reinterpret_cast<const sockaddr_in*>(ai->ai_addr));
    a.port = port;
    out->push_back(a);
  }
  ::freeaddrinfo(list);
  if (out->empty()) return NetStatus{NetCode::kNotFound, 0, "getaddrinfo"};
  return NetStatus::Ok();
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

NetStatus Socket::ConnectTcp(const InetAddress& to, int timeout_ms, Socket* out,
                             const std::atomic<bool>* stop) {
  out->Close();
  int fd = NewSocket(SOCK_STREAM);
  if (fd < 0) return Fail("socket");
  Socket s(fd);
  sockaddr_in sa = ToSockaddr(to);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return Fail("connect");
    int64_t start = NowMs();
    for (;;) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        return NetStatus{NetCode::kClosed, 0, "connect"};
      }
      int left = Remaining(timeout_ms, start);
      int slice = (stop != nullptr && (left < 0 || left > kStopCheckMs)) ? kStopCheckMs : left;
      NetStatus waited = PollFor(fd, POLLOUT, slice, "connect");
      if (waited.ok()) break;
      if (waited.code != NetCode::kTimeout || slice == left) return waited;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Fail("getsockopt");
    if (err != 0) return NetStatus{NetCode::kError, err, "connect"};
  }
  int one = 1;
  // Requests are small and answered at once; do not let Nagle hold them.
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  *out = std::move(s);
  return NetStatus::Ok();
}

NetStatus Socket::ListenTcp(const InetAddress& local, int backlog, Socket* out) {
  out->Close();
  int fd = NewSocket(SOCK_STREAM);
  if (fd < 0) return Fail("socket");
  Socket s(fd);
  int one = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa = ToSockaddr(local);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) return Fail("bind");
  if (::listen(fd, backlog) != 0) return Fail("listen");
  *out = std::move(s);
  return NetStatus::Ok();
}

NetStatus Socket::Accept(int timeout_ms, Socket* out, InetAddress* peer) const {
  out->Close();
  if (!valid()) return NetStatus{NetCode::kClosed, 0, "accept"};
  int fd = static_cast<int>(handle_);
  int64_t start = NowMs();
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int c = ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c >= 0) {
      *out = Socket(c);
      if (peer != nullptr) *peer = FromSockaddr(sa);
      return NetStatus::Ok();
    }
    if (errno == EINVAL) return NetStatus{NetCode::kClosed, 0, "accept"};  // shut down
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail("accept");
    NetStatus waited = PollFor(fd, POLLIN, Remaining(timeout_ms, start), "accept");
    if (!waited.ok()) return waited;
  }
}

NetStatus Socket::Send(const void* data, size_t length, int timeout_ms, size_t* sent) const {
  size_t done = 0;
  NetStatus status = NetStatus::Ok();
  if (!valid()) status = NetStatus{NetCode::kClosed, 0, "send"};
  int fd = static_cast<int>(handle_);
  int64_t start = NowMs();
  const char* bytes = static_cast<const char*>(data);
  while (status.ok() && done < length) {
    ssize_t n = ::send(fd, bytes + done, length - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A caller that will not wait learns it without another system call.
      status = timeout_ms == 0 ? TimedOut("send")
                               : PollFor(fd, POLLOUT, Remaining(timeout_ms, start), "send");
      continue;
    }
    status = (n < 0 && errno == EPIPE) ? NetStatus{NetCode::kClosed, EPIPE, "send"} : Fail("send");
  }
  if (sent != nullptr) *sent = done;
  return status;
}

NetStatus Socket::Receive(void* buffer, size_t capacity, int timeout_ms, size_t* received) const {
  *received = 0;
  if (!valid()) return NetStatus{NetCode::kClosed, 0, "recv"};
  int fd = static_cast<int>(handle_);
  int64_t start = NowMs();
  for (;;) {
    ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return NetStatus::Ok();
    }
    if (n == 0) return NetStatus{NetCode::kClosed, 0, "recv"};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail("recv");
    if (timeout_ms == 0) return TimedOut("recv");
    NetStatus waited = PollFor(fd, POLLIN, Remaining(timeout_ms, start), "recv");
    if (!waited.ok()) return waited;
  }
}

NetStatus Socket::WaitReadable(int timeout_ms) const {
  if (!valid()) return NetStatus{NetCode::kClosed, 0, "poll"};
  return PollFor(static_cast<int>(handle_), POLLIN, timeout_ms, "poll");
}

NetStatus Socket::LocalAddress(InetAddress* out) const {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Fail("getsockname");
  }
  *out = FromSockaddr(sa);
  return NetStatus::Ok();
}

NetStatus Socket::PeerAddress(InetAddress* out) const {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getpeername(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Fail("getpeername");
  }
  *out = FromSockaddr(sa);
  return NetStatus::Ok();
}

NetStatus Socket::SetNoDelay(bool no_delay) const {
  int value = no_delay ? 1 : 0;
  if (::setsockopt(static_cast<int>(handle_), IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) !=
      0) {
    return Fail("setsockopt");
  }
  return NetStatus::Ok();
}

NetStatus Socket::SetBufferSizes(int receive_bytes, int send_bytes) const {
  int fd = static_cast<int>(handle_);
  if (receive_bytes > 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof(receive_bytes)) != 0) {
    return Fail("setsockopt");
  }
  if (send_bytes > 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof(send_bytes)) != 0) {
    return Fail("setsockopt");
  }
  return NetStatus::Ok();
}

void Socket::Shutdown() const {
  if (valid()) (void)::shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

void Socket::Close() {
  if (valid()) {
    ::close(static_cast<int>(handle_));
    handle_ = kInvalid;
  }
}

}  // namespace brelvane::platform
