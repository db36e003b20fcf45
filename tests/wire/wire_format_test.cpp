// SPDX-License-Identifier: MIT
// Message sizes and validation, field offsets.  Stream reassembly (several
// messages per read, data messages in pieces behind advancing heads) is
// the receive buffer test's (in net_transport_test), and the wire fuzz target's.
#include "p2p/wire/wire_format.h"

#include <gtest/gtest.h>

namespace brelvane::wire {
namespace {

std::vector<uint8_t> Raw(int32_t type, uint32_t length, size_t bytes) {
  std::vector<uint8_t> m(std::max(bytes, kHeaderSize), 0);
  EncodeHeader(MsgHeader{type, 0, -1, 0, length}, m.data());
  return m;
}

// Type, size, and whether it comes from the server or a peer (validates
// for the client) or else goes to the server.
const std::tuple<int32_t, size_t, bool> kSizes[] = {
    {100, 48, false}, {101, 32, true}, {102, 20, false}, {103, 344, true}, {104, 20, false}, {105, 20, false},
    {107, 364, true}, {108, 24, false}, {109, 20, true}, {110, 184, false}, {300, 20, true}, {500, 20, true},
    {501, 60, false}, {502, 60, true}, {504, 20, true}, {600, 36, true}, {601, 40, true}, {602, 36, true},
    {604, 536, true}, {605, 536, true}, {700, 24, true}};

TEST(WireFormatTest, EveryTypeValidatesAtExactlyItsSizeOnItsSide) {
  for (const auto& [type, size, to_client] : kSizes) {
    for (size_t total : {size - 1, size, size + 1}) {
      SCOPED_TRACE(testing::Message() << type << " at " << total);
      const std::vector<uint8_t> m = Raw(type, static_cast<uint32_t>(total - kHeaderSize), total);
      EXPECT_EQ(ValidateForClient(m.data()), to_client && total == size);
      EXPECT_EQ(ValidateForServer(m.data(), total), !to_client && total == size);
    }
    // The right MsgLength in a datagram one byte too long.
    EXPECT_FALSE(ValidateForServer(Raw(type, uint32_t(size - 20), size + 1).data(), size + 1));
  }
  for (int32_t unknown : {-1, 0, 99, 106, 111, 301, 503, 606, 701}) {
    const std::vector<uint8_t> m = Raw(unknown, 0, 0);
    EXPECT_FALSE(ValidateForClient(m.data()) || ValidateForServer(m.data(), kHeaderSize)) << unknown;
  }
  for (const uint32_t length : {0u, kMaxDataLength, kMaxDataLength + 1}) {  // 603 has no fixed size
    EXPECT_EQ(ValidateForClient(Raw(kData, length, 0).data()), length <= kMaxDataLength) << length;
  }
}

TEST(WireFormatTest, BuildersPutEveryFieldAtItsOffsetLittleEndian) {
  const MsgHeader h{0, 7, -1, 0xA1B2C3D4, 0};
  const Login login{12000, 4000, 0x0A000002, 4000, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};
  std::vector<uint8_t> m = BuildLogin(h, login);
  EXPECT_EQ(m, std::vector<uint8_t>({100, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xD4, 0xC3,
                                     0xB2, 0xA1, 28, 0, 0, 0, 0xE0, 0x2E, 0xA0, 0x0F, 2, 0, 0, 10,
                                     0xA0, 0x0F, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                     13, 14, 15}));
  EXPECT_EQ(DecodeLogin(m.data()).seed_hash, login.seed_hash);
  m = BuildLoginAck(h, LoginAck{3, 42, 0x55667788});
  EXPECT_EQ(std::tuple(GetI32(&m[20]), DecodeLoginAck(m.data()).user_id, GetU32(&m[28])),
            std::tuple(3, 42, 0x55667788u));
  PeerList list;
  list.count = 16;
  list.records[15] = PeerRecord{9, {0x7F000001, 4000, 0}, {0x7F000002, 12000, 5}};
  m = BuildPeerList(h, list);
  EXPECT_EQ(std::pair(GetI32(&m[20]), GetU16(&m[24 + 20 * 15 + 16])), std::pair(16, uint16_t{12000}));
  EXPECT_EQ(DecodePeerList(m.data()).records, list.records);
  const ConnectRequest request{list.records[15], PeerRecord{3, {1, 2, 0}, {1, 12000, 4000}}};
  m = BuildConnectRequest(h, kConnectRequestSC, request);
  EXPECT_EQ(std::pair(GetI32(&m[40]), GetU16(&m[56])), std::pair(3, uint16_t{12000}));
  EXPECT_EQ(DecodeConnectRequest(m.data()).target, request.target);
  const PartDescriptor d{5, 6, 0x10000, 0x8000};
  EXPECT_EQ(DecodePartMessage(BuildPartMessage(h, kStart, d).data()), d);
  m = BuildRespond(h, 2, d);
  EXPECT_EQ(std::pair(DecodeRespondStatus(m.data()), DecodeRespondPart(m.data())), std::pair(2u, d));
  Report report;
  report.count = 32;
  report.entries[31] = d;
  EXPECT_EQ(DecodeReport(BuildReport(h, kAskFileReport, report).data()).entries[31], d);
  EXPECT_EQ(std::tuple(BuildProgress(h, 77)[20], DecodeHello(BuildHello(h, 1).data()),
                       DecodeHeader(BuildDataHead(h, d).data()).length),
            std::tuple(77, 1u, 0x8000u + 16));
}

}  // namespace
}  // namespace brelvane::wire
