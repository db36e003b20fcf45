// SPDX-License-Identifier: MIT
#include "http/seed_retrieval.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>
#include <utility>

#include "base/file_log.h"
#include "catalogue/seed_document.h"
#include "http/http_client.h"
#include "storage/file_system.h"
#include "storage/task_queue.h"

namespace brelvane {
namespace {

bool Running(const std::atomic<bool>* running) {
  return running == nullptr || running->load(std::memory_order_relaxed);
}

void Pause(const SeedRetrievalOptions& options) {
  if (options.pause) {
    options.pause(options.pass_pause_ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.pass_pause_ms));
  }
}

// Keeps a torrent body, refusing (by cancelling) one that grows beyond its
// limit: a document of that size is not a torrent.
class TorrentSink : public HttpSink {
 public:
  explicit TorrentSink(size_t limit) : limit_(limit) {}

  bool OnReceive(uint32_t count) override {
    received_ += count;
    return received_ <= limit_ + kHeaderAllowance;
  }
  bool OnData(const uint8_t* data, uint32_t length, uint64_t /*offset*/) override {
    if (body_.size() + length > limit_) return false;
    body_.append(reinterpret_cast<const char*>(data), length);
    return true;
  }
  const std::string& body() const { return body_; }

 private:
  // The receive counts include the response header.
  static constexpr uint64_t kHeaderAllowance = 64 * 1024;
  size_t limit_;
  uint64_t received_ = 0;
  std::string body_;
};

// The seed is a file list, compressed or not: never larger than the text
// the reader accepts.  Its parts are the download's blocks, each held in
// memory whole, so no part may be larger either.
bool SeedFitsBounds(const FileEntry& seed) {
  if (seed.size > kFileListBounds.max_bytes) return false;
  return std::all_of(seed.parts.begin(), seed.parts.end(), [](const PartEntry& part) {
    return part.length <= kFileListBounds.max_bytes;
  });
}

// One attempt at one mirror.  Returns true when the torrent was taken.
bool TryTorrent(SeedSources& sources, const std::string& mirror, SeedInfo* info,
                const SeedRetrievalOptions& options) {
  HttpClient client;
  TorrentSink sink(options.max_torrent_bytes);
  HttpRequest request;
  request.url = mirror + "/" + sources.torrent_name;
  request.idle_timeout_ms = options.idle_timeout_ms;
  request.total_timeout_ms = options.torrent_total_timeout_ms;
  request.sink = &sink;
  const int64_t result = client.Get(request, true);
  client.Close();
  if (result < 0) {
    Log1("Get torrent try fail. ErrorCode: %d, \nHeader:\n%s", static_cast<int>(result),
         client.ResponseHeader().c_str());
    return false;
  }
  const std::string_view body(sink.body().data(),
                              std::min<size_t>(sink.body().size(), static_cast<size_t>(result)));
  SeedInfo torrent;
  DocumentFault fault = DocumentFault::kNone;
  if (!ParseTorrent(body, &torrent, &fault)) {
    if (fault != DocumentFault::kNone) {
      Log1("Torrent from %s refused before parsing, it holds %s", mirror.c_str(),
           DescribeDocumentFault(fault, kTorrentBounds).c_str());
    }
    return false;
  }
  if (torrent.file.size == 0) {
    Log1("Read torrent error");
    return false;
  }
  if (!SeedFitsBounds(torrent.file)) {
    Log1("Torrent from %s describes a seed of %llu bytes or parts beyond %llu bytes",
         mirror.c_str(), static_cast<unsigned long long>(torrent.file.size),
         static_cast<unsigned long long>(kFileListBounds.max_bytes));
    Log1("Read torrent error");
    return false;
  }
  torrent.file.id = kSeedFileId;

  std::mt19937 random(std::random_device{}());
  bool added = false;
  if (!torrent.trackers.empty()) {
    std::vector<TrackerEntry> trackers = torrent.trackers;
    std::shuffle(trackers.begin(), trackers.end(), random);
    for (const TrackerEntry& tracker : trackers) {
      sources.server_addresses.push_back(tracker.ip);
      sources.server_ports.push_back(tracker.port);
    }
    added = true;
  }
  if (!torrent.http_urls.empty()) {
    std::vector<std::string> urls = torrent.http_urls;
    std::shuffle(urls.begin(), urls.end(), random);
    sources.download_mirrors.insert(sources.download_mirrors.begin(), urls.begin(), urls.end());
    added = true;
  }
  if (!added) {
    sources.server_addresses.clear();
    sources.server_ports.clear();
    sources.download_mirrors.clear();
    return false;
  }
  // The same digest Md5StreamRange gives over the whole body.
  sources.seed_hash = Md5Buffer(body.data(), body.size());
  *info = std::move(torrent);
  return true;
}

// A task that does nothing; it opens its gate when it is destroyed, after
// running or unrun, so that a waiter learns that every task posted before
// it has been dealt with.
class BarrierTask : public Task {
 public:
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
  };
  explicit BarrierTask(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  ~BarrierTask() override {
    {
      std::lock_guard<std::mutex> lock(gate_->mu);
      gate_->open = true;
    }
    gate_->cv.notify_all();
  }
  void Run(FileSystem* /*context*/) override {}

 private:
  std::shared_ptr<Gate> gate_;
};

// Waits until the storage worker has dealt with every block committed so far.
void WaitForStorage(FileSystem& file_system) {
  auto gate = std::make_shared<BarrierTask::Gate>();
  std::unique_ptr<Task> task = std::make_unique<BarrierTask>(gate);
  if (!file_system.runner().Post(task, kInfiniteWait)) return;  // not started: nothing queued
  std::unique_lock<std::mutex> lock(gate->mu);
  gate->cv.wait(lock, [&] { return gate->open; });
}

}  // namespace

