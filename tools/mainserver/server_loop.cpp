// SPDX-License-Identifier: MIT
#include "tools/mainserver/server_loop.h"

#include <array>
#include <cstdio>
#include <random>

#include "platform/datagram.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace brelvane::mainserver {
namespace {

using platform::InetAddress;
using platform::NetCode;
using platform::NetStatus;

constexpr int kReceiveWaitMs = 250;
constexpr uint64_t kSweepMs = 1000;
constexpr uint64_t kSummaryMs = 60000;
// Larger than any client message (the longest is 184 bytes): a longer
// datagram arrives cut and fails validation.
constexpr size_t kReceiveBuffer = 512;
constexpr int kSocketBuffer = 4 << 20;

void Say(const std::string& text) { std::fprintf(stderr, "brelvane-mainserver: %s\n", text.c_str()); }

class SocketOutlet : public ServerOutlet {
 public:
  SocketOutlet(const platform::DatagramSocket* socket, StatsFile* stats)
      : socket_(socket), stats_(stats) {}

  void SendDatagram(const InetAddress& to, const uint8_t* data, size_t length) override {
    if (!socket_->SendTo(to, data, length).ok()) ++send_failures_;
  }

  void WriteStatLine(std::string_view line) override {
    if (stats_ == nullptr) return;
    const platform::OsError error = stats_->Append(line);
    if (error != 0 && write_failures_++ == 0) {
      Say("cannot write the statistics file: " + platform::ErrorText(error));
    }
  }

  uint64_t send_failures() const { return send_failures_; }

 private:
  const platform::DatagramSocket* socket_;
  StatsFile* stats_;
  uint64_t send_failures_ = 0;
  uint64_t write_failures_ = 0;
};

}  // namespace

platform::OsError StatsFile::Open(const std::string& path) {
  (void)Close();
  return platform::OpenFile(path, platform::FileAccess::kReadWrite,
                            platform::FileDisposition::kOpenAlways, false, &file_);
}

platform::OsError StatsFile::Append(std::string_view line) {
  if (file_ == platform::kInvalidFile) return 0;
  uint64_t end = 0;
  if (const platform::OsError error = platform::GetFileLength(file_, &end); error != 0) return error;
  std::string text(line);
  text += '\n';
  return platform::WriteAt(file_, text.data(), text.size(), end);
}

platform::OsError StatsFile::Close() {
  if (file_ == platform::kInvalidFile) return 0;
  const platform::OsError sync = platform::SyncFileData(file_);
  const platform::OsError close = platform::CloseFile(file_);
  file_ = platform::kInvalidFile;
  return sync != 0 ? sync : close;
}

std::string SummaryLine(const MainServerCore& core, uint64_t datagrams, double seconds) {
  const ServerCounters& c = core.counters();
  char text[320];
  std::snprintf(text, sizeof(text),
                "swarms=%zu members=%zu datagrams/s=%.1f (dropped: %llu over limit, %llu invalid, "
                "%llu mismatched; %llu re-logins, %llu refused logins, %llu statistics)",
                core.swarm_count(), core.member_count(),
                seconds > 0 ? static_cast<double>(datagrams) / seconds : 0.0,
                static_cast<unsigned long long>(c.rate_limited),
                static_cast<unsigned long long>(c.invalid),
                static_cast<unsigned long long>(c.mismatched),
                static_cast<unsigned long long>(c.relogins_sent),
                static_cast<unsigned long long>(c.logins_refused),
                static_cast<unsigned long long>(c.stat_lines));
  return text;
}

int RunMainServer(const ServerOptions& options) {
  platform::SetCurrentThreadName("mainserver");
  platform::DatagramSocket socket;
  if (const NetStatus status = platform::DatagramSocket::Open(options.listen, &socket); !status.ok()) {
    Say("cannot listen on " + options.listen.ToString() + ": " + status.ToString());
    return kExitFailure;
  }
  // A large receive buffer absorbs bursts (many clients starting at once);
  // failing to get one is not fatal.
  (void)socket.SetBufferSizes(kSocketBuffer, kSocketBuffer);
  StatsFile stats;
  if (!options.stats_file.empty()) {
    if (const platform::OsError error = stats.Open(options.stats_file); error != 0) {
      Say("cannot open the statistics file " + options.stats_file + ": " +
          platform::ErrorText(error));
      return kExitFailure;
    }
  }
  SocketOutlet outlet(&socket, options.stats_file.empty() ? nullptr : &stats);
  SystemClock clock;
  std::random_device entropy;
  const uint64_t seed = (static_cast<uint64_t>(entropy()) << 32) ^ entropy() ^ clock.MonotonicMs();
  MainServerCore core(options.limits, &clock, &outlet, seed);

  InetAddress bound = options.listen;
  (void)socket.LocalAddress(&bound);
  Say("listening on " + bound.ToString() +
      (options.stats_file.empty() ? std::string() : ", statistics to " + options.stats_file));

  std::array<uint8_t, kReceiveBuffer> buffer;
  const uint64_t started = clock.MonotonicMs();
  uint64_t last_sweep = started;
  uint64_t last_summary = started;
  uint64_t received_at_summary = 0;
  uint64_t receive_errors = 0;  // the first is printed, the count with each summary
  while (!platform::StopRequested()) {
    size_t length = 0;
    InetAddress from;
    const NetStatus status =
        socket.ReceiveFrom(buffer.data(), buffer.size(), kReceiveWaitMs, &length, &from);
    if (status.ok()) {
      core.HandleDatagram(buffer.data(), length, from);
    } else if (status.code != NetCode::kTimeout) {
      if (receive_errors++ == 0) Say("receive failed: " + status.ToString());
      if (status.code == NetCode::kClosed) break;
    }
    const uint64_t now = clock.MonotonicMs();
    if (now - last_sweep >= kSweepMs) {
      core.DropSilent();
      last_sweep = now;
    }
    if (now - last_summary >= kSummaryMs) {
      const uint64_t received = core.counters().received;
      Say(SummaryLine(core, received - received_at_summary,
                      static_cast<double>(now - last_summary) / 1000.0) +
          (receive_errors == 0 ? "" : "; " + std::to_string(receive_errors) + " receive errors"));
      receive_errors = 0;
      received_at_summary = received;
      last_summary = now;
    }
  }

  const uint64_t now = clock.MonotonicMs();
  Say("stopping; " + std::to_string(core.counters().received) + " datagrams in all, " +
      std::to_string(outlet.send_failures()) + " failed sends; " +
      SummaryLine(core, core.counters().received - received_at_summary,
                  static_cast<double>(now - last_summary) / 1000.0));
  if (const platform::OsError error = stats.Close(); error != 0) {
    Say("cannot flush the statistics file: " + platform::ErrorText(error));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace brelvane::mainserver
