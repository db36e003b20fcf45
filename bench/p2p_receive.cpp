// SPDX-License-Identifier: MIT
// Peer receive throughput: 1, 16 and 256 loopback connections each stream
// 4 MiB PPMessageData messages into one NetTransport, whose housekeeping
// thread reads them through the 8192-byte receive buffer, charges the
// download limiter (set to its maximum, 0xFFFFFFFF bytes per second) and cuts
// them into pieces with their continuation heads; a listener counts the data
// bytes and discards them.  One sender thread feeds every connection through
// non-blocking sends, as iperf3's client feeds its one stream.
//
//   bench_p2p_receive [--conns C] [--mib-per-run N] [--iperf-bps B] [--iperf-cpu-s-per-gb C]
//
// Runs with C connections (default: 1, 16 and 256 in turn); each run moves
// N MiB (default 1024) in all, whole messages per connection.
// Figures per run: aggregate data throughput (Gbit/s, data bytes only), the
// process CPU (sender + receiver) and the housekeeping thread's own CPU, both
// in seconds per GB.  With --iperf-bps (iperf3's received bits per second,
// measured in the same run by bench/p2p_receive.sh) each run also prints its
// ratio to it; the target is 0.8x or better.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "p2p/net/net_transport.h"
#include "p2p/wire/wire_format.h"
#include "platform/datagram.h"
#include "platform/resource_usage.h"

namespace {

using brelvane::CloseReason;
using brelvane::ConfigSettings;
using brelvane::NetTransport;
using brelvane::PeerAddress;
using brelvane::platform::InetAddress;
using brelvane::platform::Socket;

constexpr size_t kDataBytes = 4u << 20;

// Counts the data bytes of every piece; wakes the bench when all are in.
class Counter : public brelvane::ITransportListener {
 public:
  void Expect(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    expected_ = bytes;
    got_ = 0;
    first_cpu_ = last_cpu_ = -1;
  }
  void OnPeerMessage(const PeerAddress&, const uint8_t* message, size_t length) override {
    const uint64_t data =
        length > brelvane::wire::kDataHeadSize ? length - brelvane::wire::kDataHeadSize : 0;
    std::lock_guard<std::mutex> lock(mu_);
    if (first_cpu_ < 0) first_cpu_ = brelvane::platform::ThreadCpuSeconds();
    got_ += data;
    checksum_ += message[length - 1];
    if (got_ >= expected_) {
      last_cpu_ = brelvane::platform::ThreadCpuSeconds();
      done_.notify_all();
    }
  }
  void OnPeerClosed(const PeerAddress& peer, CloseReason reason) override {
    std::fprintf(stderr, "connection %s closed: %d\n", peer.ToString().c_str(),
                 static_cast<int>(reason));
  }
  void OnServerDatagram(const uint8_t*, size_t) override {}

  // True when every byte arrived within `limit`.
  bool Wait(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    return done_.wait_for(lock, limit, [this] { return got_ >= expected_; });
  }
  double ReceiverCpu() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_cpu_ - first_cpu_;
  }

 private:
  std::mutex mu_;
  std::condition_variable done_;
  uint64_t expected_ = 0;
  uint64_t got_ = 0;
  uint64_t checksum_ = 0;
  double first_cpu_ = -1;
  double last_cpu_ = -1;
};

struct Stream {
  Socket socket;
  size_t messages_left;
  size_t at = 0;  // offset in the current message
};

// Sends every stream's messages; returns false on a send error.
bool Feed(std::vector<Stream>& streams, const std::vector<uint8_t>& message) {
  std::vector<const Socket*> waiting;
  std::vector<Stream*> owners;
  std::vector<bool> ready;
  for (;;) {
    waiting.clear();
    owners.clear();
    for (Stream& s : streams) {
      if (s.messages_left == 0) continue;
      waiting.push_back(&s.socket);
      owners.push_back(&s);
    }
    if (waiting.empty()) return true;
    if (!brelvane::platform::PollWritable(waiting, 1000, &ready).ok()) continue;
    for (size_t i = 0; i < owners.size(); ++i) {
      if (!ready[i]) continue;
      Stream& s = *owners[i];
      size_t sent = 0;
      // Everything the socket takes now; the rest after the next poll.
      const auto status = s.socket.Send(message.data() + s.at, message.size() - s.at, 0, &sent);
      if (!status.ok() && status.code != brelvane::platform::NetCode::kTimeout) {
        std::fprintf(stderr, "send: %s\n", status.ToString().c_str());
        return false;
      }
      s.at += sent;
      if (s.at == message.size()) {
        s.at = 0;
        --s.messages_left;
      }
    }
  }
}