bool SeedSink::OnData(const uint8_t* data, uint32_t length, uint64_t offset) {
  return file_system_->CommitWrite(file_id_, data, length, offset, nullptr);
}

bool GetTorrent(SeedSources& sources, const std::atomic<bool>* running, SeedInfo* info,
                const SeedRetrievalOptions& options) {
  if (sources.configured_mirrors.empty()) {
    Log1("Empty http list");
    return false;
  }
  for (uint32_t pass = 0; pass < options.passes; ++pass) {
    for (const std::string& mirror : sources.configured_mirrors) {
      if (!Running(running)) break;
      if (TryTorrent(sources, mirror, info, options)) return true;
    }
    Pause(options);
  }
  return false;
}

bool DownloadSeed(const SeedSources& sources, FileSystem& file_system,
                  const std::atomic<bool>* running, const SeedRetrievalOptions& options) {
  if (sources.configured_mirrors.empty()) {
    Log1("HttpList is empty");
    return false;
  }
  if (!file_system.RegisterSeed()) {
    Log1("RegisterSeed fail, this should never happened");
    return false;
  }
  File* seed = file_system.GetFile(kSeedFileId);
  const PartBuffer* first = seed == nullptr ? nullptr : seed->GetPart(0);
  if (first == nullptr) {
    Log1("Seed file has no parts");
    return false;
  }
  const uint64_t range_start = first->Offset();
  const uint64_t wanted = seed->DeclaredSize() - std::min(seed->DeclaredSize(), range_start);

  for (uint32_t pass = 0; pass < options.passes; ++pass) {
    for (const std::string& mirror : sources.configured_mirrors) {
      if (!Running(running)) return false;
      HttpRequest request;
      request.url = mirror + "/" + seed->Name();
      Log4("Requesting seed: %s", request.url.c_str());
      SeedSink sink(&file_system, kSeedFileId);
      request.range_start = range_start;
      request.idle_timeout_ms = options.idle_timeout_ms;
      request.block_size = first->Length();
      request.sink = &sink;
      HttpClient client;
      const int64_t result = client.Get(request, true);
      if (result < 0) {
        Log1("Request seed fail. result: %d, http_header: \n%s", static_cast<int>(result),
             client.ResponseHeader().c_str());
        continue;
      }
      if (static_cast<uint64_t>(result) < wanted) continue;
      WaitForStorage(file_system);
      if (file_system.AllWritten()) return true;
    }
  }
  return false;
}

}  // namespace brelvane
