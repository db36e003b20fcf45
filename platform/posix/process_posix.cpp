// SPDX-License-Identifier: MIT
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <streambuf>

namespace brelvane::platform {
namespace {

std::atomic<bool> g_stop{false};
int g_wake[2] = {-1, -1};  // self-pipe: written by RequestStop, polled by the reader
struct sigaction g_old_int, g_old_pipe, g_old_term, g_old_hup;
bool g_installed = false;

void EnsurePipe() {
  if (g_wake[0] >= 0) return;
  if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
}

void OnStopSignal(int) { RequestStop(); }

// Reads fd 0 through poll(), so that a stop request ends a blocked read.
class StdinBuf : public std::streambuf {
 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    for (;;) {
      if (g_stop.load()) return traits_type::eof();
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
      int n = ::poll(fds, g_wake[0] >= 0 ? 2 : 1, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return traits_type::eof();
      }
      if (g_stop.load()) return traits_type::eof();
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
        ssize_t r = ::read(STDIN_FILENO, buffer_, sizeof(buffer_));
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) return traits_type::eof();
        setg(buffer_, buffer_, buffer_ + r);
        return traits_type::to_int_type(*gptr());
      }
    }
  }

 private:
  char buffer_[4096];
};

}  // namespace

void InstallStopSignals(InterruptAction interrupt) {
  EnsurePipe();
  if (g_installed) return;
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &g_old_pipe);
  struct sigaction stop{};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, interrupt == InterruptAction::kStop ? &stop : &ignore, &g_old_int);
  ::sigaction(SIGTERM, &stop, &g_old_term);
  ::sigaction(SIGHUP, &stop, &g_old_hup);
  g_installed = true;
}

void RestoreStopSignals() {
  if (!g_installed) return;
  // Broken pipes stay ignored: a launcher that went away must not kill the
  // last lines of the stop sequence.
  ::sigaction(SIGINT, &g_old_int, nullptr);
  ::sigaction(SIGTERM, &g_old_term, nullptr);
  ::sigaction(SIGHUP, &g_old_hup, nullptr);
  g_installed = false;
}

void RequestStop() {
  g_stop.store(true);
  if (g_wake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_wake[1], &byte, 1);
  }
}

bool StopRequested() { return g_stop.load(); }

std::istream& StdinStream() {
  EnsurePipe();
  static StdinBuf buf;
  static std::istream stream(&buf);
  return stream;
}

}  // namespace brelvane::platform
