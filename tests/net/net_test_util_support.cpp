// SPDX-License-Identifier: MIT
#include <cstring>

#include "net_test_util.h"
#include "p2p/wire/wire_format.h"

namespace brelvane::net_test {
using namespace wire;

bool Joiner::Add(const uint8_t* piece, size_t n) {
  if (open.empty()) {
    const MsgHeader h = DecodeHeader(piece);
    const bool partial = h.type == kData && n < kHeaderSize + h.length;
    (partial ? open : messages.emplace_back()).assign(piece, piece + n);
    delivered = partial ? n - kDataHeadSize : 0;
    return true;
  }
  uint8_t head[kDataHeadSize];
  std::memcpy(head, open.data(), kDataHeadSize);
  PutU32(head + 16, GetU32(head + 16) - static_cast<uint32_t>(delivered));
  PutU32(head + 28, GetU32(head + 28) + static_cast<uint32_t>(delivered));
  if (n < kDataHeadSize || std::memcmp(head, piece, kDataHeadSize) != 0) return false;
  open.insert(open.end(), piece + kDataHeadSize, piece + n);
  delivered += n - kDataHeadSize;
  if (open.size() == kHeaderSize + GetU32(open.data() + 16)) {
    messages.push_back(std::move(open));
    open.clear();
  }
  return true;
}

std::vector<Bytes> SampleMessages(size_t data_bytes, std::mt19937& random) {
  const MsgHeader h{0, 7, 3, 0x1234, 0};
  const PartDescriptor part{5, 2, 0x20000, static_cast<uint32_t>(data_bytes)};
  Report report;
  report.count = 1;
  report.entries[0] = part;
  const auto head = BuildDataHead(h, part);
  Bytes data(head.begin(), head.end());
  for (size_t i = 0; i < data_bytes; ++i) data.push_back(static_cast<uint8_t>(random()));
  return {BuildHello(h, 1),
          BuildPartMessage(h, kRequest, part),
          BuildRespond(h, 0, part),
          BuildReport(h, kReqFileReport, report),
          BuildHeaderOnly(h, kResetState),
          data,
          BuildPartMessage(h, kStart, part)};
}

Bytes Concat(const std::vector<Bytes>& messages) {
  Bytes all;
  for (const Bytes& m : messages) all.insert(all.end(), m.begin(), m.end());
  return all;
}

}  // namespace brelvane::net_test
