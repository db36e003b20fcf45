// SPDX-License-Identifier: MIT
#include "p2p/scheduler.h"

#include <cstdlib>

#include "base/console_log.h"
#include "base/file_log.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "storage/file_system.h"

namespace brelvane {
namespace {

constexpr uint32_t kHelloDownload = 0;  // the sender wants to download from the receiver
constexpr uint32_t kHelloUpload = 1;    // the sender will upload to the receiver

}  // namespace

PeerScheduler::PeerScheduler(const SchedulerParts& parts) : p_(parts) {
  if (!p_.now_seconds) p_.now_seconds = platform::NowSeconds;
}

PeerScheduler::~PeerScheduler() { Stop(); }

void PeerScheduler::Start() {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  if (connector_.joinable() || acquire_.joinable()) return;
  stop_ = false;
  connector_ = std::thread([this] { ConnectorMain(); });
  acquire_ = std::thread([this] { AcquireMain(); });
}

void PeerScheduler::Stop() {
  std::lock_guard<std::mutex> lock(lifecycle_mu_);
  stop_ = true;
  p_.connector_wake.Set();
  p_.acquire_wake.Set();
  if (connector_.joinable()) connector_.join();
  if (acquire_.joinable()) acquire_.join();
}

bool PeerScheduler::running() const {
  return !stop_.load(std::memory_order_relaxed);
}

void PeerScheduler::ConnectorMain() {
  platform::SetCurrentThreadName("P2PConnector");
  ConnectorBegin();
  while (!stop_.load(std::memory_order_relaxed)) ConnectorPass();
}

void PeerScheduler::ConnectorBegin() {
  p_.session.SendGetPeer();
  last_peer_request_ = p_.now_seconds();
  last_sweep_ = last_peer_request_;
  found_complete_ = false;
}

void PeerScheduler::ConnectorPass(bool wait) {
  const int32_t max_download = p_.settings.MaxDownloadNum.load(std::memory_order_relaxed);
  const size_t batch = static_cast<size_t>(std::max(p_.settings.CandidatesPerConnect, 0));
  if (found_complete_) {
    found_complete_ = p_.flags.complete.load();
    if (wait) (void)p_.connector_wake.Wait(kWaitMs);
  } else {
    if (p_.flags.complete.load() && p_.download_complete()) {
      // Nothing more to fetch: the peers we download from can go, unless a
      // new seed check found work since.
      if (!p_.flags.found_work.load()) DropDownloadUsers();
      found_complete_ = true;
      return;
    }
    const bool http_priority = p_.flags.http_priority.load();
    if (!http_priority) {
      ConnectCandidates(batch);
      const uint32_t now = p_.now_seconds();
      const uint32_t interval = static_cast<uint32_t>(p_.settings.PeerRequestIntervalSec);
      if (now - last_peer_request_ >= interval &&
          static_cast<int64_t>(p_.download_users.Size() + p_.candidates.size()) <
              static_cast<int64_t>(max_download) + 50) {
        p_.session.SendGetPeer();
        last_peer_request_ = now;
      }
    }
    if (wait) {
      const uint32_t now = p_.now_seconds();
      const bool request_young =
          now - last_peer_request_ < static_cast<uint32_t>(p_.settings.PeerRequestIntervalSec);
      if (static_cast<int64_t>(p_.download_users.Size()) < max_download) {
        if ((p_.candidates.size() == 0 && request_young) || p_.flags.http_priority.load())
          (void)p_.connector_wake.Wait(kWaitMs);
      } else {
        (void)p_.connector_wake.Wait(kWaitMs);
      }
    }
  }
  ConnectBackRequests(batch);
  const uint32_t now = p_.now_seconds();
  if (now - last_sweep_ > static_cast<uint32_t>(p_.settings.SweepIntervalSec)) {
    CleanUpInferiors();
    last_sweep_ = now;
  }
}

void PeerScheduler::ConnectCandidates(size_t batch) {
  const int64_t max_download = p_.settings.MaxDownloadNum.load(std::memory_order_relaxed);
  // The test whether the table would be full runs inside the candidate lock.
  const std::vector<wire::PeerRecord> taken = p_.candidates.PeekFront(batch, [&](size_t n) {
    return static_cast<int64_t>(p_.download_users.Size() + n) >= max_download;
  });
  if (taken.empty()) return;
  std::vector<PeerAddress> addresses;
  for (const wire::PeerRecord& r : taken) addresses.push_back(PeerAddress{r.tcp.ip, r.tcp.port});
  IPeerConnector::Outcome outcome;
  p_.connector.ConnectBatch(addresses, &stop_, kSoftConnectMs, kHardConnectMs, &outcome);
  for (const auto& [index, address] : outcome.established) {
    const int32_t id = taken[index].user_id;
    if (!p_.download_users.Add(id, address, UserState::kBeforeDownLoad)) {
      p_.peers.ClosePeer(address);  // already a download user by another road
      continue;
    }
    p_.stats.RecordAddress(id, address);
    const std::vector<uint8_t> hello = wire::BuildHello(p_.session.NextHeader(), kHelloDownload);
    (void)p_.peers.SendToPeer(address, hello.data(), hello.size(), false, &stop_);
  }
  if (!outcome.established.empty()) p_.acquire_wake.Set();
  for (size_t index : outcome.failed) p_.session.SendConnectRequest(taken[index]);
  p_.candidates.RemoveFront(taken.size());
}

void PeerScheduler::ConnectBackRequests(size_t batch) {
  const int64_t max_upload = p_.settings.MaxUploadNum.load(std::memory_order_relaxed);
  const std::vector<ConnectBack> requests = p_.connect_requests.Pop(batch, [&](size_t n) {
    return static_cast<int64_t>(p_.upload_users.Size() + n) >= max_upload;
  });
  if (requests.empty()) return;
  std::vector<PeerAddress> addresses;
  for (const ConnectBack& r : requests) addresses.push_back(r.address());
  IPeerConnector::Outcome outcome;
  p_.connector.ConnectBatch(addresses, &stop_, kSoftConnectMs, kHardConnectMs, &outcome);
  for (const auto& [index, address] : outcome.established) {
    if (!p_.upload_users.Add(requests[index].requester_id(), address, UserState::kBeforeUpload)) {
      p_.peers.ClosePeer(address);
      continue;
    }
    const std::vector<uint8_t> hello = wire::BuildHello(p_.session.NextHeader(), kHelloUpload);
    (void)p_.peers.SendToPeer(address, hello.data(), hello.size(), false, &stop_);
  }
}

void PeerScheduler::CleanUpInferiors() {
  if (p_.flags.complete.load()) return;
  const std::vector<UserStatsTable::Inferior> inferior =
      p_.stats.Sweep(p_.settings.MaxDownloadNum.load(std::memory_order_relaxed));
  std::vector<int32_t> requeue;
  for (const UserStatsTable::Inferior& user : inferior) {
    if (std::optional<UserRecord> record = p_.download_users.Get(user.user_id)) {
      Log5("CleanUpInferiorsUser user:%d UID:%d.%d", user.user_id,
           static_cast<int>(record->block.FileId()), static_cast<int>(record->block.Part()));
      p_.peers.ClosePeer(record->address);
      // Removing the record drops its attached part, which becomes free.
      p_.download_users.Remove(user.user_id);
    }
    if (user.completed_any) requeue.push_back(user.user_id);
  }
  if (requeue.empty()) return;
  const int32_t own = p_.session.user_id();
  p_.candidates.RequeueKnown(requeue, [&](int32_t id) {
    return id == own || p_.download_users.Contains(id);
  }, /*unless_listed=*/true);
}

void PeerScheduler::RequeueKnownPeers() {
  const std::vector<int32_t> ids = p_.stats.UserIds();
  p_.candidates.RequeueKnown(ids, {}, /*unless_listed=*/true);
}

void PeerScheduler::DropDownloadUsers() {
  std::vector<PeerAddress> addresses;
  p_.download_users.ForEach([&](const UserRecord& r) { addresses.push_back(r.address); });
  for (const PeerAddress& a : addresses) p_.peers.ClosePeer(a);
  p_.download_users.Clear();
}

void PeerScheduler::SwitchToHttpPriority() {
  std::lock_guard<std::mutex> lock(mode_mu_);
  if (p_.flags.http_priority.exchange(true)) return;
  // Clearing the table drops every attached part: they become free for HTTP.
  DropDownloadUsers();
  ConsoleLog::Get().Print(ConsoleLevel::Info, "切换到Http优先下载模式");
}

void PeerScheduler::AcquireMain() {
  platform::SetCurrentThreadName("P2PAcquire");
  std::srand(platform::CurrentThreadId() * platform::Tick32());
  p_.flags.complete = false;
  while (!stop_.load(std::memory_order_relaxed)) {
    if (!AcquirePass()) {
      (void)p_.acquire_wake.Wait(kWaitMs);
      if (!p_.flags.complete.load()) p_.session.ReportProgress();
    }
  }
}

bool PeerScheduler::AcquirePass() {
  if (p_.flags.complete.load()) return false;
  const bool complete = p_.download_complete();
  p_.flags.complete = complete;
  if (complete) {
    p_.flags.http_priority = false;
    if (!p_.flags.found_work.load()) p_.session.ReportProgress();
    return true;
  }
  bool last_got_request = false;
  while (!p_.flags.http_priority.load() && !stop_.load(std::memory_order_relaxed)) {
    const std::optional<std::pair<int32_t, PeerAddress>> user =
        p_.download_users.PickRandom(UserState::kBeforeDownLoad);
    if (!user) break;
    last_got_request = RequestFrom(user->first, user->second);
    if (!last_got_request) break;
  }
  bool idle_left = p_.download_users.PickRandom(UserState::kBeforeDownLoad).has_value();
  if (idle_left && last_got_request && !p_.flags.http_priority.load()) {
    p_.session.ReportProgress();
    return true;
  }
  return false;
}

bool PeerScheduler::RequestFrom(int32_t user_id, const PeerAddress& address) {
  BlockHandle handle;
  // Parts the peer said it holds first.
  while (std::optional<PartKey> part = p_.download_users.PopAdvertised(user_id)) {
    handle = p_.file_system.AcquireBlock(part->file_id, part->part_id);
    if (handle.IsValid()) {
      Log4("Acquire user block valid, %d UID: %d.%d", user_id, static_cast<int>(part->file_id),
           static_cast<int>(part->part_id));
      break;
    }
    Log4("Acquire user block NOT valid, %d UID: %d.%d", user_id, static_cast<int>(part->file_id),
         static_cast<int>(part->part_id));
  }
  // Then any part still needed: a peer without it answers "not held", which
  // starts the exchange of availability reports.
  if (!handle.IsValid()) handle = p_.file_system.AcquireAnyBlock();
  if (!handle.IsValid()) {
    Log2("p2p acquire block fail.");
    return false;
  }
  const wire::PartDescriptor d{handle.FileId(), handle.Part(),
                               static_cast<uint32_t>(handle.PartOffset()), handle.PartLength()};
  if (!p_.download_users.SetState(user_id, UserState::kDownloadReq, handle)) return false;
  const std::vector<uint8_t> request =
      wire::BuildPartMessage(p_.session.NextHeader(), wire::kRequest, d);
  (void)p_.peers.SendToPeer(address, request.data(), request.size(), false, &stop_);
  return true;
}

}  // namespace brelvane
