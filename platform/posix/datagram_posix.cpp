// SPDX-License-Identifier: MIT
#include "platform/datagram.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace brelvane::platform {
namespace {

NetStatus Fail(const char* op) { return NetStatus{NetCode::kError, errno, op}; }

sockaddr_in ToSockaddr(const InetAddress& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(address.port);
  sa.sin_addr.s_addr = htonl(address.ip);
  return sa;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int Remaining(int timeout_ms, int64_t start_ms) {
  if (timeout_ms < 0) return -1;
  int64_t left = timeout_ms - (NowMs() - start_ms);
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

DatagramSocket& DatagramSocket::operator=(DatagramSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

NetStatus DatagramSocket::Open(const InetAddress& local, DatagramSocket* out) {
  out->Close();
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail("socket");
  sockaddr_in sa = ToSockaddr(local);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    NetStatus status = Fail("bind");
    ::close(fd);
    return status;
  }
  out->handle_ = fd;
  return NetStatus::Ok();
}

NetStatus DatagramSocket::SendTo(const InetAddress& to, const void* data, size_t length) const {
  if (!valid()) return NetStatus{NetCode::kClosed, 0, "sendto"};
  sockaddr_in sa = ToSockaddr(to);
  for (;;) {
    ssize_t n = ::sendto(static_cast<int>(handle_), data, length, MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    if (n >= 0) return NetStatus::Ok();
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // The send queue is full: wait briefly for room, as a blocking socket would.
      pollfd p{static_cast<int>(handle_), POLLOUT, 0};
      if (::poll(&p, 1, 1000) > 0) continue;
    }
    return Fail("sendto");
  }
}

NetStatus DatagramSocket::ReceiveFrom(void* buffer, size_t capacity, int timeout_ms,
                                      size_t* received, InetAddress* from) const {
  *received = 0;
  if (!valid()) return NetStatus{NetCode::kClosed, 0, "recvfrom"};
  int fd = static_cast<int>(handle_);
  int64_t start = NowMs();
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    ssize_t n = ::recvfrom(fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n >= 0) {
      *received = static_cast<size_t>(n);
      if (from != nullptr) *from = InetAddress{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
      return NetStatus::Ok();
    }
    if (errno == EINTR) continue;
    // A refused earlier send (ICMP port unreachable) is reported here; it says
    // nothing about the next datagram.
    if (errno == ECONNREFUSED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail("recvfrom");
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, Remaining(timeout_ms, start));
    if (ready == 0) return NetStatus{NetCode::kTimeout, 0, "recvfrom"};
    if (ready < 0 && errno != EINTR) return Fail("poll");
    // Shut down by another thread: the wait ends with a hang-up.
    if (ready > 0 && (p.revents & POLLHUP) != 0) return NetStatus{NetCode::kClosed, 0, "recvfrom"};
  }
}

NetStatus DatagramSocket::SetBroadcast(bool on) const {
  int value = on ? 1 : 0;
  if (::setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_BROADCAST, &value, sizeof(value)) != 0)
    return Fail("setsockopt");
  return NetStatus::Ok();
}

NetStatus DatagramSocket::SetBufferSizes(int receive_bytes, int send_bytes) const {
  const int fd = static_cast<int>(handle_);
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

NetStatus DatagramSocket::SetMulticastInterface(uint32_t ip) const {
  in_addr a{};
  a.s_addr = htonl(ip);
  if (::setsockopt(static_cast<int>(handle_), IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof(a)) != 0)
    return Fail("setsockopt");
  return NetStatus::Ok();
}

NetStatus DatagramSocket::LocalAddress(InetAddress* out) const {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return Fail("getsockname");
  *out = InetAddress{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
  return NetStatus::Ok();
}

void DatagramSocket::Shutdown() const {
  if (valid()) (void)::shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

void DatagramSocket::Close() {
  if (valid()) {
    ::close(static_cast<int>(handle_));
    handle_ = kInvalid;
  }
}

NetStatus RouteSourceAddress(const InetAddress& to, uint32_t* ip) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail("socket");
  sockaddr_in sa = ToSockaddr(to);
  NetStatus status = NetStatus::Ok();
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    status = Fail("connect");
  } else {
    sockaddr_in local{};
    socklen_t len = sizeof(local);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
      status = Fail("getsockname");
    else
      *ip = ntohl(local.sin_addr.s_addr);
  }
  ::close(fd);
  return status;
}

NetStatus HostNameAddress(uint32_t* ip) {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) return Fail("gethostname");
  std::vector<InetAddress> found;
  NetStatus status = ResolveIpv4(name, 0, &found);
  if (!status.ok()) return status;
  *ip = found.front().ip;
  return NetStatus::Ok();
}

NetStatus StartConnect(const InetAddress& to, Socket* out) {
  out->Close();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail("socket");
  Socket s = Socket::Adopt(fd);
  sockaddr_in sa = ToSockaddr(to);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    return Fail("connect");
  }
  int one = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  *out = std::move(s);
  return NetStatus::Ok();
}

NetStatus PollWritable(std::span<const Socket* const> sockets, int timeout_ms,
                       std::vector<bool>* ready) {
  ready->assign(sockets.size(), false);
  std::vector<pollfd> fds(sockets.size());
  for (size_t i = 0; i < sockets.size(); ++i)
    fds[i] = pollfd{static_cast<int>(sockets[i]->native_handle()), POLLOUT, 0};
  int n;
  do {
    n = ::poll(fds.data(), fds.size(), timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail("poll");
  if (n == 0) return NetStatus{NetCode::kTimeout, 0, "poll"};
  for (size_t i = 0; i < fds.size(); ++i)
    (*ready)[i] = (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
  return NetStatus::Ok();
}

NetStatus FinishConnect(const Socket& socket) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(static_cast<int>(socket.native_handle()), SOL_SOCKET, SO_ERROR, &err, &len) !=
      0)
    return Fail("getsockopt");
  if (err != 0) return NetStatus{NetCode::kError, err, "connect"};
  return NetStatus::Ok();
}

Poller::Poller()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (epoll_ >= 0 && wake_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ~uint64_t{0};
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) != 0) {
      ::close(wake_);
      wake_ = -1;
    }
  }
}

Poller::~Poller() {
  if (wake_ >= 0) ::close(wake_);
  if (epoll_ >= 0) ::close(epoll_);
}

NetStatus Poller::Add(const Socket& socket, uint64_t key) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = key;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, static_cast<int>(socket.native_handle()), &ev) != 0)
    return Fail("epoll_ctl");
  return NetStatus::Ok();
}

void Poller::Remove(const Socket& socket) {
  if (socket.valid())
    (void)::epoll_ctl(epoll_, EPOLL_CTL_DEL, static_cast<int>(socket.native_handle()), nullptr);
}

NetStatus Poller::Wait(int timeout_ms, size_t max_events, std::vector<Event>* out) {
  out->clear();
  std::vector<epoll_event> events(max_events == 0 ? 1 : max_events);
  int n;
  do {
    n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail("epoll_wait");
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == ~uint64_t{0}) {
      uint64_t count;
      while (::read(wake_, &count, sizeof(count)) > 0) {
      }
      continue;
    }
    const uint32_t e = events[i].events;
    out->push_back(Event{events[i].data.u64, (e & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0,
                         (e & (EPOLLERR | EPOLLHUP)) != 0});
  }
  return NetStatus::Ok();
}

void Poller::Wake() {
  uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof(one));
}

}  // namespace brelvane::platform
