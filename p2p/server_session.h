// SPDX-License-Identifier: MIT
// ServerSession: this client's side of the main-server protocol.
//
// It holds the login state (logged-in flag, own user id, server token,
// message counter) and hands out message headers from it (IHeaderSource).
// It logs in: StartLogin() runs the login procedure once on a thread of its
// own, trying the configured servers (MainServerIps paired with
// MainServerPorts, index by index) LoginAttemptsPerServer times each, polling
// the logged-in flag LoginPollsPerAttempt times per attempt with a 1000 ms
// sleep after each poll; an acknowledgement ends that sleep at once, so a
// server that answers in a millisecond is logged in to in a millisecond.  It takes in every datagram from the main server
// (login acknowledgements, peer lists into the CandidateList, forced
// re-logins, relayed connect requests into the ConnectRequestQueue) and sends
// the client's messages: progress reports, peer requests, logout and
// connect-back requests.  Every send goes through the IServerLink.
//
// What the session needs from the engine comes in at construction: the
// settings, the server link, the candidate list and connect-request queue,
// the connector wake event (signalled when a peer list added candidates) and
// ServerSessionHooks.  The own address, ports and the torrent's digest come in
// with SetIdentity() once the transport has bound its sockets.
//
// Thread safety: every public operation may be called from any thread.  The
// login lock serialises login procedures (a second trigger waits, then finds
// the flag set and returns); the progress lock guards the last reported
// percentage.  The flag, id, token and counter are atomics read without a
// lock.  OnServerDatagram runs on the server link's receive thread; the hooks
// it calls run there too.  Lock order: login lock before progress lock (a
// login that succeeds reports the progress); the intake of a peer list takes
// the candidate lock, and through in_download_table the user-table lock
// inside it, while holding nothing of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/auto_reset_event.h"
#include "base/config.h"
#include "p2p/candidate_list.h"
#include "p2p/engine_links.h"
#include "p2p/net/links.h"
#include "p2p/wire/wire_format.h"

namespace brelvane {

// Time as the login procedure sees it.  The steady clock sleeps for real;
// tests substitute a clock that only counts.
class LoginClock {
 public:
  virtual ~LoginClock() = default;
  virtual uint64_t NowMs() = 0;
  // Sleeps `ms` milliseconds, returning early once `done()` is true.
  // Whoever makes it true calls Wake() afterwards.
  virtual void Sleep(uint32_t ms, const std::function<bool()>& done) = 0;
  // Makes every Sleep in progress look at its flag again.
  virtual void Wake() = 0;
};

// The real clock: the platform's monotonic tick and a condition variable.
std::unique_ptr<LoginClock> MakeSteadyLoginClock();

// Who this client is, as the login message and the connect-back record say.
struct LocalIdentity {
  uint32_t ip = 0;          // host order
  uint16_t tcp_port = 0;    // TCP listen port as finally bound
  uint16_t udp_port = 0;    // UDP port as finally bound
  wire::Md5Bytes seed_hash{};  // MD5 of the torrent document
};

// The download's state for a progress report.
struct ProgressSample {
  bool complete = false;
  double fraction = 0.0;  // completed fraction, 0..1
};

struct ServerSessionHooks {
  // True when `user_id` is in the download table.  Called inside the
  // candidate lock.
  std::function<bool(int32_t user_id)> in_download_table;
  // Forced re-login: release the parts acquired for P2P, requeue the known
  // peers, close the download users' connections, empty both user tables and
  // close every peer connection.  Called on the receive thread.
  std::function<void()> relogin;
  // The download's state, sampled for every progress report.  Called inside
  // the progress lock (so storage's locks come after it).
  std::function<ProgressSample()> progress;
};

class ServerSession final : public IHeaderSource {
 public:
  // Every reference must outlive the session.  `clock` null: the steady clock.
  ServerSession(ConfigSettings& settings, IServerLink& link, CandidateList& candidates,
                ConnectRequestQueue& connect_requests, AutoResetEvent& connector_wake,
                ServerSessionHooks hooks, std::unique_ptr<LoginClock> clock = nullptr);
  ~ServerSession() override;  // Stop()
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  void SetIdentity(const LocalIdentity& identity);

  // --- login state ---
  wire::MsgHeader NextHeader() override;
  bool logged_in() const { return logged_in_.load(std::memory_order_relaxed); }
  int32_t user_id() const { return user_id_.load(std::memory_order_relaxed); }
  uint32_t token() const { return token_.load(std::memory_order_relaxed); }
  // Stops and joins the login threads, then returns to the start values:
  // logged out, id -1, token 0, counter 0; progress reporting off with a last
  // reported percentage of 0.  StartLogin works again afterwards.
  void Reset();

  // --- login ---
  // Runs the login procedure on the calling thread under the login lock
  // (nothing to do when logged in already).  True when logged in at the end.
  bool Login();
  // Starts a login thread running Login() once (nothing when the
  // session is stopped, or when a started login has not taken the login lock
  // yet: it will do the same work).
  void StartLogin();
  // Ends every sleep of the login procedure, joins the login threads and
  // refuses further logins until Reset().  Idempotent.
  void Stop();

  // --- intake (server link receive thread) ---
  void OnServerDatagram(const uint8_t* data, size_t length);

  // --- sends ---
  // Switched on once the update is prepared; progress reports go out only
  // while it is on.
  void SetProgressReporting(bool on) { reporting_.store(on, std::memory_order_relaxed); }
  // Sends CSMessageProgress when the percentage moved by at least the report
  // step since the last one sent, or the download has just completed (100 is
  // sent once).
  void ReportProgress();
  void SendGetPeer();
  // Sends CSMessageLogout and clears the flag, when logged in.
  void SendLogout();
  // Asks the server to have `failed` (a peer this client could not reach by
  // TCP, its record as the peer list gave it) connect to this client.
  void SendConnectRequest(const wire::PeerRecord& failed);

 private:
  struct LoginRun {
    std::thread thread;
    std::atomic<bool> started{false};  // holds or held the login lock
    std::atomic<bool> done{false};
  };

  // The procedure; the caller holds the login lock.
  bool LoginLocked();
  // One candidate: true once the flag is set.
  bool TryServer(const std::string& ip, uint16_t port);
  void SendLogin();
  void SendProgressLocked(uint8_t percent);
  static uint8_t Percentage(const ProgressSample& sample);
  bool Send(const std::vector<uint8_t>& message, const char* what);
  LocalIdentity identity() const;

  void OnLoginAck(const uint8_t* message);
  void OnPeerList(const uint8_t* message);
  void OnRelogin();

  ConfigSettings& settings_;
  IServerLink& link_;
  CandidateList& candidates_;
  ConnectRequestQueue& connect_requests_;
  AutoResetEvent& connector_wake_;
  const ServerSessionHooks hooks_;
  const std::unique_ptr<LoginClock> clock_;

  std::atomic<bool> logged_in_{false};
  std::atomic<int32_t> user_id_{-1};
  std::atomic<uint32_t> token_{0};
  std::atomic<uint32_t> counter_{0};
  std::atomic<bool> reporting_{false};

  mutable std::mutex identity_mu_;
  LocalIdentity identity_;  // guarded by identity_mu_

  std::mutex login_mu_;  // the login lock: one procedure at a time

  std::mutex progress_mu_;  // the progress lock
  int32_t last_percent_;    // guarded by progress_mu_

  std::mutex runs_mu_;          // guards runs_; never held while joining
  std::list<LoginRun> runs_;
  std::atomic<bool> stop_{false};
};

}  // namespace brelvane
