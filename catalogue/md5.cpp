// SPDX-License-Identifier: MIT
#include "catalogue/md5.h"
#include "catalogue/md5_steps.h"

#include <algorithm>
#include <cstring>

#include "platform/readonly_file.h"

namespace brelvane {
namespace {


inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Processes `blocks` consecutive 64-byte blocks.
void Transform(uint32_t state[4], const uint8_t* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, p += 64) {
    const uint32_t x0 = LoadLe32(p + 0), x1 = LoadLe32(p + 4), x2 = LoadLe32(p + 8),
                   x3 = LoadLe32(p + 12), x4 = LoadLe32(p + 16), x5 = LoadLe32(p + 20),
                   x6 = LoadLe32(p + 24), x7 = LoadLe32(p + 28), x8 = LoadLe32(p + 32),
                   x9 = LoadLe32(p + 36), x10 = LoadLe32(p + 40), x11 = LoadLe32(p + 44),
                   x12 = LoadLe32(p + 48), x13 = LoadLe32(p + 52), x14 = LoadLe32(p + 56),
                   x15 = LoadLe32(p + 60);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    BRELVANE_MD5_F(a, b, c, d, x0, 0xd76aa478, 7);
    BRELVANE_MD5_F(d, a, b, c, x1, 0xe8c7b756, 12);
    BRELVANE_MD5_F(c, d, a, b, x2, 0x242070db, 17);
    BRELVANE_MD5_F(b, c, d, a, x3, 0xc1bdceee, 22);
    BRELVANE_MD5_F(a, b, c, d, x4, 0xf57c0faf, 7);
    BRELVANE_MD5_F(d, a, b, c, x5, 0x4787c62a, 12);
    BRELVANE_MD5_F(c, d, a, b, x6, 0xa8304613, 17);
    BRELVANE_MD5_F(b, c, d, a, x7, 0xfd469501, 22);
    BRELVANE_MD5_F(a, b, c, d, x8, 0x698098d8, 7);
    BRELVANE_MD5_F(d, a, b, c, x9, 0x8b44f7af, 12);
    BRELVANE_MD5_F(c, d, a, b, x10, 0xffff5bb1, 17);
    BRELVANE_MD5_F(b, c, d, a, x11, 0x895cd7be, 22);
    BRELVANE_MD5_F(a, b, c, d, x12, 0x6b901122, 7);
    BRELVANE_MD5_F(d, a, b, c, x13, 0xfd987193, 12);
    BRELVANE_MD5_F(c, d, a, b, x14, 0xa679438e, 17);
    BRELVANE_MD5_F(b, c, d, a, x15, 0x49b40821, 22);

    BRELVANE_MD5_G(a, b, c, d, x1, 0xf61e2562, 5);
    BRELVANE_MD5_G(d, a, b, c, x6, 0xc040b340, 9);
    BRELVANE_MD5_G(c, d, a, b, x11, 0x265e5a51, 14);
    BRELVANE_MD5_G(b, c, d, a, x0, 0xe9b6c7aa, 20);
    BRELVANE_MD5_G(a, b, c, d, x5, 0xd62f105d, 5);
    BRELVANE_MD5_G(d, a, b, c, x10, 0x02441453, 9);
    BRELVANE_MD5_G(c, d, a, b, x15, 0xd8a1e681, 14);
    BRELVANE_MD5_G(b, c, d, a, x4, 0xe7d3fbc8, 20);
    BRELVANE_MD5_G(a, b, c, d, x9, 0x21e1cde6, 5);
    BRELVANE_MD5_G(d, a, b, c, x14, 0xc33707d6, 9);
    BRELVANE_MD5_G(c, d, a, b, x3, 0xf4d50d87, 14);
    BRELVANE_MD5_G(b, c, d, a, x8, 0x455a14ed, 20);
    BRELVANE_MD5_G(a, b, c, d, x13, 0xa9e3e905, 5);
    BRELVANE_MD5_G(d, a, b, c, x2, 0xfcefa3f8, 9);
    BRELVANE_MD5_G(c, d, a, b, x7, 0x676f02d9, 14);
    BRELVANE_MD5_G(b, c, d, a, x12, 0x8d2a4c8a, 20);

    BRELVANE_MD5_H(a, b, c, d, x5, 0xfffa3942, 4);
    BRELVANE_MD5_H(d, a, b, c, x8, 0x8771f681, 11);
    BRELVANE_MD5_H(c, d, a, b, x11, 0x6d9d6122, 16);
    BRELVANE_MD5_H(b, c, d, a, x14, 0xfde5380c, 23);
    BRELVANE_MD5_H(a, b, c, d, x1, 0xa4beea44, 4);
    BRELVANE_MD5_H(d, a, b, c, x4, 0x4bdecfa9, 11);
    BRELVANE_MD5_H(c, d, a, b, x7, 0xf6bb4b60, 16);
    BRELVANE_MD5_H(b, c, d, a, x10, 0xbebfbc70, 23);
    BRELVANE_MD5_H(a, b, c, d, x13, 0x289b7ec6, 4);
    BRELVANE_MD5_H(d, a, b, c, x0, 0xeaa127fa, 11);
    BRELVANE_MD5_H(c, d, a, b, x3, 0xd4ef3085, 16);
    BRELVANE_MD5_H(b, c, d, a, x6, 0x04881d05, 23);
    BRELVANE_MD5_H(a, b, c, d, x9, 0xd9d4d039, 4);
    BRELVANE_MD5_H(d, a, b, c, x12, 0xe6db99e5, 11);
    BRELVANE_MD5_H(c, d, a, b, x15, 0x1fa27cf8, 16);
    BRELVANE_MD5_H(b, c, d, a, x2, 0xc4ac5665, 23);

    BRELVANE_MD5_I(a, b, c, d, x0, 0xf4292244, 6);
    BRELVANE_MD5_I(d, a, b, c, x7, 0x432aff97, 10);
    BRELVANE_MD5_I(c, d, a, b, x14, 0xab9423a7, 15);
    BRELVANE_MD5_I(b, c, d, a, x5, 0xfc93a039, 21);
    BRELVANE_MD5_I(a, b, c, d, x12, 0x655b59c3, 6);
    BRELVANE_MD5_I(d, a, b, c, x3, 0x8f0ccc92, 10);
    BRELVANE_MD5_I(c, d, a, b, x10, 0xffeff47d, 15);
    BRELVANE_MD5_I(b, c, d, a, x1, 0x85845dd1, 21);
    BRELVANE_MD5_I(a, b, c, d, x8, 0x6fa87e4f, 6);
    BRELVANE_MD5_I(d, a, b, c, x15, 0xfe2ce6e0, 10);
    BRELVANE_MD5_I(c, d, a, b, x6, 0xa3014314, 15);
    BRELVANE_MD5_I(b, c, d, a, x13, 0x4e0811a1, 21);
    BRELVANE_MD5_I(a, b, c, d, x4, 0xf7537e82, 6);
    BRELVANE_MD5_I(d, a, b, c, x11, 0xbd3af235, 10);
    BRELVANE_MD5_I(c, d, a, b, x2, 0x2ad7d2bb, 15);
    BRELVANE_MD5_I(b, c, d, a, x9, 0xeb86d391, 21);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}


int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

constexpr size_t kReadBlock = 1024;

}  // namespace

bool Md5Digest::IsZero() const {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

void Md5Context::Reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  length_ = 0;
}

void Md5Context::Update(const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>(length_ % 64);
  length_ += length;
  if (used != 0) {
    const size_t take = std::min(length, 64 - used);
    std::memcpy(pending_ + used, p, take);
    p += take;
    length -= take;
    if (used + take < 64) return;
    Transform(state_, pending_, 1);
  }
  if (length >= 64) {
    Transform(state_, p, length / 64);
    p += length / 64 * 64;
    length %= 64;
  }
  if (length > 0) std::memcpy(pending_, p, length);
}

Md5Digest Md5Context::Final() {
  const uint64_t bit_length = length_ * 8;
  uint8_t tail[72] = {0x80};
  const size_t used = static_cast<size_t>(length_ % 64);
  const size_t pad = (used < 56 ? 56 : 120) - used;
  Update(tail, pad);
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bit_length >> (8 * i));
  Update(tail, 8);
  Md5Digest digest;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest.bytes[4 * i + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
    }
  }
  return digest;
}

