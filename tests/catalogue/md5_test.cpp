// SPDX-License-Identifier: MIT
#include "catalogue/md5.h"

#include <gtest/gtest.h>

#include <vector>

#include "catalogue/md5_lanes.h"

#include <sstream>
#include <string>

#include "catalogue/catalogue_test_util.h"
#include "platform/readonly_file.h"

namespace brelvane {
namespace {

using testing::PseudoRandomBytes;
using testing::TempDir;
using testing::WriteBytes;

std::string Hex(const std::string& message) {
  Md5Context context;
  context.Update(message.data(), message.size());
  return DigestToHex(context.Final());
}

// The test suite of RFC 1321, appendix A.5.
TEST(Md5Test, MatchesRfc1321TestSuite) {
  EXPECT_EQ(Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
  EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
  EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "D174AB98D277D9F5A5611C2C9F419D9F");
  EXPECT_EQ(Hex("1234567890123456789012345678901234567890"
                "1234567890123456789012345678901234567890"),
            "57EDF4A22BE3C955AC49DA2E2107B67A");
}

// Lengths around the padding boundaries (55, 56, 63, 64, 65 bytes) are where
// an off-by-one in the length block shows.
TEST(Md5Test, MatchesKnownDigestsAtPaddingBoundaries) {
  EXPECT_EQ(Hex(std::string(55, 'a')), "EF1772B6DFF9A122358552954AD0DF65");
  EXPECT_EQ(Hex(std::string(56, 'a')), "3B0C8AC703F828B04C6C197006D17218");
  EXPECT_EQ(Hex(std::string(63, 'a')), "B06521F39153D618550606BE297466D5");
  EXPECT_EQ(Hex(std::string(64, 'a')), "014842D480B571495A4A0363793F7367");
  EXPECT_EQ(Hex(std::string(65, 'a')), "C743A45E0D2E6A95CB859ADAE0248435");
  EXPECT_EQ(Hex(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(Md5Test, SameDigestForEverySplitIntoTwoUpdates) {
  const std::string message = PseudoRandomBytes(300, 7);
  const Md5Digest whole = Md5Buffer(message.data(), message.size());
  for (size_t split = 0; split <= message.size(); ++split) {
    Md5Context context;
    context.Update(message.data(), split);
    context.Update(message.data() + split, message.size() - split);
    ASSERT_EQ(context.Final(), whole) << "split at " << split;
  }
}

TEST(Md5Test, SameDigestForEveryPairOfSplitsIntoThreeUpdates) {
  const std::string message = PseudoRandomBytes(150, 11);
  const Md5Digest whole = Md5Buffer(message.data(), message.size());
  for (size_t a = 0; a <= message.size(); ++a) {
    for (size_t b = a; b <= message.size(); ++b) {
      Md5Context context;
      context.Update(message.data(), a);
      context.Update(message.data() + a, b - a);
      context.Update(message.data() + b, message.size() - b);
      ASSERT_EQ(context.Final(), whole) << "splits at " << a << " and " << b;
    }
  }
}

TEST(Md5Test, ByteByByteUpdatesMatchOneUpdate) {
  const std::string message = PseudoRandomBytes(4099, 3);
  Md5Context context;
  for (const char c : message) context.Update(&c, 1);
  EXPECT_EQ(context.length(), message.size());
  EXPECT_EQ(context.Final(), Md5Buffer(message.data(), message.size()));
}

TEST(Md5Test, ResetStartsAFreshDigest) {
  Md5Context context;
  context.Update("garbage", 7);
  (void)context.Final();
  context.Reset();
  context.Update("abc", 3);
  EXPECT_EQ(DigestToHex(context.Final()), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5Test, BufferOfZeroBytesGivesAllZeroDigest) {
  const Md5Digest digest = Md5Buffer("ignored", 0);
  EXPECT_TRUE(digest.IsZero());
  EXPECT_EQ(DigestToHex(digest), std::string(32, '0'));
  EXPECT_EQ(DigestToHex(Md5Buffer("abc", 3)), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5HexTest, WritesUpperCaseAndReadsEitherCase) {
  const Md5Digest digest = Md5Buffer("abc", 3);
  const std::string upper = DigestToHex(digest);
  EXPECT_EQ(upper, "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(HexToDigest(upper), digest);
  EXPECT_EQ(HexToDigest("900150983cd24fb0d6963f7d28e17f72"), digest);
  EXPECT_EQ(HexToDigest("900150983Cd24fB0D6963f7D28E17f72"), digest);
}

TEST(Md5HexTest, ZeroPadsEveryByte) {
  Md5Digest digest;
  digest.bytes[0] = 0x01;
  digest.bytes[15] = 0x0A;
  EXPECT_EQ(DigestToHex(digest), "0100000000000000000000000000000A");
}

TEST(Md5HexTest, TakesExactlyThirtyTwoCharacters) {
  const Md5Digest digest = Md5Buffer("abc", 3);
  EXPECT_EQ(HexToDigest("900150983CD24FB0D6963F7D28E17F72FFFF"), digest);
  const Md5Digest short_digest = HexToDigest("9001");
  EXPECT_EQ(short_digest.bytes[0], 0x90);
  EXPECT_EQ(short_digest.bytes[1], 0x01);
  for (size_t i = 2; i < 16; ++i) EXPECT_EQ(short_digest.bytes[i], 0);
}

TEST(Md5HexTest, NonHexCharacterGivesAWrongDigestNotAFailure) {
  const Md5Digest digest = Md5Buffer("abc", 3);
  const Md5Digest wrong = HexToDigest("Z00150983CD24FB0D6963F7D28E17F72");
  EXPECT_NE(wrong.bytes[0], digest.bytes[0]);
  for (size_t i = 1; i < 16; ++i) EXPECT_EQ(wrong.bytes[i], digest.bytes[i]);
}

class Md5FileRangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = PseudoRandomBytes(5000, 21);
    path_ = dir_.Path("data.bin");
    WriteBytes(path_, content_);
  }
  Md5Digest Expected(size_t offset, size_t length) const {
    return Md5Buffer(content_.data() + offset, length);
  }

  TempDir dir_;
  std::string content_;
  std::string path_;
};

TEST_F(Md5FileRangeTest, DigestsTheRequestedRange) {
  Md5Digest digest;
  EXPECT_EQ(Md5FileRange(path_, 0, 5000, &digest), 5000u);
  EXPECT_EQ(digest, Expected(0, 5000));
  EXPECT_EQ(Md5FileRange(path_, 100, 1024, &digest), 1024u);
  EXPECT_EQ(digest, Expected(100, 1024));
  EXPECT_EQ(Md5FileRange(path_, 1023, 2049, &digest), 2049u);
  EXPECT_EQ(digest, Expected(1023, 2049));
}

TEST_F(Md5FileRangeTest, StopsAtTheEndOfTheFile) {
  Md5Digest digest;
  EXPECT_EQ(Md5FileRange(path_, 4000, 9999, &digest), 1000u);
  EXPECT_EQ(digest, Expected(4000, 1000));
}

TEST_F(Md5FileRangeTest, ZeroLengthOrMissingFileGivesZeroDigest) {
  Md5Digest digest = Md5Buffer("x", 1);
  EXPECT_EQ(Md5FileRange(path_, 10, 0, &digest), 0u);
  EXPECT_TRUE(digest.IsZero());
  digest = Md5Buffer("x", 1);
  EXPECT_EQ(Md5FileRange(dir_.Path("missing"), 0, 10, &digest), 0u);
  EXPECT_TRUE(digest.IsZero());
}

TEST_F(Md5FileRangeTest, OpenFileFormReadsFromTheOffset) {
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(path_));
  Md5Digest digest;
  EXPECT_EQ(Md5FileRange(file, 2500, 2000, &digest), 2000u);
  EXPECT_EQ(digest, Expected(2500, 2000));
  EXPECT_EQ(Md5FileRange(file, 0, 3, &digest), 3u);
  EXPECT_EQ(digest, Expected(0, 3));
}

TEST(Md5StreamRangeTest, DigestsToTheEndAndLeavesTheStreamUsable) {
  const std::string content = PseudoRandomBytes(3000, 5);
  std::istringstream in(content);
  Md5Digest digest;
  EXPECT_EQ(Md5StreamRange(in, 0, kMd5ToEnd, &digest), 3000u);
  EXPECT_EQ(digest, Md5Buffer(content.data(), content.size()));
  EXPECT_TRUE(in.good());
  EXPECT_EQ(Md5StreamRange(in, 1000, kMd5ToEnd, &digest), 2000u);
  EXPECT_EQ(digest, Md5Buffer(content.data() + 1000, 2000));
}

TEST(Md5StreamRangeTest, DigestsABoundedRange) {
  const std::string content = PseudoRandomBytes(3000, 5);
  std::istringstream in(content);
  Md5Digest digest;
  EXPECT_EQ(Md5StreamRange(in, 10, 2048, &digest), 2048u);
  EXPECT_EQ(digest, Md5Buffer(content.data() + 10, 2048));
  EXPECT_EQ(Md5StreamRange(in, 10, 0, &digest), 0u);
  EXPECT_TRUE(digest.IsZero());
}

// Every count of messages with lengths around the block and padding
// boundaries, each lane holding different bytes.
TEST(Md5LanesTest, EqualsOneDigestPerMessage) {
  const std::vector<size_t> lengths = {0,   1,   55,  56,  63,   64,   65,    119,
                                       120, 127, 128, 129, 1000, 4096, 65536, 65537};
  for (const size_t length : lengths) {
    std::vector<std::string> messages;
    const uint8_t* pointers[kMd5Lanes];
    for (size_t i = 0; i < kMd5Lanes; ++i) {
      messages.push_back(PseudoRandomBytes(length, static_cast<uint32_t>(length * 8 + i)));
    }
    for (size_t i = 0; i < kMd5Lanes; ++i) {
      pointers[i] = reinterpret_cast<const uint8_t*>(messages[i].data());
    }
    for (size_t count = 1; count <= kMd5Lanes; ++count) {
      Md5Digest digests[kMd5Lanes];
      Md5EqualLength(pointers, count, length, digests);
      for (size_t i = 0; i < count; ++i) {
        ASSERT_EQ(digests[i], Md5Buffer(messages[i].data(), length))
            << "length " << length << ", count " << count << ", lane " << i;
      }
    }
  }
}

TEST(Md5LanesTest, MatchesTheRfcSuiteInEveryLane) {
  const std::string abc = "abc";
  const uint8_t* pointers[kMd5Lanes];
  for (size_t i = 0; i < kMd5Lanes; ++i) pointers[i] = reinterpret_cast<const uint8_t*>(abc.data());
  Md5Digest digests[kMd5Lanes];
  Md5EqualLength(pointers, kMd5Lanes, 3, digests);
  for (const Md5Digest& digest : digests) {
    EXPECT_EQ(DigestToHex(digest), "900150983CD24FB0D6963F7D28E17F72");
  }
}

}  // namespace
}  // namespace brelvane
