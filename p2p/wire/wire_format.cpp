// SPDX-License-Identifier: MIT
#include "p2p/wire/wire_format.h"

#include <cstdio>

namespace brelvane::wire {

std::optional<size_t> FixedSize(int32_t type) {
  switch (type) {
    case kLogin: return kLoginSize;
    case kLoginAck: return kLoginAckSize;
    case kPeerList: return kPeerListSize;
    case kServer107: return kServer107Size;
    case kProgress: return kProgressSize;
    case kDownloadStat: return kDownloadStatSize;
    case kConnectRequestCS:
    case kConnectRequestSC: return kConnectRequestSize;
    case kRequest: return kRequestSize;
    case kRespond: return kRespondSize;
    case kStart: return kStartSize;
    case kData: return 0;
    case kReqFileReport:
    case kAskFileReport: return kReportSize;
    case kHello: return kHelloSize;
    case kGetPeer:
    case kLogout:
    case kKeepAlive:
    case kResetState:
    case kRelogin:
    case kServer500:
    case kServer504: return kHeaderSize;
    default: return std::nullopt;
  }
}

void EncodeHeader(const MsgHeader& h, uint8_t* out) {
  PutU32(out, static_cast<uint32_t>(h.type));
  PutU32(out + 4, h.index);
  PutU32(out + 8, static_cast<uint32_t>(h.user_id));
  PutU32(out + 12, h.token);
  PutU32(out + 16, h.length);
}

MsgHeader DecodeHeader(const uint8_t* in) {
  return MsgHeader{GetI32(in), GetU32(in + 4), GetI32(in + 8), GetU32(in + 12), GetU32(in + 16)};
}

namespace {

bool IsClientToServer(int32_t type) {
  switch (type) {
    case kLogin: case kGetPeer: case kLogout: case kKeepAlive:
    case kProgress: case kDownloadStat: case kConnectRequestCS:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ValidateForClient(const uint8_t* in) {
  const MsgHeader h = DecodeHeader(in);
  if (IsClientToServer(h.type)) return false;
  const std::optional<size_t> size = FixedSize(h.type);
  if (!size) return false;
  if (h.type == kData) return h.length <= kMaxDataLength;
  return static_cast<uint64_t>(h.length) + kHeaderSize == *size;
}

bool ValidateForServer(const uint8_t* in, size_t n) {
  if (n < kHeaderSize) return false;
  const MsgHeader h = DecodeHeader(in);
  if (!IsClientToServer(h.type)) return false;
  const size_t size = *FixedSize(h.type);
  return n == size && static_cast<uint64_t>(h.length) + kHeaderSize == size;
}

Extraction ExtractMessage(const uint8_t* data, size_t n) {
  Extraction x;
  if (n < kHeaderSize) return x;
  if (!ValidateForClient(data)) {
    x.result = Extract::kBad;
    return x;
  }
  const MsgHeader h = DecodeHeader(data);
  const uint64_t total = static_cast<uint64_t>(h.length) + kHeaderSize;
  if (n >= total) {
    x.result = Extract::kMessage;
    x.length = static_cast<size_t>(total);
    return x;
  }
  if (h.type == kData && n > kDataHeadSize) {
    // Deliver what is here and keep a head for the rest of the same part.
    const uint32_t delivered = static_cast<uint32_t>(n - kDataHeadSize);
    x.result = Extract::kPartialData;
    x.length = n;
    std::memcpy(x.continuation.data(), data, kDataHeadSize);
    PutU32(x.continuation.data() + 16, h.length - delivered);
    PutU32(x.continuation.data() + 28, GetU32(data + 28) + delivered);
    return x;
  }
  return x;
}

void EncodeNetAddr(const NetAddr& a, uint8_t* out) {
  PutU32(out, a.ip);
  PutU16(out + 4, a.port);
  PutU16(out + 6, a.reserved);
}

NetAddr DecodeNetAddr(const uint8_t* in) { return NetAddr{GetU32(in), GetU16(in + 4), GetU16(in + 6)}; }

void EncodePeerRecord(const PeerRecord& r, uint8_t* out) {
  PutU32(out, static_cast<uint32_t>(r.user_id));
  EncodeNetAddr(r.udp, out + 4);
  EncodeNetAddr(r.tcp, out + 12);
}

PeerRecord DecodePeerRecord(const uint8_t* in) {
  return PeerRecord{GetI32(in), DecodeNetAddr(in + 4), DecodeNetAddr(in + 12)};
}

std::string IpText(uint32_t ip) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                (ip >> 8) & 0xFF, ip & 0xFF);
  return text;
}

std::string PeerRecordText(const PeerRecord& r) {
  return "userId=" + std::to_string(r.user_id) + ", udpaddr=" + IpText(r.udp.ip) + ":" +
         std::to_string(r.udp.port) + ", tcpaddr=" + IpText(r.tcp.ip) + ":" +
         std::to_string(r.tcp.port);
}

void EncodePart(const PartDescriptor& d, uint8_t* out) {
  PutU32(out, d.file_id);
  PutU32(out + 4, d.part_id);
  PutU32(out + 8, d.start);
  PutU32(out + 12, d.length);
}

PartDescriptor DecodePart(const uint8_t* in) {
  return PartDescriptor{GetU32(in), GetU32(in + 4), GetU32(in + 8), GetU32(in + 12)};
}

namespace {

std::vector<uint8_t> Start(MsgHeader h, int32_t type, size_t total) {
  std::vector<uint8_t> m(total, 0);
  h.type = type;
  h.length = static_cast<uint32_t>(total - kHeaderSize);
  EncodeHeader(h, m.data());
  return m;
}

}  // namespace

std::vector<uint8_t> BuildHeaderOnly(MsgHeader h, int32_t type) { return Start(h, type, kHeaderSize); }

std::vector<uint8_t> BuildLogin(MsgHeader h, const Login& b) {
  std::vector<uint8_t> m = Start(h, kLogin, kLoginSize);
  PutU16(&m[20], b.tcp_port);
  PutU16(&m[22], b.udp_port);
  PutU32(&m[24], b.ip);
  PutU32(&m[28], b.udp_port32);
  std::memcpy(&m[32], b.seed_hash.data(), 16);
  return m;
}

std::vector<uint8_t> BuildLoginAck(MsgHeader h, const LoginAck& b) {
  std::vector<uint8_t> m = Start(h, kLoginAck, kLoginAckSize);
  PutU32(&m[20], static_cast<uint32_t>(b.reply_code));
  PutU32(&m[24], static_cast<uint32_t>(b.user_id));
  PutU32(&m[28], b.token);
  return m;
}

std::vector<uint8_t> BuildPeerList(MsgHeader h, const PeerList& b) {
  std::vector<uint8_t> m = Start(h, kPeerList, kPeerListSize);
  PutU32(&m[20], static_cast<uint32_t>(b.count));
  for (size_t i = 0; i < kPeerListRecords; ++i) EncodePeerRecord(b.records[i], &m[24 + 20 * i]);
  return m;
}

std::vector<uint8_t> BuildProgress(MsgHeader h, uint8_t percent) {
  std::vector<uint8_t> m = Start(h, kProgress, kProgressSize);
  m[20] = percent;
  return m;
}

std::vector<uint8_t> BuildConnectRequest(MsgHeader h, int32_t type, const ConnectRequest& b) {
  std::vector<uint8_t> m = Start(h, type, kConnectRequestSize);
  EncodePeerRecord(b.target, &m[20]);
  EncodePeerRecord(b.requester, &m[40]);
  return m;
}

std::vector<uint8_t> BuildHello(MsgHeader h, uint32_t role) {
  std::vector<uint8_t> m = Start(h, kHello, kHelloSize);
  PutU32(&m[20], role);
  return m;
}

std::vector<uint8_t> BuildPartMessage(MsgHeader h, int32_t type, const PartDescriptor& d) {
  std::vector<uint8_t> m = Start(h, type, kRequestSize);
  EncodePart(d, &m[20]);
  return m;
}

std::vector<uint8_t> BuildRespond(MsgHeader h, uint32_t status, const PartDescriptor& d) {
  std::vector<uint8_t> m = Start(h, kRespond, kRespondSize);
  PutU32(&m[20], status);
  EncodePart(d, &m[24]);
  return m;
}

std::vector<uint8_t> BuildReport(MsgHeader h, int32_t type, const Report& b) {
  std::vector<uint8_t> m = Start(h, type, kReportSize);
  PutU32(&m[20], static_cast<uint32_t>(b.count));
  for (size_t i = 0; i < kReportEntries; ++i) EncodePart(b.entries[i], &m[24 + 16 * i]);
  return m;
}

std::array<uint8_t, kDataHeadSize> BuildDataHead(MsgHeader h, const PartDescriptor& d) {
  std::array<uint8_t, kDataHeadSize> m{};
  h.type = kData;
  h.length = d.length + 16;
  EncodeHeader(h, m.data());
  EncodePart(d, m.data() + 20);
  return m;
}

Login DecodeLogin(const uint8_t* in) {
  Login b;
  b.tcp_port = GetU16(in + 20);
  b.udp_port = GetU16(in + 22);
  b.ip = GetU32(in + 24);
  b.udp_port32 = GetU32(in + 28);
  std::memcpy(b.seed_hash.data(), in + 32, 16);
  return b;
}

LoginAck DecodeLoginAck(const uint8_t* in) {
  return LoginAck{GetI32(in + 20), GetI32(in + 24), GetU32(in + 28)};
}

PeerList DecodePeerList(const uint8_t* in) {
  PeerList b;
  b.count = GetI32(in + 20);
  for (size_t i = 0; i < kPeerListRecords; ++i) b.records[i] = DecodePeerRecord(in + 24 + 20 * i);
  return b;
}

uint8_t DecodeProgress(const uint8_t* in) { return in[20]; }

ConnectRequest DecodeConnectRequest(const uint8_t* in) {
  return ConnectRequest{DecodePeerRecord(in + 20), DecodePeerRecord(in + 40)};
}

uint32_t DecodeHello(const uint8_t* in) { return GetU32(in + 20); }
PartDescriptor DecodePartMessage(const uint8_t* in) { return DecodePart(in + 20); }
uint32_t DecodeRespondStatus(const uint8_t* in) { return GetU32(in + 20); }
PartDescriptor DecodeRespondPart(const uint8_t* in) { return DecodePart(in + 24); }

Report DecodeReport(const uint8_t* in) {
  Report b;
  b.count = GetI32(in + 20);
  for (size_t i = 0; i < kReportEntries; ++i) b.entries[i] = DecodePart(in + 24 + 16 * i);
  return b;
}

const char* BeginStateName(int32_t state) {
  switch (state) {
    case 0: return "Begin";
    case 1: return "Continue";
    case 2: return "Complete";
    default: return "Unknown";
  }
}

const char* EndStateName(int32_t state) {
  switch (state) {
    case 3: return "Cancel";
    case 4: return "Finish";
    case 5: return "Fail";
    case 6: return "Restart";
    default: return "Unknown";
  }
}

}  // namespace brelvane::wire