Md5Digest Md5Buffer(const void* data, size_t length) {
  if (length == 0) return Md5Digest{};
  Md5Context context;
  context.Update(data, length);
  return context.Final();
}

uint64_t Md5FileRange(platform::ReadOnlyFile& file, uint64_t offset, uint64_t length,
                      Md5Digest* digest) {
  *digest = Md5Digest{};
  if (length == 0) return 0;
  if (!file.Seek(offset)) return 0;
  Md5Context context;
  uint8_t block[kReadBlock];
  uint64_t total = 0;
  for (;;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBlock, length - total));
    const int64_t got = want == 0 ? 0 : file.Read(block, want);
    if (got > 0) {
      context.Update(block, static_cast<size_t>(got));
      total += static_cast<uint64_t>(got);
    }
    if (got < static_cast<int64_t>(kReadBlock)) break;
  }
  *digest = context.Final();
  return total;
}

uint64_t Md5FileRange(const std::string& path, uint64_t offset, uint64_t length,
                      Md5Digest* digest) {
  *digest = Md5Digest{};
  if (length == 0) return 0;
  platform::ReadOnlyFile file;
  if (!file.Open(path)) return 0;
  return Md5FileRange(file, offset, length, digest);
}

uint64_t Md5StreamRange(std::istream& in, uint64_t offset, uint64_t length, Md5Digest* digest) {
  *digest = Md5Digest{};
  if (length == 0) return 0;
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
  if (!in) {
    in.clear();
    return 0;
  }
  Md5Context context;
  char block[kReadBlock];
  uint64_t total = 0;
  for (;;) {
    const uint64_t left = length == kMd5ToEnd ? kReadBlock : length - total;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBlock, left));
    std::streamsize got = 0;
    if (want > 0) {
      in.read(block, static_cast<std::streamsize>(want));
      got = in.gcount();
    }
    if (got > 0) {
      context.Update(block, static_cast<size_t>(got));
      total += static_cast<uint64_t>(got);
    }
    if (got < static_cast<std::streamsize>(kReadBlock)) break;
  }
  in.clear();
  *digest = context.Final();
  return total;
}

std::string DigestToHex(const Md5Digest& digest) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(32, '0');
  for (size_t i = 0; i < 16; ++i) {
    text[2 * i] = kDigits[digest.bytes[i] >> 4];
    text[2 * i + 1] = kDigits[digest.bytes[i] & 0x0F];
  }
  return text;
}

Md5Digest HexToDigest(std::string_view text) {
  Md5Digest digest;
  for (size_t i = 0; i < 16; ++i) {
    const char hi = 2 * i < text.size() ? text[2 * i] : '0';
    const char lo = 2 * i + 1 < text.size() ? text[2 * i + 1] : '0';
    digest.bytes[i] = static_cast<uint8_t>((HexValue(hi) << 4) | HexValue(lo));
  }
  return digest;
}

}  // namespace brelvane
