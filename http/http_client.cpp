// SPDX-License-Identifier: MIT
#include "http/http_client.h"

#include <algorithm>
#include <cinttypes>
#include <system_error>
#include <vector>

#include "base/file_log.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "storage/buffer_pool.h"

namespace brelvane {

using platform::NetCode;
using platform::NetStatus;

HttpClient::~HttpClient() {
  Close();
  if (async_thread_.joinable()) {
    // A sink that destroys its client from OnDone runs on that very thread.
    if (async_thread_.get_id() == std::this_thread::get_id()) {
      async_thread_.detach();
    } else {
      async_thread_.join();
    }
  }
}

bool HttpClient::Claim() {
  std::lock_guard<std::mutex> lock(mu_);
  if (busy_) return false;
  busy_ = true;
  request_thread_ = std::thread::id();
  // A cancelled client aborts every request it is given.
  abort_.store(cancelled_);
  return true;
}

void HttpClient::Release() {
  std::lock_guard<std::mutex> lock(mu_);
  busy_ = false;
  request_thread_ = std::thread::id();
}

void HttpClient::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (busy_ && request_thread_ != std::this_thread::get_id()) {
    // Another thread runs a request on this socket: wake it and let it close
    // the socket itself, so the descriptor is never closed under its feet.
    abort_.store(true);
    socket_.Shutdown();
    return;
  }
  socket_.Shutdown();
  socket_.Close();
}

void HttpClient::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled_ = true;
  }
  Close();
}

bool HttpClient::cancelled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cancelled_;
}

void HttpClient::CloseSocket() {
  std::lock_guard<std::mutex> lock(mu_);
  socket_.Shutdown();
  socket_.Close();
}

bool HttpClient::connected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return socket_.valid();
}

int64_t HttpClient::Get(const HttpRequest& request, bool synchronous) {
  if (!Claim()) return kHttpBusy;
  if (synchronous) return RunGet(request);
  // The previous asynchronous request has released the client, so its
  // thread is about to end (or has ended).
  if (async_thread_.joinable()) async_thread_.join();
  try {
    async_thread_ = std::thread([this, request] {
      platform::SetCurrentThreadName("HttpRequest");
      (void)RunGet(request);
    });
  } catch (const std::system_error&) {
    Log1("Http request thread could not be started");
    if (request.sink != nullptr) request.sink->OnDone(this, kHttpFailed);
    Release();
    return kHttpFailed;
  }
  return 0;
}

int64_t HttpClient::Post(const HttpPostRequest& request) {
  if (!Claim()) return kHttpBusy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    request_thread_ = std::this_thread::get_id();
  }
  Run run;
  run.is_post = true;
  run.post = &request;
  int64_t result = RunWithRedirects(run, request.url);
  Release();
  return result;
}

int64_t HttpClient::RunGet(const HttpRequest& request) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    request_thread_ = std::this_thread::get_id();
  }
  Run run;
  run.get = request;
  run.sink = request.sink;
  int64_t result = RunWithRedirects(run, request.url);
  if (request.sink != nullptr) request.sink->OnDone(this, result);
  Release();
  return result;
}

int64_t HttpClient::RunWithRedirects(Run& run, const std::string& first_url) {
  std::string url = first_url;
  for (int redirects = 0;; ++redirects) {
    HttpUrlParts parts;
    int64_t result = RunOnce(run, url, &parts);
    if (result != kFollowRedirect) return result;
    if (redirects == kMaxRedirects) {
      Log2("Http redirect limit (%d) reached at %s", kMaxRedirects, url.c_str());
      return kHttpFailed;
    }
    url = ResolveRedirect(parts, parser_.info().location);
    Log4("Http redirect to %s", url.c_str());
  }
}

int HttpClient::ConnectLimitMs(const Run& run) const {
  uint32_t limit = connect_timeout_ms_;
  if (!run.is_post) {
    limit = std::min({limit, run.get.idle_timeout_ms, run.get.total_timeout_ms});
  }
  return static_cast<int>(std::min<uint32_t>(limit, INT32_MAX));
}

