// SPDX-License-Identifier: MIT
// Message sizes and validation, field offsets, stream reassembly.
#include "p2p/wire/wire_format.h"

#include <gtest/gtest.h>

namespace brelvane::wire {
namespace {

std::vector<uint8_t> Raw(int32_t type, uint32_t length, size_t bytes) {
  std::vector<uint8_t> m(std::max(bytes, kHeaderSize), 0);
  EncodeHeader(MsgHeader{type, 0, -1, 0, length}, m.data());
  return m;
}

struct SizeCase {
  int32_t type;
  size_t total;
  bool from_server_or_peer;  // validates for the client, else for the server
};
const SizeCase kSizes[] = {
    {100, 48, false}, {101, 32, true}, {102, 20, false}, {103, 344, true}, {104, 20, false},
    {105, 20, false}, {107, 364, true}, {108, 24, false}, {109, 20, true}, {110, 184, false},
    {300, 20, true}, {500, 20, true}, {501, 60, false}, {502, 60, true}, {504, 20, true},
    {600, 36, true}, {601, 40, true}, {602, 36, true}, {604, 536, true}, {605, 536, true},
    {700, 24, true}};

TEST(WireFormatTest, EveryTypeValidatesAtExactlyItsSizeOnItsSide) {
  for (const SizeCase& c : kSizes) {
    for (size_t total : {c.total - 1, c.total, c.total + 1}) {
      SCOPED_TRACE(testing::Message() << c.type << " at " << total);
      const std::vector<uint8_t> m = Raw(c.type, static_cast<uint32_t>(total - kHeaderSize), total);
      EXPECT_EQ(ValidateForClient(m.data()), c.from_server_or_peer && total == c.total);
      EXPECT_EQ(ValidateForServer(m.data(), total), !c.from_server_or_peer && total == c.total);
    }
    // The right MsgLength in a datagram one byte too long.
    const std::vector<uint8_t> longer = Raw(c.type, uint32_t(c.total - 20), c.total + 1);
    EXPECT_FALSE(ValidateForServer(longer.data(), longer.size())) << c.type;
  }
  for (int32_t unknown : {-1, 0, 99, 106, 111, 301, 503, 606, 701}) {
    EXPECT_FALSE(ValidateForClient(Raw(unknown, 0, 0).data())) << unknown;
    EXPECT_FALSE(ValidateForServer(Raw(unknown, 0, 0).data(), kHeaderSize)) << unknown;
  }
  EXPECT_TRUE(ValidateForClient(Raw(kData, kMaxDataLength, 0).data()));
  EXPECT_FALSE(ValidateForClient(Raw(kData, kMaxDataLength + 1, 0).data()));
  EXPECT_TRUE(ValidateForClient(Raw(kData, 0, 0).data()));
}

TEST(WireFormatTest, BuildersPutEveryFieldAtItsOffsetLittleEndian) {
  const MsgHeader h{0, 7, -1, 0xA1B2C3D4, 0};
  Login login{12000, 4000, 0x0A000002, 4000, {}};
  for (uint8_t i = 0; i < 16; ++i) login.seed_hash[i] = i;
  std::vector<uint8_t> m = BuildLogin(h, login);
  ASSERT_EQ(m.size(), kLoginSize);
  EXPECT_EQ(std::vector<uint8_t>(m.begin(), m.begin() + 20),
            std::vector<uint8_t>({100, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xD4, 0xC3,
                                  0xB2, 0xA1, 28, 0, 0, 0}));
  EXPECT_EQ(GetU16(&m[20]), 12000);
  EXPECT_EQ(GetU16(&m[22]), 4000);
  EXPECT_EQ(m[24], 0x02);  // host-order address, little-endian: 10.0.0.2 starts with the 2
  EXPECT_EQ(GetU32(&m[28]), 4000u);
  EXPECT_EQ(m[32 + 15], 15);
  EXPECT_EQ(DecodeLogin(m.data()).seed_hash, login.seed_hash);

  m = BuildLoginAck(h, LoginAck{3, 42, 0x55667788});
  EXPECT_EQ(GetI32(&m[20]), 3);
  EXPECT_EQ(DecodeLoginAck(m.data()).user_id, 42);
  EXPECT_EQ(GetU32(&m[28]), 0x55667788u);

  PeerList list;
  list.count = 16;
  list.records[15] = PeerRecord{9, {0x7F000001, 4000, 0}, {0x7F000002, 12000, 5}};
  m = BuildPeerList(h, list);
  EXPECT_EQ(GetI32(&m[20]), 16);
  EXPECT_EQ(DecodePeerRecord(&m[24 + 20 * 15]), list.records[15]);
  EXPECT_EQ(GetU16(&m[24 + 20 * 15 + 16]), 12000);
  EXPECT_EQ(DecodePeerList(m.data()).records, list.records);

  const ConnectRequest request{list.records[15], PeerRecord{3, {1, 2, 0}, {1, 12000, 4000}}};
  m = BuildConnectRequest(h, kConnectRequestSC, request);
  EXPECT_EQ(GetI32(&m[40]), 3);
  EXPECT_EQ(GetU16(&m[56]), 12000);
  EXPECT_EQ(DecodeConnectRequest(m.data()).target, request.target);

  const PartDescriptor d{5, 6, 0x10000, 0x8000};
  EXPECT_EQ(DecodePartMessage(BuildPartMessage(h, kStart, d).data()), d);
  m = BuildRespond(h, 2, d);
  EXPECT_EQ(DecodeRespondStatus(m.data()), 2u);
  EXPECT_EQ(DecodeRespondPart(m.data()), d);
  Report report;
  report.count = 32;
  report.entries[31] = d;
  EXPECT_EQ(DecodeReport(BuildReport(h, kAskFileReport, report).data()).entries[31], d);
  EXPECT_EQ(BuildProgress(h, 77)[20], 77);
  EXPECT_EQ(DecodeHello(BuildHello(h, 1).data()), 1u);
  EXPECT_EQ(DecodeHeader(BuildDataHead(h, d).data()).length, 0x8000u + 16);
}

TEST(WireFormatTest, DataMessageArrivingInPiecesIsDeliveredWithAdvancingHeads) {
  const PartDescriptor d{1, 2, 5000, 1000};
  const std::array<uint8_t, kDataHeadSize> head = BuildDataHead(MsgHeader{}, d);
  std::vector<uint8_t> stream(head.begin(), head.end());
  for (int i = 0; i < 1000; ++i) stream.push_back(static_cast<uint8_t>(i % 251));

  std::vector<uint8_t> buffer, delivered;
  for (size_t at = 0; at < stream.size(); at += 300) {
    const size_t end = std::min(at + 300, stream.size());
    buffer.insert(buffer.end(), stream.begin() + at, stream.begin() + end);
    ASSERT_LE(buffer.size(), kDataHeadSize + 300);
    const Extraction x = ExtractMessage(buffer.data(), buffer.size());
    ASSERT_TRUE(x.result == Extract::kPartialData || x.result == Extract::kMessage);
    const uint32_t done = static_cast<uint32_t>(delivered.size());
    EXPECT_EQ(DecodePartMessage(buffer.data()).start, d.start + done);
    EXPECT_EQ(DecodeHeader(buffer.data()).length, d.length + 16 - done);
    delivered.insert(delivered.end(), buffer.begin() + kDataHeadSize, buffer.begin() + x.length);
    buffer.erase(buffer.begin(), buffer.begin() + x.length);
    if (x.result == Extract::kPartialData) {
      buffer.assign(x.continuation.begin(), x.continuation.end());
    }
  }
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(delivered, std::vector<uint8_t>(stream.begin() + kDataHeadSize, stream.end()));
}

TEST(WireFormatTest, ManyMessagesInOneBufferComeOutOneByOne) {
  std::vector<uint8_t> buffer;
  for (const std::vector<uint8_t>& m : {BuildHello({}, 0), BuildRespond({}, 0, {}),
                                         BuildHeaderOnly({}, kResetState), Raw(kData, 26, 46)}) {
    buffer.insert(buffer.end(), m.begin(), m.end());
  }
  buffer.resize(buffer.size() + 10);  // the start of a message still on its way
  std::vector<size_t> lengths;
  Extraction x;
  while ((x = ExtractMessage(buffer.data(), buffer.size())).result == Extract::kMessage) {
    lengths.push_back(x.length);
    buffer.erase(buffer.begin(), buffer.begin() + x.length);
  }
  EXPECT_EQ(lengths, std::vector<size_t>({24, 40, 20, 46}));
  EXPECT_EQ(buffer.size(), 10u);
  EXPECT_EQ(ExtractMessage(Raw(kRespond, 20, 30).data(), 30).result, Extract::kNeedMore);
  EXPECT_EQ(ExtractMessage(Raw(kData, 100, 36).data(), 36).result, Extract::kNeedMore);
  EXPECT_EQ(ExtractMessage(Raw(kLogin, 28, 48).data(), 48).result, Extract::kBad);
}

}  // namespace
}  // namespace brelvane::wire
