// SPDX-License-Identifier: MIT
// Load on the reference main server: simulated clients log in, keep alive
// and ask for peers, against the real brelvane-mainserver process on
// loopback.
//
//   bench_mainserver_load [--clients N] [--swarms N] [--sockets N]
//                         [--rounds N] [--window N] [--server PATH]
//
// Defaults: 100,000 clients in 1,000 swarms over 128 sockets, 3 rounds of
// keep-alive + peer request after the logins.  Client k belongs to swarm
// k % swarms and sends from socket (k / swarms) % sockets, so the members of
// one swarm have distinct source addresses; socket i is bound on
// 127.0.0.(1 + i % 200), all loopback.  Each socket keeps at most `window`
// answers outstanding, and answers are matched to clients in send order (the
// server answers in arrival order).  The server runs with --rate-limit 0:
// here a thousand clients share one source address.
//
// Figures (read from /proc, so Linux only, like the measurement itself):
// datagrams handled per second of server CPU time (/proc/<pid>/schedstat;
// the server is one thread), and resident memory per member (VmRSS after the
// logins minus VmRSS before, over the member count).  Datagrams the kernel
// dropped at the server's socket (/proc/net/udp) are not counted as handled.
//
// Last line: "datagrams per server CPU second: X; resident bytes per member: Y".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "p2p/wire/wire_format.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/datagram.h"

namespace {

using brelvane::platform::DatagramSocket;
using brelvane::platform::InetAddress;
namespace wire = brelvane::wire;

struct Options {
  uint32_t clients = 100000;
  uint32_t swarms = 1000;
  uint32_t sockets = 128;
  uint32_t rounds = 3;
  uint32_t window = 4;
  std::string server;
};

struct Sim {
  int32_t id = -1;
  uint32_t token = 0;
};

struct Lane {
  DatagramSocket socket;
  InetAddress local;
  std::vector<uint32_t> clients;  // the simulated clients sending from this socket
  size_t next = 0;
  std::deque<uint32_t> waiting;   // clients whose answer is due, in send order
  uint64_t last_answer_ms = 0;
};

struct Totals {
  uint64_t sent = 0;
  uint64_t answers = 0;
  uint64_t lost = 0;  // answers given up on after a second of silence
  uint64_t peer_records = 0;
};

enum class Phase { kLogin, kPeers };

// Nanoseconds the process has run on a CPU (its only thread).
uint64_t CpuNs(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  uint64_t ns = 0;
  in >> ns;
  return ns;
}

uint64_t ResidentBytes(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  return 0;
}

// Datagrams the kernel dropped at the UDP socket bound to 127.0.0.1:port.
uint64_t SocketDrops(uint16_t port) {
  std::ifstream in("/proc/net/udp");
  char local[32];
  std::snprintf(local, sizeof(local), "0100007F:%04X", port);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(local) == std::string::npos) continue;
    std::istringstream fields(line);
    std::string field;
    std::string last;
    while (fields >> field) last = field;
    return std::strtoull(last.c_str(), nullptr, 10);
  }
  return 0;
}

wire::Md5Bytes SwarmHash(uint32_t swarm) {
  wire::Md5Bytes h{};
  for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint8_t>((swarm * 2654435761u) >> (i % 4 * 8));
  wire::PutU32(h.data(), swarm);
  return h;
}

void SendFor(const Lane& lane, Phase phase, uint32_t k, const Sim& sim, const Options& o,
             const InetAddress& server, Totals* t) {
  if (phase == Phase::kLogin) {
    const wire::Login body{static_cast<uint16_t>(20000 + k % 40000), lane.local.port, lane.local.ip,
                           lane.local.port, SwarmHash(k % o.swarms)};
    const std::vector<uint8_t> m = wire::BuildLogin({}, body);
    (void)lane.socket.SendTo(server, m.data(), m.size());
    t->sent += 1;
    return;
  }
  const wire::MsgHeader h{0, 1, sim.id, sim.token, 0};
  const std::vector<uint8_t> alive = wire::BuildHeaderOnly(h, wire::kKeepAlive);
  const std::vector<uint8_t> ask = wire::BuildHeaderOnly(h, wire::kGetPeer);
  (void)lane.socket.SendTo(server, alive.data(), alive.size());
  (void)lane.socket.SendTo(server, ask.data(), ask.size());
  t->sent += 2;
}

