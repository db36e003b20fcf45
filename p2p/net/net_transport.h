// SPDX-License-Identifier: MIT
// NetTransport: the socket layer of the peer-to-peer network.  It owns the
// two bandwidth limiters, shared by every transfer, and the traffic totals
// the status line and the console print.
//
// This build has no peer-to-peer network yet: the server link, the TCP
// listener and the peer connections arrive with the peer protocol.  Network
// start therefore always succeeds and nothing is listened on, while the
// limiters and totals are the real ones the HTTP transfers use.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/config.h"
#include "p2p/net/bandwidth_limiter.h"

namespace brelvane {

class NetTransport {
 public:
  // `settings` must outlive the transport.
  explicit NetTransport(ConfigSettings& settings);
  NetTransport(const NetTransport&) = delete;
  NetTransport& operator=(const NetTransport&) = delete;

  // Brings the network up.  True when it is usable.
  [[nodiscard]] bool Initialise();
  // Starts the listener and the connection threads ("Starting TCPServer").
  void Start();
  // Ends every wait of the limiters and stops the threads.
  void Stop();
  // Closes every socket and zeroes the totals and limiter windows.
  void Close();

  // The limiters follow the configured limits; call after a change.
  void RestartUploadWindow();
  void RestartDownloadWindow();

  BandwidthLimiter& download_limiter() { return download_; }
  BandwidthLimiter& upload_limiter() { return upload_; }

  uint64_t TotalSent() const { return upload_.TotalBytes(); }
  uint64_t TotalReceived() const { return download_.HttpBytes() + download_.P2PBytes(); }
  uint64_t ReceivedHttp() const { return download_.HttpBytes(); }
  uint64_t ReceivedP2P() const { return download_.P2PBytes(); }
  int32_t ConnectionCount() const { return 0; }
  uint32_t ServerMessagesSent() const { return server_messages_.load(std::memory_order_relaxed); }

 private:
  ConfigSettings& settings_;
  BandwidthLimiter download_;
  BandwidthLimiter upload_;
  std::atomic<uint32_t> server_messages_{0};
};

}  // namespace brelvane
