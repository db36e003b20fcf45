// SPDX-License-Identifier: MIT
// HttpClient: a small HTTP/1.1 client for ranged GETs from mirrors (and, as a
// second form, POSTs with Basic authorization).  It parses the response
// header, follows redirects, and hands the body to the request's sink in
// fixed-size blocks with their absolute offsets.  One client runs one request
// at a time and keeps its connection open between requests to the same host
// (unless the server said "Connection: close").
//
// Every GET carries "Range: bytes=START-[END]" and the exact header set of
// FormatGetRequest (http_url.h).  Results: the count of body bytes received,
// or one of the negative kHttp* codes of http_types.h.  Beyond the plain
// protocol the client refuses, as untrusted input:
//   - more than kMaxRedirects redirects in one request (kHttpFailed);
//   - a header over 64 KiB, a header line over 16 KiB, or more than 512
//     header lines (kHttpFailed);
//   - a "200" answer to a range that starts after byte 0, and a "206" whose
//     Content-Range starts elsewhere than asked (kHttpRefused): their bytes
//     would land at the wrong offsets;
//   - body bytes beyond the Content-Length (dropped; the connection closes).
//
// Waiting.  Receives wait in poll() slices of kIdlePollMs; after every slice
// without data the idle and total limits are checked (kHttpTimeout) and the
// sink's OnReceive(0) may cancel.  The total limit is also checked before
// every receive, so a trickling server cannot stretch a response past it.
// Connecting waits at most connect_timeout_ms() (default kConnectTimeoutMs),
// shortened to the request's idle or total limit when that is smaller; a
// connect that fails or times out ends the request with kHttpFailed.
//
// Thread safety: one thread runs requests on a client at a time (Get with
// synchronous = false runs the request on a thread of the client's own).
// Close() may be called from any thread at any time: a running request then
// fails at once with kHttpFailed.  Cancel() does the same and also makes
// every later request fail at once, so that an owner stopping a worker
// thread cannot lose the race against a request about to start.  ResponseHeader(), Body() and
// response_info() describe the last finished request; read them only when no
// request runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "http/block_assembler.h"
#include "http/http_response_parser.h"
#include "http/http_types.h"
#include "http/http_url.h"
#include "platform/socket.h"

namespace brelvane {

class HttpClient {
 public:
  static constexpr int kMaxRedirects = 16;
  static constexpr int kIdlePollMs = 10;
  static constexpr uint32_t kConnectTimeoutMs = 21000;
  static constexpr size_t kReceiveBufferBytes = 16384;
  // Longest time a completed block waits for its batch (see DeliverBlocks).
  static constexpr uint64_t kLongestHoldMs = 50;

  HttpClient() = default;
  // Closes the connection; a running asynchronous request is cut and waited
  // for.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Runs a GET.  Synchronous: returns the final result.  Asynchronous:
  // returns 0 once a thread running the request has started (the result
  // then reaches only the sink's OnDone).  kHttpBusy when a request is
  // already running.  The sink's OnDone is called once with the final result
  // of every GET that was started, while the request still holds the client
  // (so that OnDone may close its connection): a Get made from OnDone, or
  // racing its return, answers kHttpBusy.
  [[nodiscard]] int64_t Get(const HttpRequest& request, bool synchronous);

  // Runs a POST synchronously.  Its sink is told only of the connection; the
  // response body is counted and kept for Body().
  [[nodiscard]] int64_t Post(const HttpPostRequest& request);

  // The raw header of the last response (callers print it on failure);
  // empty when the last request failed before any answer.
  const std::string& ResponseHeader() const { return parser_.header_text(); }
  // The bytes still held by the block assembler: the whole body when the
  // request had no sink and the default block size.  Valid until the next
  // request.
  std::string_view Body() const { return assembler_.current_view(); }
  const HttpResponseInfo& response_info() const { return parser_.info(); }

  // Shuts the connection down both ways and closes it.
  void Close();

  // Close(), and from now on every request on this client fails at once
  // with kHttpFailed (a GET's sink still hears OnDone).  Unlike Close(),
  // this also stops a request that another thread is about to start, which
  // Close() cannot reach because nothing runs yet.  Not undone: a cancelled
  // client is discarded by its owner.
  void Cancel();
  bool cancelled() const;

  bool connected() const;

  uint32_t connect_timeout_ms() const { return connect_timeout_ms_; }
  void set_connect_timeout_ms(uint32_t ms) { connect_timeout_ms_ = ms; }

 private:
  // One request being run: either a GET or a POST.
  struct Run {
    bool is_post = false;
    HttpRequest get;
    const HttpPostRequest* post = nullptr;
    HttpSink* sink = nullptr;  // receives OnReceive/OnData (GET only)
  };
  // Internal result: a redirect to follow.
  static constexpr int64_t kFollowRedirect = std::numeric_limits<int64_t>::min();

  // Claims the client for a request; false when one is running.
  bool Claim();
  // Releases the claim taken by Claim().
  void Release();

  int64_t RunGet(const HttpRequest& request);
  int64_t RunWithRedirects(Run& run, const std::string& url);
  int64_t RunOnce(Run& run, const std::string& url, HttpUrlParts* parts);
  int64_t Connect(const std::string& host, const Run& run);
  // The wait allowed for connecting and sending: connect_timeout_ms_,
  // shortened to the request's idle or total limit.
  int ConnectLimitMs(const Run& run) const;
  int64_t ReceiveResponse(Run& run);
  int64_t ReceiveBody(Run& run, uint64_t* total);
  // Waits for data (in poll slices) and receives up to `want` bytes into
  // `into`.  0 with *count > 0, or a negative result.
  int64_t WaitAndReceive(const Run& run, uint8_t* into, size_t want, size_t* count);
  // Hands completed blocks to the sink in batches of kHttpBlockBatch:
  // only full batches while data streams in, every completed block when the
  // socket goes quiet, the oldest has waited kLongestHoldMs, or the transfer
  // failed, and everything (the partial block last) when the body is done.
  enum class Deliver { kFullBatches, kCompleteBlocks, kEverything };
  bool DeliverBlocks(const Run& run, Deliver what);
  // Closes the socket on the request's own thread.
  void CloseSocket();

  // Guards socket_'s open/close, busy_ and request_thread_ against Close()
  // from other threads.  The request thread does its I/O on socket_ without
  // the lock: while a request runs, only that thread opens or closes it.
  mutable std::mutex mu_;
  platform::Socket socket_;
  bool busy_ = false;
  bool cancelled_ = false;  // latched by Cancel()
  std::thread::id request_thread_;
  std::atomic<bool> abort_{false};  // set by a foreign Close(); ends the running request

  std::thread async_thread_;

  // Owned by the request thread while a request runs.
  std::string host_;  // "name[:port]" of the open connection
  platform::InetAddress address_;
  HttpResponseParser parser_;
  BlockAssembler assembler_;
  uint64_t start_tick_ = 0;
  uint64_t last_activity_tick_ = 0;
  uint32_t block_index_ = 0;
  uint64_t first_held_tick_ = 0;  // when the oldest completed block completed
  uint8_t buffer_[kReceiveBufferBytes];
  uint32_t connect_timeout_ms_ = kConnectTimeoutMs;
};

}  // namespace brelvane
