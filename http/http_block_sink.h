// SPDX-License-Identifier: MIT
// The two small objects through which one HTTP download reaches the rest of
// the updater.
//
// HttpBlockSink receives the events of one queued request for a run of
// parts (a UID).  It charges every receive to the shared download limiter,
// hands every part-sized block to the storage registry (its buffer and the
// hashing of whole parts with it: CommitBlock, CheckWholeParts), and on
// failure penalises the mirror and wakes the control thread.  Destroying it
// releases the run in the registry, so parts not yet verified become free
// again for HTTP and peers alike.
//
// HttpWriteObserver goes with each committed block into the storage task and
// adds the bytes the block verified to the manager's verified-bytes counter.
// It keeps the counter alive itself, so a task that runs after the manager is
// gone still has somewhere to count.
//
// Thread safety: a sink is used by the download thread that runs its request
// (and destroyed there or by whoever drains the queue); an observer by the
// storage worker.  The counter is locked.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "http/http_types.h"
#include "platform/socket.h"
#include "storage/task.h"
#include "storage/uid.h"

namespace brelvane {

class AutoResetEvent;
class FileSystem;
class HttpMirrorTable;
class IDownloadMeter;

// Bytes of HTTP data that the storage engine verified.
class VerifiedByteCounter {
 public:
  void Add(uint64_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    bytes_ += count;
  }
  uint64_t Get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return bytes_;
  }

 private:
  mutable std::mutex mu_;
  uint64_t bytes_ = 0;  // guarded by mu_
};

// What a sink needs from its manager; every pointer outlives the sink
// (`meter` may be null: no limiting).
struct HttpSinkContext {
  FileSystem* file_system = nullptr;
  HttpMirrorTable* mirrors = nullptr;
  AutoResetEvent* work_event = nullptr;
  IDownloadMeter* meter = nullptr;
  std::shared_ptr<VerifiedByteCounter> verified;
};

class HttpWriteObserver : public IWriteObserver {
 public:
  explicit HttpWriteObserver(std::shared_ptr<VerifiedByteCounter> verified)
      : verified_(std::move(verified)) {}

  void OnVerifiedBytes(uint32_t count) override { verified_->Add(count); }
  void OnNothingVerified() override {}
  void Destroy() override { delete this; }

 private:
  std::shared_ptr<VerifiedByteCounter> verified_;
};

class HttpBlockSink : public HttpSink {
 public:
  HttpBlockSink(const HttpSinkContext& context, const UID& uid, int32_t mirror_id)
      : context_(context), uid_(uid), mirror_id_(mirror_id) {}
  // Releases the run in the storage registry.
  ~HttpBlockSink() override;
  HttpBlockSink(const HttpBlockSink&) = delete;
  HttpBlockSink& operator=(const HttpBlockSink&) = delete;

  // Remembers the server (for the address counts) and logs it.
  void OnConnect(const platform::InetAddress& address) override;
  // Charges the bytes to the download limiter (which may sleep); true.
  bool OnReceive(uint32_t count) override;
  // Counts the server address and commits the block; false when storage
  // refuses it (busy), which aborts the request.
  bool OnData(const uint8_t* data, uint32_t length, uint64_t offset) override;
  // Takes the blocks' buffers: whole parts are hashed here, side by side
  // (FileSystem::CheckWholeParts), and reach the storage worker without a
  // copy.  False at the first block storage refuses (the rest are dropped).
  bool OnBlocks(HttpBlock* blocks, size_t count) override;
  bool OnReserved(uint32_t, uint32_t, uint32_t) override { return true; }
  // For a failure: wakes the control thread, then logs and penalises the
  // mirror by the kind of failure.  Always closes the client's connection.
  void OnDone(HttpClient* client, int64_t result) override;

  // The flag that ends a limiter wait: the stop flag of the download thread
  // running the request.  Set before the request runs.
  void set_stop_flag(const std::atomic<bool>* stop) { stop_ = stop; }

  const UID& uid() const { return uid_; }
  int32_t mirror_id() const { return mirror_id_; }

 private:
  HttpSinkContext context_;
  UID uid_;
  int32_t mirror_id_;
  platform::InetAddress address_;
  const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace brelvane
