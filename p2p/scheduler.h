// SPDX-License-Identifier: MIT
// PeerScheduler: decides which peers to connect to, which part to ask each
// idle peer for, when to ask the main server for more peers, and which peers
// to drop.  Two threads:
//
//   connector  takes candidates from the front of the CandidateList and
//              connects to them in batches (a failed one becomes a
//              connect-back request through the main server), asks for peer
//              lists every few seconds while there is room, connects back to
//              peers that asked for it, and every sweep interval drops the
//              inferior download users (idle, failing, slow), requeueing the
//              ones that once delivered behind the 30 freshest candidates.
//              Once the download is complete it drops every download user.
//   acquire    picks a random idle download user, acquires a part it
//              advertised (or else any part still needed), attaches it and
//              sends the request; then reports progress to the main server.
//
// Both threads wait on their wake events for at most 1000 ms, so a lost
// signal costs at most a second.  HttpPriorityMode, once switched on, stops
// all new peer work.
//
// The passes are public so that tests drive them one at a time with a
// scripted connector, link and clock; the threads only loop over them.
//
// Thread safety: Start/Stop from one control thread; the passes run on the
// scheduler's threads (or a test's); SwitchToHttpPriority from any thread.
// Lock order: candidate lock before user-table lock; the statistics lock is
// never held with another.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/auto_reset_event.h"
#include "base/config.h"
#include "p2p/candidate_list.h"
#include "p2p/engine_links.h"
#include "p2p/server_session.h"
#include "p2p/user_stats.h"
#include "p2p/user_table.h"

namespace brelvane {

class FileSystem;

// Flags shared by the engine's start-up steps and the scheduler.
struct EngineFlags {
  std::atomic<bool> complete{true};      // the download is known to be complete
  std::atomic<bool> found_work{false};   // the last seed check found files to fetch
  std::atomic<bool> http_priority{false};
};

struct SchedulerParts {
  ConfigSettings& settings;
  FileSystem& file_system;
  ServerSession& session;
  CandidateList& candidates;
  ConnectRequestQueue& connect_requests;
  UserTable& upload_users;
  UserTable& download_users;
  UserStatsTable& stats;
  IPeerConnector& connector;
  IPeerLink& peers;
  AutoResetEvent& acquire_wake;
  AutoResetEvent& connector_wake;
  EngineFlags& flags;
  // True when every part is stored.
  std::function<bool()> download_complete;
  // Calendar seconds (the peer-request and sweep timers).
  std::function<uint32_t()> now_seconds;
};

class PeerScheduler {
 public:
  static constexpr int kSoftConnectMs = 2000;
  static constexpr int kHardConnectMs = 3000;
  static constexpr uint32_t kWaitMs = 1000;

  explicit PeerScheduler(const SchedulerParts& parts);
  ~PeerScheduler();  // Stop()
  PeerScheduler(const PeerScheduler&) = delete;
  PeerScheduler& operator=(const PeerScheduler&) = delete;

  // Starts the connector and acquire threads unless they run.
  void Start();
  // Stops both threads (their waits end at once) and joins them.
  void Stop();
  bool running() const;

  // --- one pass of each thread (public for tests) ---

  // The connector's start: a peer request, timers set to now.
  void ConnectorBegin();
  // One connector pass; `wait` false skips its waits (tests).
  void ConnectorPass(bool wait = true);
  // Connects the next batch of candidates.
  void ConnectCandidates(size_t batch);
  // Connects back to peers that could not reach this client.
  void ConnectBackRequests(size_t batch);
  // Drops the inferior download users (skipped while complete).
  void CleanUpInferiors();
  // One acquire pass; true when it may loop again at once.
  bool AcquirePass();

  // Re-login: every peer of the statistics that a peer list once named goes
  // back into the candidates behind the fresh entries.
  void RequeueKnownPeers();

  // Releases every part fetched from peers, closes and forgets every download
  // user and prints the switch, once; from then on no new peer work starts.
  void SwitchToHttpPriority();

 private:
  void ConnectorMain();
  void AcquireMain();
  // Closes every download user's connection and empties the table (their
  // parts become free again).
  void DropDownloadUsers();
  bool RequestFrom(int32_t user_id, const PeerAddress& address);

  SchedulerParts p_;
  std::atomic<bool> stop_{false};
  std::mutex lifecycle_mu_;
  std::thread connector_;  // guarded by lifecycle_mu_
  std::thread acquire_;    // guarded by lifecycle_mu_
  std::mutex mode_mu_;     // the HttpPriorityMode switch

  // Connector state (connector thread only).
  bool found_complete_ = false;
  uint32_t last_peer_request_ = 0;
  uint32_t last_sweep_ = 0;
};

}  // namespace brelvane
