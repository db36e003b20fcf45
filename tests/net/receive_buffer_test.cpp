// SPDX-License-Identifier: MIT
#include "p2p/net/receive_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "p2p/wire/wire_format.h"

namespace brelvane {
namespace {

using namespace wire;
using Bytes = std::vector<uint8_t>;

// Puts data pieces back together; false on a piece whose head does not
// continue the open data message (start advanced and MsgLength shrunk by
// exactly the data delivered before it).
struct Joiner {
  bool Add(const uint8_t* piece, size_t n) {
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
    if (open.size() == kHeaderSize + GetU32(open.data() + 16)) messages.push_back(std::exchange(open, {}));
    return true;
  }
  std::vector<Bytes> messages;
  Bytes open;  // the first piece of an unfinished data message and its data since
  size_t delivered = 0;
};

// Hello, request, respond, report, reset, a data message of `data_bytes`, start.
std::vector<Bytes> SampleMessages(size_t data_bytes, std::mt19937& random) {
  const MsgHeader h{0, 7, 3, 0x1234, 0};
  const PartDescriptor part{5, 2, 0x20000, static_cast<uint32_t>(data_bytes)};
  Report report;
  report.count = 1;
  report.entries[0] = part;
  const auto head = BuildDataHead(h, part);
  Bytes data(head.begin(), head.end());
  for (size_t i = 0; i < data_bytes; ++i) data.push_back(static_cast<uint8_t>(random()));
  return {BuildHello(h, 1),   BuildPartMessage(h, kRequest, part),     BuildRespond(h, 0, part),
          BuildReport(h, kReqFileReport, report), BuildHeaderOnly(h, kResetState), data,
          BuildPartMessage(h, kStart, part)};
}

TEST(ReceiveBufferTest, ReassemblesOverAwkwardSplits) {
  std::mt19937 random(11);
  struct Case {
    const char* name;
    size_t data_bytes;
    std::function<size_t(size_t room)> read;  // the next read's size
  };
  const Case cases[] = {
      {"one byte at a time", 1000, [](size_t) { return 1; }},
      {"headers split across reads", 1000, [](size_t) { return 19; }},
      {"300-byte reads", 1000, [](size_t) { return 300; }},
      {"many messages per read", 1000, [](size_t room) { return room; }},
      {"4 MiB data, random reads", 4u << 20,
       [&](size_t room) { return std::uniform_int_distribution<size_t>(1, room)(random); }},
      {"largest data message", kMaxDataLength - 16, [](size_t room) { return room - 1; }},
  };
  for (const Case& c : cases) {
    const std::vector<Bytes> messages = SampleMessages(c.data_bytes, random);
    Bytes stream;
    for (const Bytes& m : messages) stream.insert(stream.end(), m.begin(), m.end());
    Joiner joiner;
    ReceiveBuffer buffer;
    bool pieces_ok = true;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min({c.read(buffer.room()), buffer.room(), stream.size() - at});
      std::copy_n(stream.begin() + at, n, buffer.space());
      at += n;
      ASSERT_TRUE(buffer.Take(n, [&](const uint8_t* m, size_t len) {
        pieces_ok = joiner.Add(m, len) && pieces_ok;
      })) << c.name;
      // Never more kept than one fixed-size message: a read always has room.
      ASSERT_LT(buffer.kept(), kReportSize) << c.name;
    }
    EXPECT_TRUE(pieces_ok) << c.name;
    EXPECT_EQ(joiner.messages, messages) << c.name;
  }
}

}  // namespace
}  // namespace brelvane
