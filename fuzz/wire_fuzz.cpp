// SPDX-License-Identifier: MIT
// A peer's TCP byte stream through the connection's receive buffer: message
// validation, extraction, and data messages delivered piece by piece behind
// the continuation head.  Every delivered message is decoded.  Input: one
// byte choosing the read size, then the stream.  The same bytes are also
// offered as one main-server datagram to the server's validation.
#include <algorithm>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "p2p/net/receive_buffer.h"
#include "p2p/wire/wire_format.h"

namespace wire = brelvane::wire;
using brelvane::fuzz::Require;

namespace {

void Decode(const uint8_t* m, size_t n) {
  const wire::MsgHeader h = wire::DecodeHeader(m);
  if (h.type == wire::kData) {
    Require(n >= wire::kHeaderSize && n - wire::kHeaderSize <= h.length, "piece within its message");
    if (n >= wire::kDataHeadSize) (void)wire::DecodePartMessage(m);
    return;
  }
  Require(wire::FixedSize(h.type) == n, "whole message of its fixed size");
  switch (h.type) {
    case wire::kLoginAck: (void)wire::DecodeLoginAck(m); break;
    case wire::kPeerList: {
      const wire::PeerList list = wire::DecodePeerList(m);
      for (const wire::PeerRecord& r : list.records) (void)wire::PeerRecordText(r);
      break;
    }
    case wire::kConnectRequestSC: (void)wire::DecodeConnectRequest(m); break;
    case wire::kHello: (void)wire::DecodeHello(m); break;
    case wire::kRequest: case wire::kStart: (void)wire::DecodePartMessage(m); break;
    case wire::kRespond: (void)wire::DecodeRespondStatus(m), (void)wire::DecodeRespondPart(m); break;
    case wire::kReqFileReport: case wire::kAskFileReport: (void)wire::DecodeReport(m); break;
    default: break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t read_size = 1 + data[0] * 37u;  // 1 .. 9436 bytes per read
  const uint8_t* stream = data + 1;
  const size_t length = size - 1;

  if (length >= wire::kHeaderSize && wire::ValidateForServer(stream, length)) {
    Require(wire::FixedSize(wire::DecodeHeader(stream).type) == length, "server message size");
  }
  static brelvane::ReceiveBuffer buffer;
  buffer = brelvane::ReceiveBuffer();
  for (size_t at = 0; at < length;) {
    Require(buffer.room() > 0 && buffer.kept() < wire::kReportSize, "room for the next read");
    const size_t n = std::min({read_size, buffer.room(), length - at});
    std::memcpy(buffer.space(), stream + at, n);
    at += n;
    if (!buffer.Take(n, Decode)) break;
  }
  return 0;
}
