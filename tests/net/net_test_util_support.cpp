// SPDX-License-Identifier: MIT
#include "net_test_util.h"

#include <algorithm>
#include <cstring>

#include "p2p/wire/wire_format.h"

namespace brelvane::net_test {

bool Joiner::Add(const uint8_t* piece, size_t n) {
  using namespace wire;
  if (open_.empty()) {
    const MsgHeader h = DecodeHeader(piece);
    if (h.type == kData && n < kHeaderSize + h.length) {
      open_.assign(piece, piece + n);
      delivered_ = n - kDataHeadSize;
    } else {
      messages.emplace_back(piece, piece + n);
    }
    return true;
  }
  uint8_t expected[kDataHeadSize];
  std::memcpy(expected, open_.data(), kDataHeadSize);
  PutU32(expected + 16, GetU32(expected + 16) - static_cast<uint32_t>(delivered_));
  PutU32(expected + 28, GetU32(expected + 28) + static_cast<uint32_t>(delivered_));
  if (n < kDataHeadSize || std::memcmp(expected, piece, kDataHeadSize) != 0) {
    open_.clear();
    return false;
  }
  open_.insert(open_.end(), piece + kDataHeadSize, piece + n);
  delivered_ += n - kDataHeadSize;
  if (open_.size() == kHeaderSize + GetU32(open_.data() + 16)) {
    messages.push_back(std::move(open_));
    open_.clear();
  }
  return true;
}

void Recorder::OnPeerMessage(const PeerAddress&, const uint8_t* message, size_t length) {
  std::lock_guard<std::mutex> lock(mu);
  joined_ok = joined.Add(message, length) && joined_ok;
  cv.notify_all();
}

void Recorder::OnPeerClosed(const PeerAddress& peer, CloseReason reason) {
  std::lock_guard<std::mutex> lock(mu);
  closes.emplace_back(peer, reason);
  cv.notify_all();
}

void Recorder::OnServerDatagram(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mu);
  datagrams.emplace_back(data, data + length);
  cv.notify_all();
}

bool Recorder::WaitForClose(const PeerAddress& peer, CloseReason* reason) {
  return WaitFor([&] {
    for (const auto& [who, why] : closes) {
      if (who == peer) *reason = why;
      if (who == peer) return true;
    }
    return false;
  });
}

std::vector<Bytes> SampleMessages(size_t data_bytes, std::mt19937& random) {
  using namespace wire;
  const MsgHeader h{0, 7, 3, 0x1234, 0};
  const PartDescriptor part{5, 2, 0x20000, static_cast<uint32_t>(data_bytes)};
  Report report;
  report.count = 1;
  report.entries[0] = part;
  std::vector<Bytes> out = {BuildHello(h, 1), BuildPartMessage(h, kRequest, part),
                            BuildRespond(h, 0, part), BuildReport(h, kReqFileReport, report),
                            BuildHeaderOnly(h, kResetState)};
  const auto head = BuildDataHead(h, part);
  Bytes data(head.begin(), head.end());
  for (size_t i = 0; i < data_bytes; ++i) data.push_back(static_cast<uint8_t>(random()));
  out.push_back(std::move(data));
  out.push_back(BuildPartMessage(h, kStart, part));
  return out;
}

Bytes Concat(const std::vector<Bytes>& messages) {
  Bytes all;
  for (const Bytes& m : messages) all.insert(all.end(), m.begin(), m.end());
  return all;
}

}  // namespace brelvane::net_test