// Every client of every lane sends its messages for `phase`; returns when
// every answer came or was given up.
Totals RunPhase(std::vector<Lane>* lanes, std::vector<Sim>* sims, Phase phase, const Options& o,
                const InetAddress& server) {
  Totals t;
  for (Lane& lane : *lanes) {
    lane.next = 0;
    lane.waiting.clear();
    lane.last_answer_ms = brelvane::platform::TickMs();
  }
  uint8_t buffer[512];
  for (bool busy = true; busy;) {
    busy = false;
    for (Lane& lane : *lanes) {
      while (lane.waiting.size() < o.window && lane.next < lane.clients.size()) {
        const uint32_t k = lane.clients[lane.next++];
        SendFor(lane, phase, k, (*sims)[k], o, server, &t);
        lane.waiting.push_back(k);
      }
      size_t n = 0;
      InetAddress from;
      while (lane.socket.ReceiveFrom(buffer, sizeof(buffer), 0, &n, &from).ok()) {
        if (lane.waiting.empty() || n < wire::kHeaderSize) continue;  // late, after a give-up
        const uint32_t k = lane.waiting.front();
        lane.waiting.pop_front();
        lane.last_answer_ms = brelvane::platform::TickMs();
        ++t.answers;
        const int32_t type = wire::GetI32(buffer);
        if (type == wire::kLoginAck && n == wire::kLoginAckSize) {
          const wire::LoginAck ack = wire::DecodeLoginAck(buffer);
          if (ack.reply_code == 0) (*sims)[k] = Sim{ack.user_id, ack.token};
        } else if (type == wire::kPeerList && n == wire::kPeerListSize) {
          t.peer_records += static_cast<uint32_t>(wire::DecodePeerList(buffer).count);
        }
      }
      if (!lane.waiting.empty() && brelvane::platform::TickMs() - lane.last_answer_ms > 1000) {
        t.lost += lane.waiting.size();
        lane.waiting.clear();
      }
      if (!lane.waiting.empty() || lane.next < lane.clients.size()) busy = true;
    }
  }
  return t;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const uint32_t value = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    if (key == "--clients") o->clients = value;
    else if (key == "--swarms") o->swarms = value;
    else if (key == "--sockets") o->sockets = value;
    else if (key == "--rounds") o->rounds = value;
    else if (key == "--window") o->window = value;
    else if (key == "--server") o->server = argv[i + 1];
    else return false;
  }
  return argc % 2 == 1 && o->clients > 0 && o->swarms > 0 && o->sockets > 0 && o->window > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr, "usage: bench_mainserver_load [--clients N] [--swarms N] [--sockets N] "
                         "[--rounds N] [--window N] [--server PATH]\n");
    return 2;
  }
  if (o.server.empty()) {
    const std::string self = brelvane::platform::CurrentExecutablePath();
    o.server = self.substr(0, self.rfind('/')) + "/../tools/mainserver/brelvane-mainserver";
  }
  std::vector<Lane> lanes(o.sockets);
  for (uint32_t i = 0; i < o.sockets; ++i) {
    const InetAddress local{0x7F000001u + i % 200, 0};
    if (!DatagramSocket::Open(local, &lanes[i].socket).ok() ||
        !lanes[i].socket.SetBufferSizes(1 << 20, 1 << 20).ok() ||
        !lanes[i].socket.LocalAddress(&lanes[i].local).ok()) {
      std::fprintf(stderr, "cannot open client socket %u\n", i);
      return 1;
    }
  }
  for (uint32_t k = 0; k < o.clients; ++k) lanes[(k / o.swarms) % o.sockets].clients.push_back(k);
  std::vector<Sim> sims(o.clients);

  // The server on a port found free a moment ago.
  InetAddress server;
  {
    DatagramSocket probe;
    if (!DatagramSocket::Open(InetAddress::Loopback(0), &probe).ok() ||
        !probe.LocalAddress(&server).ok()) {
      return 1;
    }
  }
  brelvane::platform::ProcessId pid = 0;
  if (brelvane::platform::SpawnProcess({o.server, "--listen", server.ToString(), "--rate-limit", "0"},
                                       {}, &pid) != 0) {
    std::fprintf(stderr, "cannot start %s\n", o.server.c_str());
    return 1;
  }
  // Ready when an unknown id gets its re-login (no member is created).
  const std::vector<uint8_t> probe = wire::BuildHeaderOnly({0, 0, 12345, 1, 0}, wire::kKeepAlive);
  bool ready = false;
  for (int attempt = 0; attempt < 100 && !ready; ++attempt) {
    uint8_t buffer[64];
    size_t n = 0;
    InetAddress from;
    (void)lanes[0].socket.SendTo(server, probe.data(), probe.size());
    ready = lanes[0].socket.ReceiveFrom(buffer, sizeof(buffer), 1100, &n, &from).ok() && n == 20;
  }
  if (!ready) {
    std::fprintf(stderr, "the server does not answer\n");
    (void)brelvane::platform::KillProcess(pid);
    int ignored = 0;
    (void)brelvane::platform::WaitProcess(pid, &ignored);
    return 1;
  }

  const uint64_t rss0 = ResidentBytes(pid);
  const uint64_t drops0 = SocketDrops(server.port);
  uint64_t cpu = CpuNs(pid);
  uint64_t wall = brelvane::platform::TickMs();
  uint64_t total_handled = 0;
  uint64_t total_cpu_ns = 0;
  auto report = [&](const char* name, const Totals& t) {
    const uint64_t cpu_now = CpuNs(pid);
    const uint64_t wall_now = brelvane::platform::TickMs();
    const uint64_t drops = SocketDrops(server.port) - drops0;
    const uint64_t handled = t.sent - drops;
    const double seconds = static_cast<double>(cpu_now - cpu) / 1e9;
    std::printf("%-22s %9llu datagrams, %7.3f s server CPU, %7.3f s wall: %9.0f per CPU second "
                "(%llu answers, %llu lost, %llu dropped by the kernel)\n",
                name, static_cast<unsigned long long>(handled), seconds,
                static_cast<double>(wall_now - wall) / 1000.0, handled / seconds,
                static_cast<unsigned long long>(t.answers), static_cast<unsigned long long>(t.lost),
                static_cast<unsigned long long>(drops));
    total_handled += handled;
    total_cpu_ns += cpu_now - cpu;
    cpu = cpu_now;
    wall = wall_now;
  };

  const Totals logins = RunPhase(&lanes, &sims, Phase::kLogin, o, server);
  report("logins", logins);
  const uint64_t rss1 = ResidentBytes(pid);
  for (uint32_t r = 0; r < o.rounds; ++r) {
    const Totals peers = RunPhase(&lanes, &sims, Phase::kPeers, o, server);
    report(("keep-alive + peers " + std::to_string(r + 1)).c_str(), peers);
    if (r == 0) {
      std::printf("%22s %.1f records per peer list\n", "",
                  static_cast<double>(peers.peer_records) / static_cast<double>(peers.answers));
    }
  }
  const uint64_t rss2 = ResidentBytes(pid);

  std::fflush(stdout);
  (void)brelvane::platform::StopProcess(pid);
  int code = -1;
  (void)brelvane::platform::WaitProcess(pid, &code);
  const double per_member = static_cast<double>(rss1 - rss0) / o.clients;
  std::printf("server resident: %.1f MiB before, %.1f MiB after the logins, %.1f MiB at the end; "
              "server exit code %d\n",
              rss0 / 1048576.0, rss1 / 1048576.0, rss2 / 1048576.0, code);
  std::printf("datagrams per server CPU second: %.0f; resident bytes per member: %.1f\n",
              total_handled / (static_cast<double>(total_cpu_ns) / 1e9), per_member);
  return 0;
}
