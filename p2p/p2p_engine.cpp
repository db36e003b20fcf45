// SPDX-License-Identifier: MIT
#include "p2p/p2p_engine.h"

#include "base/file_log.h"
#include "catalogue/prepare/update_preparation.h"
#include "http/seed_retrieval.h"
#include "platform/clock.h"

namespace brelvane {

P2PEngine::P2PEngine(NetTransport& transport, ConfigSettings& settings)
    : transport_(transport),
      settings_(settings),
      http_(std::make_unique<HttpManager>(fs_, mirrors_, http_work_,
                                          &transport.download_limiter())),
      session_(settings, transport, candidates_, connect_requests_, connector_wake_,
               ServerSessionHooks{
                   [this](int32_t id) { return download_users_.Contains(id); },
                   [this] { OnRelogin(); },
                   [this] { return Progress(); }}),
      exchange_(BlockExchangeLinks{upload_users_, download_users_, upload_jobs_, fs_, transport,
                                   session_, stats_, settings, acquire_wake_,
                                   [this](uint32_t bytes) {
                                     const uint64_t total =
                                         p2p_total_.fetch_add(bytes, std::memory_order_relaxed) +
                                         bytes;
                                     Log3("P2P total %.02f KB", total / 1024.0);
                                   }}),
      uploads_(upload_jobs_, upload_users_, fs_, transport, session_),
      scheduler_(SchedulerParts{settings, fs_, session_, candidates_, connect_requests_,
                                upload_users_, download_users_, stats_, *this, transport,
                                acquire_wake_, connector_wake_, flags_,
                                [this] { return DownloadComplete(); }, {}}),
      reporter_(inventory_, [this] { return session_.NextHeader(); },
                [this](const DownloadStatMessage& m) {
                  (void)transport_.SendToServer(m.data(), m.size());
                }) {
  transport_.SetListener(this);
  transport_.SetHeaderSource([this] { return session_.NextHeader(); });
}

P2PEngine::~P2PEngine() {
  // Threads that write into fs_ or send through the transport go first.
  scheduler_.Stop();
  uploads_.StopAll();
  session_.Stop();
  http_.reset();
  transport_.SetListener(nullptr);
}

std::string P2PEngine::NativeRoot(const std::string& configured) {
  std::string root = configured;
  for (char& c : root)
    if (c == '\\') c = '/';
  if (root.empty()) root = "./";
  if (root.back() != '/') root += '/';
  return root;
}

bool P2PEngine::GetSeedInfo(const std::atomic<bool>& running) {
  sources_.configured_mirrors = settings_.HttpUrl;
  sources_.torrent_name = settings_.Torrent;
  if (!GetTorrent(sources_, &running, &seed_info_)) return false;
  // The main servers of the torrent replace the built-in default.
  settings_.MainServerIps = sources_.server_addresses;
  settings_.MainServerPorts = sources_.server_ports;
  settings_.SeedHttpUrls = sources_.download_mirrors;
  return true;
}

void P2PEngine::Start() {
  fs_.SetPaths(seed_info_.file, NativeRoot(settings_.CurrentDir), settings_.Postfix);
  if (!fs_.StartRunner()) Log1("Storage worker did not start for the seed phase");
  mirrors_.Clear();
  mirrors_.AddAll(sources_.download_mirrors);
  LocalIdentity identity;
  identity.ip = transport_.local_ip();
  identity.tcp_port = transport_.tcp_listen_port();
  identity.udp_port = transport_.udp_port();
  identity.seed_hash = sources_.seed_hash.bytes;
  session_.SetIdentity(identity);
  flags_.complete = true;
  flags_.found_work = false;
  flags_.http_priority = false;
  begin_state_ = -1;
  end_phase_ = -1;
  start_time_ = platform::NowSeconds();
  reporter_.Rearm();
  started_ = true;
}

void P2PEngine::StartLogin() { session_.StartLogin(); }

bool P2PEngine::CheckMeta() {
  const int result = static_cast<int>(CheckSeed(fs_));
  Log3("CheckMeta result: %d", result);
  if (result != 0) {
    flags_.complete = false;
    flags_.found_work = true;
    http_work_.Set();
    return false;
  }
  flags_.complete = true;
  flags_.http_priority = false;
  return true;
}

bool P2PEngine::RequestSeed(const std::atomic<bool>& running) {
  return DownloadSeed(sources_, fs_, &running);
}

bool P2PEngine::StateReport() {
  flags_.found_work = false;
  if (!RegisterFiles(fs_)) {
    flags_.complete = true;
    flags_.http_priority = false;
    return false;
  }
  files_registered_ = true;
  flags_.complete = false;
  Log3("Starting StateReport");
  session_.SetProgressReporting(true);
  Log3("Set events");
  connector_wake_.Set();
  acquire_wake_.Set();
  http_work_.Set();
  Log3("GetPeerAsyn");
  session_.SendGetPeer();
  Log3("Almost done");
  const uint32_t written = fs_.WrittenParts();
  begin_state_ = written == 0 && fs_.TotalParts() > 0 ? 0 : (fs_.AllWritten() ? 2 : 1);
  end_phase_ = kEndPhaseQuit;
  return true;
}

void P2PEngine::StartUploadThreads(int32_t count) { uploads_.Resize(count); }

void P2PEngine::SetHttpThreadCount(int32_t count) {
  std::lock_guard<std::mutex> lock(http_mu_);
  http_->Restart(count > 0 ? static_cast<uint32_t>(count) : 0u);
}

void P2PEngine::StartP2P() { scheduler_.Start(); }

void P2PEngine::Stop() {
  // The server link is still open here (the transport stops after the
  // engine).  The goodbye waits until the scheduling threads have ended:
  // a progress report or peer request sent after it would carry an id the
  // server has already forgotten, and the server would ask for a new login.
  scheduler_.Stop();
  uploads_.StopAll();
  session_.SendLogout();
  http_work_.Set();
  {
    std::lock_guard<std::mutex> lock(http_mu_);
    http_->Restart(0);
  }
  if (!files_registered_ || info_deleted_) {
    // Nothing registered yet, or the finished update's information was
    // deleted on request: nothing to record.
    fs_.StopRunner();
    return;
  }
  // Whole parts received and waiting for a full batch go to storage too.
  exchange_.CommitPending();
  // Nothing posts any more (peer pieces arriving now are refused by the
  // stopped runner): the worker verifies what is queued and writes every
  // verified part still in memory; then the progress is recorded for the
  // next run (the worker's own resume write is rate-limited).
  fs_.FlushAll();
  (void)fs_.Drain();
  fs_.StopRunner();
  if (!fs_.WriteResumeFile(fs_.resume_path())) Log1("Write download info failed at stop");
}

void P2PEngine::Reset() {
  scheduler_.Stop();
  uploads_.StopAll();
  session_.SendLogout();  // when Stop did not run; after the threads, as there
  session_.Reset();
  candidates_.Clear();
  connect_requests_.Clear();
  upload_users_.Clear();
  download_users_.Clear();
  upload_jobs_.Clear();
  stats_.Clear();
  flags_.complete = true;
  flags_.found_work = false;
  flags_.http_priority = false;
  p2p_total_ = 0;
}

void P2PEngine::RecordEndPhase(int32_t phase, uint32_t end_time) {
  end_phase_ = phase;
  end_time_ = end_time;
}

void P2PEngine::ReportDownloadStat(const float speeds[10]) {
  DownloadStatInputs in;
  in.begin_state = begin_state_;
  in.end_state = end_phase_;
  in.start_time = start_time_;
  in.end_time = end_time_;
  in.p2p_bytes = p2p_total_.load(std::memory_order_relaxed);
  in.http_bytes = transport_.ReceivedHttp();
  in.http_thread_num = settings_.HttpDownloadThreadNum.load(std::memory_order_relaxed);
  in.version = settings_.Version;
  for (const auto& [ip, hits] : mirrors_.AddressCounts()) in.http_sources.push_back({ip, hits});
  for (size_t i = 0; i < kSpeedWindows; ++i) in.speeds[i] = speeds[i];
  (void)reporter_.Report(in);
}

void P2PEngine::DeleteDownloadInfo() {
  info_deleted_ = true;
  fs_.DeleteInfoFiles();
}

void P2PEngine::OnPeerMessage(const PeerAddress& peer, const uint8_t* message, size_t length) {
  exchange_.OnPeerMessage(peer, message, length);
}

void P2PEngine::OnPeerClosed(const PeerAddress& peer, CloseReason reason) {
  exchange_.OnPeerClosed(peer, reason);
}

void P2PEngine::OnServerDatagram(const uint8_t* data, size_t length) {
  session_.OnServerDatagram(data, length);
}

size_t P2PEngine::ConnectBatch(const std::vector<PeerAddress>& addresses,
                               const std::atomic<bool>* stop, int soft_ms, int hard_ms,
                               Outcome* outcome) {
  NetTransport::ConnectOutcome out;
  const int n = transport_.ConnectBatch(addresses, stop, soft_ms, hard_ms, &out);
  outcome->established = std::move(out.established);
  outcome->failed = std::move(out.failed);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

void P2PEngine::OnRelogin() {
  // Every user is let go: clearing the download table gives the parts being
  // fetched from peers back to storage.  The peers we knew are queued again
  // so that the new login finds them.
  scheduler_.RequeueKnownPeers();
  std::vector<PeerAddress> addresses;
  auto collect = [&](const UserRecord& r) { addresses.push_back(r.address); };
  download_users_.ForEach(collect);
  upload_users_.ForEach(collect);
  download_users_.Clear();
  upload_users_.Clear();
  for (const PeerAddress& a : addresses) transport_.ClosePeer(a);
  transport_.CloseAllPeers();
}

bool P2PEngine::DownloadComplete() const {
  return files_registered_ && (fs_.TotalParts() == 0 || fs_.AllWritten());
}

ProgressSample P2PEngine::Progress() const {
  return ProgressSample{DownloadComplete(), static_cast<double>(CompletionFraction())};
}

float P2PEngine::CompletionFraction() const {
  if (!files_registered_) return 0.0f;
  // A release of empty files has no parts and is complete at once.
  if (fs_.TotalParts() == 0) return 1.0f;
  return fs_.Progress();
}

int64_t P2PEngine::TotalBytes() const { return static_cast<int64_t>(fs_.TotalBytes()); }

int64_t P2PEngine::IncompleteBytes() const {
  return static_cast<int64_t>(fs_.TotalBytes() - fs_.WrittenBytes());
}

bool P2PEngine::FileName(uint32_t id, std::string& name) const {
  File* file = fs_.GetFile(id);
  if (!file) return false;
  name = file->Name();
  return true;
}

std::string P2PEngine::SeedFilePath() const {
  return started_ ? fs_.seed_path() : std::string(FileSystem::kSeedSuffix);
}
std::string P2PEngine::SeedFilePathPast() const {
  return started_ ? fs_.past_seed_path() : std::string(FileSystem::kPastSeedSuffix);
}
std::string P2PEngine::DownloadInfoFilePath() const {
  return started_ ? fs_.resume_path() : std::string(FileSystem::kResumeSuffix);
}

}  // namespace brelvane
