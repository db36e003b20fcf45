// SPDX-License-Identifier: MIT
#include "catalogue/md5_lanes.h"
#include "catalogue/md5_steps.h"

#include <bit>
#include <cstring>

namespace brelvane {

#if defined(__GNUC__)
namespace {

// Eight 32-bit lanes.  GCC and Clang map the operations onto whatever
// vector unit the target has (two SSE2 registers on plain x86-64).  Values
// of this type are passed only by pointer, never by value across calls.
typedef uint32_t Lanes __attribute__((vector_size(32)));

constexpr size_t kMinLanesWorthIt = 4;

// The little-endian word at `offset` of every lane.
inline void LoadWord(const uint8_t* const lanes[kMd5Lanes], size_t offset, Lanes* out) {
  for (size_t lane = 0; lane < kMd5Lanes; ++lane) {
    const uint8_t* p = lanes[lane] + offset;
    uint32_t word;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&word, p, 4);
    } else {
      word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
             (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    (*out)[lane] = word;
  }
}

// Runs `blocks` 64-byte blocks of every lane through the compression
// function.
void Transform(Lanes state[4], const uint8_t* const lanes[kMd5Lanes], size_t blocks) {
  Lanes a = state[0], b = state[1], c = state[2], d = state[3];
  for (size_t block = 0; block < blocks; ++block) {
    Lanes x[16];
    for (size_t i = 0; i < 16; ++i) LoadWord(lanes, block * 64 + 4 * i, &x[i]);
    const Lanes aa = a, bb = b, cc = c, dd = d;

    BRELVANE_MD5_F(a, b, c, d, x[0], 0xd76aa478, 7);
    BRELVANE_MD5_F(d, a, b, c, x[1], 0xe8c7b756, 12);
    BRELVANE_MD5_F(c, d, a, b, x[2], 0x242070db, 17);
    BRELVANE_MD5_F(b, c, d, a, x[3], 0xc1bdceee, 22);
    BRELVANE_MD5_F(a, b, c, d, x[4], 0xf57c0faf, 7);
    BRELVANE_MD5_F(d, a, b, c, x[5], 0x4787c62a, 12);
    BRELVANE_MD5_F(c, d, a, b, x[6], 0xa8304613, 17);
    BRELVANE_MD5_F(b, c, d, a, x[7], 0xfd469501, 22);
    BRELVANE_MD5_F(a, b, c, d, x[8], 0x698098d8, 7);
    BRELVANE_MD5_F(d, a, b, c, x[9], 0x8b44f7af, 12);
    BRELVANE_MD5_F(c, d, a, b, x[10], 0xffff5bb1, 17);
    BRELVANE_MD5_F(b, c, d, a, x[11], 0x895cd7be, 22);
    BRELVANE_MD5_F(a, b, c, d, x[12], 0x6b901122, 7);
    BRELVANE_MD5_F(d, a, b, c, x[13], 0xfd987193, 12);
    BRELVANE_MD5_F(c, d, a, b, x[14], 0xa679438e, 17);
    BRELVANE_MD5_F(b, c, d, a, x[15], 0x49b40821, 22);

    BRELVANE_MD5_G(a, b, c, d, x[1], 0xf61e2562, 5);
    BRELVANE_MD5_G(d, a, b, c, x[6], 0xc040b340, 9);
    BRELVANE_MD5_G(c, d, a, b, x[11], 0x265e5a51, 14);
    BRELVANE_MD5_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
    BRELVANE_MD5_G(a, b, c, d, x[5], 0xd62f105d, 5);
    BRELVANE_MD5_G(d, a, b, c, x[10], 0x02441453, 9);
    BRELVANE_MD5_G(c, d, a, b, x[15], 0xd8a1e681, 14);
    BRELVANE_MD5_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
    BRELVANE_MD5_G(a, b, c, d, x[9], 0x21e1cde6, 5);
    BRELVANE_MD5_G(d, a, b, c, x[14], 0xc33707d6, 9);
    BRELVANE_MD5_G(c, d, a, b, x[3], 0xf4d50d87, 14);
    BRELVANE_MD5_G(b, c, d, a, x[8], 0x455a14ed, 20);
    BRELVANE_MD5_G(a, b, c, d, x[13], 0xa9e3e905, 5);
    BRELVANE_MD5_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
    BRELVANE_MD5_G(c, d, a, b, x[7], 0x676f02d9, 14);
    BRELVANE_MD5_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

    BRELVANE_MD5_H(a, b, c, d, x[5], 0xfffa3942, 4);
    BRELVANE_MD5_H(d, a, b, c, x[8], 0x8771f681, 11);
    BRELVANE_MD5_H(c, d, a, b, x[11], 0x6d9d6122, 16);
    BRELVANE_MD5_H(b, c, d, a, x[14], 0xfde5380c, 23);
    BRELVANE_MD5_H(a, b, c, d, x[1], 0xa4beea44, 4);
    BRELVANE_MD5_H(d, a, b, c, x[4], 0x4bdecfa9, 11);
    BRELVANE_MD5_H(c, d, a, b, x[7], 0xf6bb4b60, 16);
    BRELVANE_MD5_H(b, c, d, a, x[10], 0xbebfbc70, 23);
    BRELVANE_MD5_H(a, b, c, d, x[13], 0x289b7ec6, 4);
    BRELVANE_MD5_H(d, a, b, c, x[0], 0xeaa127fa, 11);
    BRELVANE_MD5_H(c, d, a, b, x[3], 0xd4ef3085, 16);
    BRELVANE_MD5_H(b, c, d, a, x[6], 0x04881d05, 23);
    BRELVANE_MD5_H(a, b, c, d, x[9], 0xd9d4d039, 4);
    BRELVANE_MD5_H(d, a, b, c, x[12], 0xe6db99e5, 11);
    BRELVANE_MD5_H(c, d, a, b, x[15], 0x1fa27cf8, 16);
    BRELVANE_MD5_H(b, c, d, a, x[2], 0xc4ac5665, 23);

    BRELVANE_MD5_I(a, b, c, d, x[0], 0xf4292244, 6);
    BRELVANE_MD5_I(d, a, b, c, x[7], 0x432aff97, 10);
    BRELVANE_MD5_I(c, d, a, b, x[14], 0xab9423a7, 15);
    BRELVANE_MD5_I(b, c, d, a, x[5], 0xfc93a039, 21);
    BRELVANE_MD5_I(a, b, c, d, x[12], 0x655b59c3, 6);
    BRELVANE_MD5_I(d, a, b, c, x[3], 0x8f0ccc92, 10);
    BRELVANE_MD5_I(c, d, a, b, x[10], 0xffeff47d, 15);
    BRELVANE_MD5_I(b, c, d, a, x[1], 0x85845dd1, 21);
    BRELVANE_MD5_I(a, b, c, d, x[8], 0x6fa87e4f, 6);
    BRELVANE_MD5_I(d, a, b, c, x[15], 0xfe2ce6e0, 10);
    BRELVANE_MD5_I(c, d, a, b, x[6], 0xa3014314, 15);
    BRELVANE_MD5_I(b, c, d, a, x[13], 0x4e0811a1, 21);
    BRELVANE_MD5_I(a, b, c, d, x[4], 0xf7537e82, 6);
    BRELVANE_MD5_I(d, a, b, c, x[11], 0xbd3af235, 10);
    BRELVANE_MD5_I(c, d, a, b, x[2], 0x2ad7d2bb, 15);
    BRELVANE_MD5_I(b, c, d, a, x[9], 0xeb86d391, 21);

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


}  // namespace

void Md5EqualLength(const uint8_t* const messages[], size_t count, size_t length,
                    Md5Digest digests[]) {
  if (count == 0) return;
  // One pass over all lanes costs about three single digests, so fewer
  // messages than that are cheaper one by one.
  if (length == 0 || count < kMinLanesWorthIt) {
    for (size_t i = 0; i < count; ++i) digests[i] = Md5Buffer(messages[i], length);
    return;
  }
  // Unused lanes repeat the first message; their results are dropped.
  const uint8_t* lanes[kMd5Lanes];
  for (size_t lane = 0; lane < kMd5Lanes; ++lane) lanes[lane] = messages[lane < count ? lane : 0];
  Lanes state[4];
  for (size_t lane = 0; lane < kMd5Lanes; ++lane) {
    state[0][lane] = 0x67452301;
    state[1][lane] = 0xefcdab89;
    state[2][lane] = 0x98badcfe;
    state[3][lane] = 0x10325476;
  }
  Transform(state, lanes, length / 64);

  // The tail: the last partial block, the 0x80 byte, zeros and the bit
  // length, in one or two blocks of the same shape for every lane.
  const size_t rest = length % 64;
  const size_t tail_blocks = rest < 56 ? 1 : 2;
  uint8_t tails[kMd5Lanes][128];
  const uint8_t* tail_lanes[kMd5Lanes];
  const uint64_t bits = static_cast<uint64_t>(length) * 8;
  for (size_t lane = 0; lane < kMd5Lanes; ++lane) {
    uint8_t* tail = tails[lane];
    std::memset(tail, 0, sizeof(tails[lane]));
    std::memcpy(tail, lanes[lane] + length - rest, rest);
    tail[rest] = 0x80;
    for (size_t i = 0; i < 8; ++i) {
      tail[tail_blocks * 64 - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
    }
    tail_lanes[lane] = tail;
  }
  Transform(state, tail_lanes, tail_blocks);

  for (size_t lane = 0; lane < count; ++lane) {
    for (size_t word = 0; word < 4; ++word) {
      for (size_t byte = 0; byte < 4; ++byte) {
        digests[lane].bytes[4 * word + byte] =
            static_cast<uint8_t>(state[word][lane] >> (8 * byte));
      }
    }
  }
}

#else  // No vector extensions: one message after another.

void Md5EqualLength(const uint8_t* const messages[], size_t count, size_t length,
                    Md5Digest digests[]) {
  for (size_t i = 0; i < count; ++i) digests[i] = Md5Buffer(messages[i], length);
}

#endif

}  // namespace brelvane
