// SPDX-License-Identifier: MIT
// The records that describe one HTTP request and its response, the sink
// interface through which a request reports what it receives, and the final
// result codes of a request.
//
// A request's final result is a signed 64-bit number: zero or more is the
// count of body bytes received, a negative value is one of the kHttp* codes
// below.
//
// Thread safety: plain records; HttpSink implementations are called on the
// thread that runs the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket.h"

namespace brelvane {

class HttpClient;
class HttpSink;

// Connect, send or receive failed, the server closed the connection before
// the body was complete, or the response broke one of the client's limits
// (header size, redirect count).
inline constexpr int64_t kHttpFailed = -1;
// The status is not 1xx, 2xx or 3xx, or a 2xx answer does not cover the
// requested range (a 200 to a range that starts after byte 0).
inline constexpr int64_t kHttpRefused = -2;
// The idle or the total time limit passed.
inline constexpr int64_t kHttpTimeout = -3;
// The sink's OnReceive answered false.
inline constexpr int64_t kHttpCancelled = -4;
// The sink's OnData answered false.
inline constexpr int64_t kHttpSinkRefused = -5;
// A request is already running on this client.
inline constexpr int64_t kHttpBusy = -6;

inline constexpr uint64_t kHttpOpenEnd = ~uint64_t{0};
inline constexpr uint32_t kHttpNoLimit = ~uint32_t{0};
inline constexpr uint32_t kHttpNoContentLength = ~uint32_t{0};

// GET parameters; copied into the client when the request starts.
struct HttpRequest {
  // [http://][user-info@]host[:port][/path]
  std::string url;
  uint64_t range_start = 0;
  // Last byte wanted, inclusive; kHttpOpenEnd asks for everything from
  // range_start on.
  uint64_t range_end = kHttpOpenEnd;
  // Longest time without received data, and longest time for the whole
  // response, in milliseconds; kHttpNoLimit for none.
  uint32_t idle_timeout_ms = kHttpNoLimit;
  uint32_t total_timeout_ms = kHttpNoLimit;
  // Size of the blocks handed to the sink; kHttpNoLimit (or 0) keeps the
  // whole body in one block.
  uint32_t block_size = kHttpNoLimit;
  // Receives events and data; not owned; may be null.
  HttpSink* sink = nullptr;
};

struct HttpPostRequest {
  std::string url;
  std::string body;
  std::string content_type;
  HttpSink* sink = nullptr;  // only told of the connection; not owned
};

// What the client read from a response header; reset before each response.
struct HttpResponseInfo {
  std::string status;  // the three status code characters ("206")
  uint32_t content_length = kHttpNoContentLength;
  bool close_connection = false;
  std::string location;
};

// One block of body data whose buffer the sink may take (by moving `bytes`
// out); the client reuses or frees what is left.
struct HttpBlock {
  std::unique_ptr<uint8_t[]> bytes;  // at least `length` bytes
  uint32_t length = 0;
  uint64_t offset = 0;  // absolute offset in the resource
};

// Blocks handed to a sink at once: enough that the parts of a run can be
// hashed side by side (catalogue/md5_lanes.h).
inline constexpr size_t kHttpBlockBatch = 8;

// The receiver of one request's events.  Every operation has a harmless
// default (do nothing, answer true).
class HttpSink {
 public:
  virtual ~HttpSink() = default;

  // The server the request is sent to; once for each server contacted,
  // before its response is read.
  virtual void OnConnect(const platform::InetAddress& address) { (void)address; }

  // After every receive with its byte count, and with 0 on every idle poll
  // (about every 10 ms without data).  Answering false cancels the request
  // (result kHttpCancelled).
  virtual bool OnReceive(uint32_t count) {
    (void)count;
    return true;
  }

  // One block of body data and its absolute offset in the resource.  Every
  // block has the request's block size except the last.  Answering false
  // aborts the request (result kHttpSinkRefused).
  virtual bool OnData(const uint8_t* data, uint32_t length, uint64_t offset) {
    (void)data;
    (void)length;
    (void)offset;
    return true;
  }

  // Up to kHttpBlockBatch consecutive blocks at once, in order: the
  // client hands completed blocks over in batches of that many, and the
  // rest when the body ends (or fails).  The sink may take the buffers.
  // The default calls OnData for each block, stopping at the first false.
  // Answering false aborts the request (result kHttpSinkRefused).
  virtual bool OnBlocks(HttpBlock* blocks, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (!OnData(blocks[i].bytes.get(), blocks[i].length, blocks[i].offset)) return false;
    }
    return true;
  }

  // A hook kept for implementers that want one; the client never calls it.
  virtual bool OnReserved(uint32_t a, uint32_t b, uint32_t c) {
    (void)a;
    (void)b;
    (void)c;
    return true;
  }

  // The final result of a GET, after every GET, successful or not.  The
  // client may be closed from here (HttpClient::Close), but no new request
  // may be started on it (it answers kHttpBusy).
  virtual void OnDone(HttpClient* client, int64_t result) {
    (void)client;
    (void)result;
  }
};

}  // namespace brelvane
