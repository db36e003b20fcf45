// SPDX-License-Identifier: MIT
// The transport as the engine's protocol code sees it, and the engine as the
// transport sees it.  NetTransport implements IServerLink and IPeerLink; the
// engine implements ITransportListener.  Tests put scripted versions of
// either side behind the same interfaces.
//
// A peer connection is named by its IPv4 socket address (platform::InetAddress,
// host order).  Two addresses are equal when address and port are.
//
// Thread safety: implementations accept calls from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace brelvane {

using PeerAddress = platform::InetAddress;

// Why a peer connection was closed, as told to the engine.
enum class CloseReason : int32_t {
  kRemoteClosed = 0,  // "远端关闭": the remote side closed, or the read failed
  kBadMessage = 1,    // "消息格式错误": a message failed validation
  kReceiveFailed = 2, // "Recv调用错误": the next receive could not be started
  kIdle = 3,          // "超时": idle for more than 270 seconds
};
// The reason's text ("" for a value outside the table).
const char* CloseReasonText(CloseReason reason);

class IServerLink {
 public:
  virtual ~IServerLink() = default;
  // Sends one datagram to the current main server; the byte count or -1.
  virtual int64_t SendToServer(const uint8_t* data, size_t length) = 0;
  // Points the link at another main server (dotted IPv4 text, port).
  virtual void SetServerDestination(const std::string& ip, uint16_t port) = 0;
};

// SendToPeer's result for a send that timed out before any byte went out.
inline constexpr int64_t kSendTimedOut = -2;

class IPeerLink {
 public:
  virtual ~IPeerLink() = default;
  // Sends `length` bytes to the connected peer in pieces of at most 4096
  // bytes, through the upload limiter when `throttled`.  Returns the bytes
  // sent, or -1 (no such connection, a send error, or `*stop` turned true).
  // A send time-out after some bytes returns the count sent so far; one
  // before any byte of this call went out returns kSendTimedOut, so that the
  // caller may try again.
  virtual int64_t SendToPeer(const PeerAddress& peer, const uint8_t* data, size_t length,
                             bool throttled, const std::atomic<bool>* stop) = 0;
  // Queues the connection for closing by the housekeeping thread.
  virtual void ClosePeer(const PeerAddress& peer) = 0;
};

class ITransportListener {
 public:
  virtual ~ITransportListener() = default;
  // One whole message, or one piece of a data message, from a peer.  Called
  // on the housekeeping thread; `message` is valid only during the call.
  virtual void OnPeerMessage(const PeerAddress& peer, const uint8_t* message, size_t length) = 0;
  // The connection is gone (housekeeping thread).
  virtual void OnPeerClosed(const PeerAddress& peer, CloseReason reason) = 0;
  // A datagram of at least 20 bytes from the current main server (the
  // server-link receive thread).  Datagrams from any other address never get
  // here.
  virtual void OnServerDatagram(const uint8_t* data, size_t length) = 0;
  // True while the listener keeps received data back until the receive side
  // has caught up (housekeeping thread).  The transport then looks for more
  // without waiting and, when there is none, calls OnReceiveIdle.
  virtual bool HoldsReceivedData() { return false; }
  virtual void OnReceiveIdle() {}
};

}  // namespace brelvane