bool Run(size_t connections, size_t mib_per_run, const std::vector<uint8_t>& message,
         double iperf_bps, double iperf_cpu) {
  ConfigSettings settings;
  settings.UseUPnP = false;
  settings.MainServerIps = {"127.0.0.1"};
  settings.MainServerPorts = {9};  // discard: the keep-alive goes nowhere
  settings.UdpProt = 0;
  settings.DownloadLimit = 0xFFFFFFFFu;
  Counter counter;
  NetTransport transport(settings);
  transport.SetListener(&counter);
  if (!transport.Initialise()) {
    std::fprintf(stderr, "transport did not start\n");
    return false;
  }
  transport.Start();

  const size_t per_connection = std::max<size_t>(1, mib_per_run / 4 / connections);
  std::vector<Stream> streams(connections);
  for (Stream& s : streams) {
    s.messages_left = per_connection;
    if (!Socket::ConnectTcp(InetAddress::Loopback(transport.tcp_listen_port()), 5000, &s.socket)
             .ok()) {
      std::fprintf(stderr, "connect failed\n");
      return false;
    }
  }
  while (transport.ConnectionCount() < static_cast<int32_t>(connections))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const uint64_t total = uint64_t{per_connection} * connections * kDataBytes;
  counter.Expect(total);
  const double cpu_before = brelvane::platform::ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const bool fed = Feed(streams, message);
  const bool all = fed && counter.Wait(std::chrono::seconds(600));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = brelvane::platform::ProcessCpuSeconds() - cpu_before;
  if (!all) {
    std::fprintf(stderr, "%zu connections: not every byte arrived\n", connections);
    return false;
  }
  const double gb = static_cast<double>(total) / 1e9;
  const double bps = static_cast<double>(total) * 8 / seconds;
  std::printf(
      "%4zu conns  %6.0f MiB  %6.2f Gbit/s  process %5.2f CPU s/GB  receiver %5.2f CPU s/GB",
      connections, static_cast<double>(total) / (1 << 20), bps / 1e9, cpu / gb,
      counter.ReceiverCpu() / gb);
  if (iperf_bps > 0) std::printf("  iperf3 %5.2f Gbit/s  %5.2fx", iperf_bps / 1e9, bps / iperf_bps);
  if (iperf_cpu > 0) std::printf(" (%4.2f CPU s/GB)", iperf_cpu);
  std::printf("\n");
  std::fflush(stdout);
  transport.Stop();
  transport.Close();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib_per_run = 1024;
  std::vector<size_t> runs = {1, 16, 256};
  double iperf_bps = 0, iperf_cpu = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--conns")
      runs = {std::strtoul(argv[i + 1], nullptr, 10)};
    else if (key == "--mib-per-run")
      mib_per_run = std::strtoul(argv[i + 1], nullptr, 10);
    else if (key == "--iperf-bps")
      iperf_bps = std::strtod(argv[i + 1], nullptr);
    else if (key == "--iperf-cpu-s-per-gb")
      iperf_cpu = std::strtod(argv[i + 1], nullptr);
  }
  const brelvane::wire::PartDescriptor part{1, 0, 0, static_cast<uint32_t>(kDataBytes)};
  const auto head = brelvane::wire::BuildDataHead(brelvane::wire::MsgHeader{}, part);
  std::vector<uint8_t> message(head.begin(), head.end());
  std::mt19937 random(1);
  for (size_t i = 0; i < kDataBytes; ++i) message.push_back(static_cast<uint8_t>(random()));
  for (size_t connections : runs) {
    if (!Run(connections, mib_per_run, message, iperf_bps, iperf_cpu)) return 1;
  }
  return 0;
}
