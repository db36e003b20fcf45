// SPDX-License-Identifier: MIT
// The bytes every peer-network message is made of: the 20-byte header, the
// address records, the table of message types with their exact sizes, and
// encode/decode for every body.  Everything on the wire is little-endian;
// IPv4 addresses and ports inside bodies are host-order numbers
// (a.b.c.d = a<<24 | b<<16 | c<<8 | d), turned into network order only when a
// socket address is built.  docs/wire-format.md has the byte pictures.
//
// Encoding is done field by field through ByteWriter/ByteReader; no struct is
// ever copied onto the wire.  Decoders check the length first and answer
// false (touching nothing) for a short buffer.
//
// Thread safety: plain functions and values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brelvane::wire {

// --- little-endian helpers ---

inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }
inline uint64_t GetU64(const uint8_t* p) {
  return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

// --- message types ---

enum MsgType : int32_t {
  kLogin = 100,            // CSMessageLogin
  kLoginAck = 101,         // SCMessageLoginAck
  kGetPeer = 102,          // CSMessageGetPeer
  kPeerList = 103,         // SCMessagePeerList
  kLogout = 104,           // CSMessageLogout
  kKeepAlive = 105,        // CSMessageKeepAlive
  kServer107 = 107,        // server message without a client handler
  kProgress = 108,         // CSMessageProgress
  kResetState = 109,       // PPMessageResetState
  kDownloadStat = 110,     // CSMessageDownloadStat
  kRelogin = 300,          // SCMessageRelogin
  kServer500 = 500,        // server message without a client handler
  kConnectRequestCS = 501, // CSMessageConnectRequest
  kConnectRequestSC = 502, // SCMessageConnectRequest
  kServer504 = 504,        // server message without a client handler
  kRequest = 600,          // PPMessageRequest
  kRespond = 601,          // PPMessageRespond
  kStart = 602,            // PPMessageStart
  kData = 603,             // PPMessageData
  kReqFileReport = 604,    // PPMessageReqFileReport
  kAskFileReport = 605,    // PPMessageAskFileReport
  kHello = 700,            // PPMessageHello
};

inline constexpr size_t kHeaderSize = 20;
inline constexpr size_t kDataHeadSize = 36;        // header + part descriptor
inline constexpr uint32_t kMaxDataLength = 0x400010;  // MsgLength cap of PPMessageData
inline constexpr size_t kPeerListRecords = 16;
inline constexpr size_t kReportEntries = 32;

// Total sizes (header + body) of the fixed-size types.
inline constexpr size_t kLoginSize = 48;
inline constexpr size_t kLoginAckSize = 32;
inline constexpr size_t kPeerListSize = 344;
inline constexpr size_t kServer107Size = 364;
inline constexpr size_t kProgressSize = 24;
inline constexpr size_t kDownloadStatSize = 184;
inline constexpr size_t kConnectRequestSize = 60;
inline constexpr size_t kRequestSize = 36;
inline constexpr size_t kRespondSize = 40;
inline constexpr size_t kStartSize = 36;
inline constexpr size_t kReportSize = 536;
inline constexpr size_t kHelloSize = 24;

// The fixed total size of `type`, 0 for the data message, nullopt for a type
// not in the table.
std::optional<size_t> FixedSize(int32_t type);

// --- header ---

struct MsgHeader {
  int32_t type = 0;
  uint32_t index = 0;      // sender's running message counter
  int32_t user_id = -1;    // -1 before the first login
  uint32_t token = 0;      // ServerToken of the last accepted login
  uint32_t length = 0;     // body bytes after the header
};

void EncodeHeader(const MsgHeader& h, uint8_t* out);
// REQUIRES: at least kHeaderSize bytes at `in`.
MsgHeader DecodeHeader(const uint8_t* in);

// True when the message starting at `in` (at least kHeaderSize bytes) has a
// type a client accepts and exactly its size: the server-to-client and
// peer-to-peer types; a data message with MsgLength up to kMaxDataLength.
// Client-to-server types and unknown types are refused.
bool ValidateForClient(const uint8_t* in);
// The server's side: the client-to-server types at exactly their sizes.
bool ValidateForServer(const uint8_t* in, size_t n);

// --- stream reassembly (TCP peer connections) ---

enum class Extract : uint8_t {
  kNeedMore,     // fewer bytes than a header, or an incomplete non-data message
  kBad,          // the header failed validation: close the connection
  kMessage,      // `length` bytes form one whole message
  kPartialData,  // all `n` bytes are one piece of a data message; `continuation`
                 // replaces them as the bytes kept for the next read
};

struct Extraction {
  Extract result = Extract::kNeedMore;
  size_t length = 0;
  std::array<uint8_t, kDataHeadSize> continuation{};
};

// Cuts the next message from `n` unread bytes.  A data message longer than
// what is at hand is delivered piece by piece: each piece carries a 36-byte
// head whose start has advanced past the data already delivered and whose
// MsgLength has shrunk by the same amount, so no more than the receive buffer
// is ever held.
Extraction ExtractMessage(const uint8_t* data, size_t n);

// --- address records ---

struct NetAddr {
  uint32_t ip = 0;     // host order
  uint16_t port = 0;   // host order
  uint16_t reserved = 0;
  friend bool operator==(const NetAddr&, const NetAddr&) = default;
};

struct PeerRecord {
  int32_t user_id = -1;
  NetAddr udp;
  NetAddr tcp;
  friend bool operator==(const PeerRecord&, const PeerRecord&) = default;
};

void EncodeNetAddr(const NetAddr& a, uint8_t* out);   // 8 bytes
NetAddr DecodeNetAddr(const uint8_t* in);
void EncodePeerRecord(const PeerRecord& r, uint8_t* out);  // 20 bytes
PeerRecord DecodePeerRecord(const uint8_t* in);
// "a.b.c.d".
std::string IpText(uint32_t ip);
// "userId=7, udpaddr=10.0.0.2:4000, tcpaddr=10.0.0.2:12000".
std::string PeerRecordText(const PeerRecord& r);

// --- bodies (offsets are from the start of the message) ---

using Md5Bytes = std::array<uint8_t, 16>;

struct Login {  // 100
  uint16_t tcp_port = 0;
  uint16_t udp_port = 0;
  uint32_t ip = 0;
  uint32_t udp_port32 = 0;
  Md5Bytes seed_hash{};
};
struct LoginAck {  // 101
  int32_t reply_code = 0;
  int32_t user_id = -1;
  uint32_t token = 0;
};
struct PeerList {  // 103
  int32_t count = 0;
  std::array<PeerRecord, kPeerListRecords> records{};
};
struct ConnectRequest {  // 501 and 502
  PeerRecord target;     // offset 20
  PeerRecord requester;  // offset 40
};

// Part descriptor: 16 bytes inside several peer bodies.
struct PartDescriptor {
  uint32_t file_id = 0;
  uint32_t part_id = 0;
  uint32_t start = 0;   // low 32 bits of the part's offset in its file
  uint32_t length = 0;
  friend bool operator==(const PartDescriptor&, const PartDescriptor&) = default;
};
void EncodePart(const PartDescriptor& d, uint8_t* out);
PartDescriptor DecodePart(const uint8_t* in);

struct Report {  // 604 and 605
  int32_t count = 0;
  std::array<PartDescriptor, kReportEntries> entries{};
};

// Builders.  Each writes a whole message whose header is `h` with type and
// length set to the message's own.
std::vector<uint8_t> BuildHeaderOnly(MsgHeader h, int32_t type);
std::vector<uint8_t> BuildLogin(MsgHeader h, const Login& body);
std::vector<uint8_t> BuildLoginAck(MsgHeader h, const LoginAck& body);
std::vector<uint8_t> BuildPeerList(MsgHeader h, const PeerList& body);
std::vector<uint8_t> BuildProgress(MsgHeader h, uint8_t percent);
std::vector<uint8_t> BuildConnectRequest(MsgHeader h, int32_t type, const ConnectRequest& body);
std::vector<uint8_t> BuildHello(MsgHeader h, uint32_t role);
std::vector<uint8_t> BuildPartMessage(MsgHeader h, int32_t type, const PartDescriptor& d);  // 600, 602
std::vector<uint8_t> BuildRespond(MsgHeader h, uint32_t status, const PartDescriptor& d);
std::vector<uint8_t> BuildReport(MsgHeader h, int32_t type, const Report& body);
// The 36-byte head of a data message for part `d` (MsgLength = length + 16).
std::array<uint8_t, kDataHeadSize> BuildDataHead(MsgHeader h, const PartDescriptor& d);

// Decoders.  REQUIRES: `in` holds a message that passed validation for its
// type (so its size is right); they read only the fields named.
Login DecodeLogin(const uint8_t* in);
LoginAck DecodeLoginAck(const uint8_t* in);
PeerList DecodePeerList(const uint8_t* in);
uint8_t DecodeProgress(const uint8_t* in);
ConnectRequest DecodeConnectRequest(const uint8_t* in);
uint32_t DecodeHello(const uint8_t* in);
PartDescriptor DecodePartMessage(const uint8_t* in);  // 600, 602, and the head of 603
uint32_t DecodeRespondStatus(const uint8_t* in);
PartDescriptor DecodeRespondPart(const uint8_t* in);
Report DecodeReport(const uint8_t* in);

// The names of the download statistics' begin state ("Begin", "Continue",
// "Complete", else "Unknown") and end state ("Cancel", "Finish", "Fail",
// "Restart", else "Unknown").
const char* BeginStateName(int32_t state);
const char* EndStateName(int32_t state);

// The download statistics body is scrambled with this key, byte by byte.
inline constexpr uint8_t kReportXorKey = 0x6B;
inline constexpr size_t kDownloadStatBody = 164;

}  // namespace brelvane::wire
