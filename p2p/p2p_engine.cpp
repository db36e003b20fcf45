// SPDX-License-Identifier: MIT
#include "p2p/p2p_engine.h"

#include "base/file_log.h"
#include "catalogue/prepare/update_preparation.h"
#include "http/seed_retrieval.h"

namespace brelvane {

P2PEngine::P2PEngine(NetTransport& transport, ConfigSettings& settings)
    : transport_(transport),
      settings_(settings),
      http_(std::make_unique<HttpManager>(fs_, mirrors_, http_work_,
                                          &transport.download_limiter())) {}

P2PEngine::~P2PEngine() {
  // The download threads write into fs_: they go first.
  http_.reset();
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
  complete_ = true;
  found_work_ = false;
  started_ = true;
}

bool P2PEngine::CheckMeta() {
  const int result = static_cast<int>(CheckSeed(fs_));
  Log3("CheckMeta result: %d", result);
  if (result != 0) {
    complete_ = false;
    found_work_ = true;
    http_work_.Set();
    return false;
  }
  complete_ = true;
  return true;
}

bool P2PEngine::RequestSeed(const std::atomic<bool>& running) {
  return DownloadSeed(sources_, fs_, &running);
}

bool P2PEngine::StateReport() {
  found_work_ = false;
  if (!RegisterFiles(fs_)) {
    complete_ = true;
    return false;
  }
  files_registered_ = true;
  complete_ = false;
  Log3("Starting StateReport");
  http_work_.Set();
  Log3("Almost done");
  return true;
}

void P2PEngine::SetHttpThreadCount(int32_t count) {
  std::lock_guard<std::mutex> lock(http_mu_);
  http_->Restart(count > 0 ? static_cast<uint32_t>(count) : 0u);
}

void P2PEngine::Stop() {
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
  // Nothing posts any more: the worker verifies what is queued and writes
  // every verified part still in memory; then the progress is recorded for
  // the next run (the worker's own resume write is rate-limited).
  fs_.FlushAll();
  (void)fs_.Drain();
  fs_.StopRunner();
  if (!fs_.WriteResumeFile(fs_.resume_path())) Log1("Write download info failed at stop");
}

void P2PEngine::Reset() {
  user_id_ = -1;
  complete_ = true;
  found_work_ = false;
  end_phase_ = 0;
  end_time_ = 0;
}

void P2PEngine::RecordEndPhase(int32_t phase, uint32_t end_time) {
  end_phase_ = phase;
  end_time_ = end_time;
}

void P2PEngine::DeleteDownloadInfo() {
  info_deleted_ = true;
  fs_.DeleteInfoFiles();
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