int64_t HttpClient::Connect(const std::string& host, const Run& run) {
  std::string name;
  uint16_t port = 0;
  if (!SplitHostPort(host, &name, &port)) {
    Log4("Http bad host \"%s\"", host.c_str());
    return kHttpFailed;
  }
  std::vector<platform::InetAddress> addresses;
  NetStatus status = platform::ResolveIpv4(name, port, &addresses);
  if (!status.ok()) {
    Log4("Http resolve %s: %s", name.c_str(), status.ToString().c_str());
    return kHttpFailed;
  }
  platform::Socket socket;
  status = platform::Socket::ConnectTcp(addresses[0], ConnectLimitMs(run), &socket, &abort_);
  if (!status.ok()) {
    Log4("Http connect %s: %s", addresses[0].ToString().c_str(), status.ToString().c_str());
    return kHttpFailed;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (abort_.load()) return kHttpFailed;  // closed by another thread meanwhile
  socket_ = std::move(socket);
  address_ = addresses[0];
  return 0;
}

int64_t HttpClient::RunOnce(Run& run, const std::string& url, HttpUrlParts* parts) {
  if (abort_.load()) {
    CloseSocket();
    return kHttpFailed;
  }
  // Nothing of an earlier answer may be mistaken for this one's.
  parser_.Reset();
  assembler_.Reset(kHttpNoLimit);
  *parts = SplitUrl(url);
  std::string path = EncodeRequestPath(*parts);
  std::string text;
  bool formatted = path.size() <= kMaxRequestPathBytes &&
                   (run.is_post ? FormatPostRequest(path, *parts, run.post->content_type,
                                                    run.post->body, &text)
                                : FormatGetRequest(path, parts->host, run.get.range_start,
                                                   run.get.range_end, &text));
  if (!formatted) {
    Log2("Http request for %s does not fit %zu bytes", url.c_str(), kRequestBufferBytes - 1);
    return kHttpFailed;
  }

  if (parts->host != host_) CloseSocket();
  host_ = parts->host;
  // A kept-alive connection that has become readable while idle was closed
  // by the server (or carries stray bytes): it cannot take a request.
  if (connected() && socket_.WaitReadable(0).ok()) CloseSocket();
  if (!connected()) {
    int64_t result = Connect(host_, run);
    if (result < 0) {
      CloseSocket();
      return result;
    }
  }

  if (run.is_post && run.post->sink != nullptr) run.post->sink->OnConnect(address_);
  size_t sent = 0;
  NetStatus status = socket_.Send(text.data(), text.size(), ConnectLimitMs(run), &sent);
  if (!status.ok() || sent != text.size()) {
    Log4("Http send to %s: %s", address_.ToString().c_str(), status.ToString().c_str());
    CloseSocket();
    return kHttpFailed;
  }
  if (!run.is_post && run.sink != nullptr) run.sink->OnConnect(address_);
  return ReceiveResponse(run);
}

int64_t HttpClient::WaitAndReceive(const Run& run, uint8_t* into, size_t want, size_t* count) {
  const uint32_t idle = run.is_post ? kHttpNoLimit : run.get.idle_timeout_ms;
  const uint32_t total = run.is_post ? kHttpNoLimit : run.get.total_timeout_ms;
  for (;;) {
    if (abort_.load()) return kHttpFailed;
    if (total != kHttpNoLimit && platform::TickMs() - start_tick_ > total) return kHttpTimeout;
    NetStatus status = socket_.Receive(into, want, kIdlePollMs, count);
    if (status.ok()) return 0;
    if (status.code != NetCode::kTimeout) return kHttpFailed;
    // Nothing more for now: completed blocks do not wait for a full batch.
    if (assembler_.has_complete_block() && !DeliverBlocks(run, Deliver::kCompleteBlocks)) {
      return kHttpSinkRefused;
    }
    uint64_t now = platform::TickMs();
    if (idle != kHttpNoLimit && now - last_activity_tick_ > idle) return kHttpTimeout;
    if (total != kHttpNoLimit && now - start_tick_ > total) return kHttpTimeout;
    if (run.sink != nullptr && !run.sink->OnReceive(0)) return kHttpCancelled;
  }
}

int64_t HttpClient::ReceiveResponse(Run& run) {
  start_tick_ = last_activity_tick_ = platform::TickMs();
  block_index_ = 0;
  assembler_.Reset(run.is_post ? kHttpNoLimit : run.get.block_size);
  parser_.Reset();

  size_t count = 0;
  size_t header_bytes = 0;
  do {
    int64_t result = WaitAndReceive(run, buffer_, sizeof(buffer_), &count);
    if (result < 0) {
      CloseSocket();
      return result;
    }
    last_activity_tick_ = platform::TickMs();
    header_bytes = parser_.Feed(reinterpret_cast<const char*>(buffer_), count);
    if (parser_.state() == HttpResponseParser::State::kError) {
      Log2("Http response header from %s refused (over a limit: header %zu, line %zu, lines %zu)",
           address_.ToString().c_str(), HttpResponseParser::kMaxHeaderBytes,
           HttpResponseParser::kMaxLineBytes, HttpResponseParser::kMaxLines);
      CloseSocket();
      return kHttpFailed;
    }
    if (run.sink != nullptr && !run.sink->OnReceive(static_cast<uint32_t>(count))) {
      CloseSocket();
      return kHttpCancelled;
    }
  } while (!parser_.complete());

  const HttpResponseInfo& info = parser_.info();
  const char kind = info.status.empty() ? '\0' : info.status[0];
  if (kind == '3') {
    CloseSocket();
    return kFollowRedirect;
  }
  if (kind != '1' && kind != '2') {
    CloseSocket();
    return kHttpRefused;
  }
  const uint64_t range_start = run.is_post ? 0 : run.get.range_start;
  if (info.status == "200" && range_start > 0) {
    Log2("Http 200 answer to a range from %" PRIu64 " refused", range_start);
    CloseSocket();
    return kHttpRefused;
  }
  if (info.status == "206" && parser_.has_content_range() &&
      parser_.content_range_first() != range_start) {
    Log2("Http 206 answer from byte %" PRIu64 " to a range from %" PRIu64 " refused",
         parser_.content_range_first(), range_start);
    CloseSocket();
    return kHttpRefused;
  }

  // The bytes that came with the header are the start of the body.  Bytes
  // beyond the announced length belong to nothing we asked for.
  size_t held = count - header_bytes;
  bool overrun = false;
  if (info.content_length != kHttpNoContentLength && held > info.content_length) {
    held = info.content_length;
    overrun = true;
  }
  assembler_.Append(buffer_ + header_bytes, held);
  if (!DeliverBlocks(run, Deliver::kFullBatches)) {
    CloseSocket();
    return kHttpSinkRefused;
  }
  uint64_t total = held;
  if (info.content_length == kHttpNoContentLength || total < info.content_length) {
    int64_t result = ReceiveBody(run, &total);
    if (result < 0) {
      // Blocks completed before the failure are good data: the sink gets
      // them, as it would have had they completed in a later batch.
      if (result != kHttpSinkRefused) (void)DeliverBlocks(run, Deliver::kCompleteBlocks);
      return result;
    }
  }
  if (info.close_connection || overrun) CloseSocket();
  if (!DeliverBlocks(run, Deliver::kEverything)) {
    CloseSocket();
    return kHttpSinkRefused;
  }
  return static_cast<int64_t>(total);
}

int64_t HttpClient::ReceiveBody(Run& run, uint64_t* total) {
  const HttpResponseInfo& info = parser_.info();
  const uint32_t expected = info.content_length;
  while (expected == kHttpNoContentLength || *total < expected) {
    size_t want = sizeof(buffer_);
    if (expected != kHttpNoContentLength) {
      want = static_cast<size_t>(std::min<uint64_t>(want, expected - *total));
    }
    size_t count = 0;
    // Straight into the block being assembled: no copy on the way.
    uint8_t* into = assembler_.Tail(want, &want);
    int64_t result = WaitAndReceive(run, into, want, &count);
    if (result < 0) {
      CloseSocket();
      // A server that announced "Connection: close" ends the body by
      // closing; whatever arrived is the answer.
      return info.close_connection && result != kHttpSinkRefused ? 0 : result;
    }
    last_activity_tick_ = platform::TickMs();
    if (assembler_.Commit(count) > 0 && assembler_.complete_count() == 1) {
      first_held_tick_ = last_activity_tick_;
    }
    *total += count;
    // Full batches at once; fewer blocks once the first has waited long
    // enough (a slow transfer still hands over every part soon).
    const bool waited = assembler_.has_complete_block() &&
                        last_activity_tick_ - first_held_tick_ >= kLongestHoldMs;
    if (!DeliverBlocks(run, waited ? Deliver::kCompleteBlocks : Deliver::kFullBatches)) {
      CloseSocket();
      return kHttpSinkRefused;
    }
    if (run.sink != nullptr && !run.sink->OnReceive(static_cast<uint32_t>(count))) {
      CloseSocket();
      return kHttpCancelled;
    }
  }
  return 0;
}

bool HttpClient::DeliverBlocks(const Run& run, Deliver what) {
  if (run.sink == nullptr) return true;
  const uint64_t block_size = assembler_.block_size();
  HttpBlock batch[kHttpBlockBatch];
  const bool final = what == Deliver::kEverything;
  while (assembler_.complete_count() >= kHttpBlockBatch ||
         (what != Deliver::kFullBatches && assembler_.has_complete_block()) ||
         (final && assembler_.fill() > 0)) {
    size_t count = 0;
    while (count < kHttpBlockBatch && assembler_.has_complete_block()) {
      HttpBlock& block = batch[count++];
      block.length = static_cast<uint32_t>(assembler_.front().size());
      block.offset = run.get.range_start + uint64_t{block_index_++} * block_size;
      block.bytes = assembler_.TakeFront();
    }
    if (count < kHttpBlockBatch && !assembler_.has_complete_block() && final &&
        assembler_.fill() > 0) {
      HttpBlock& block = batch[count++];
      block.length = static_cast<uint32_t>(assembler_.fill());
      block.offset = run.get.range_start + uint64_t{block_index_++} * block_size;
      block.bytes = assembler_.TakeCurrent();
    }
    const bool accepted = run.sink->OnBlocks(batch, count);
    for (size_t i = 0; i < count; ++i) {
      // Buffers the sink left go back to the pool.
      BufferPool::Give(std::move(batch[i].bytes), batch[i].length);
    }
    if (!accepted) return false;
  }
  return true;
}

}  // namespace brelvane
