// SPDX-License-Identifier: MIT
#include "catalogue/md5.h"

#include <gtest/gtest.h>

#include <sstream>

#include "catalogue/catalogue_test_util.h"
#include "catalogue/md5_lanes.h"
#include "platform/readonly_file.h"

namespace brelvane {
namespace {

using testing::PseudoRandomBytes;

// The lanes (eight messages side by side) against one digest per message:
// BuildFileListTest.DigestsEveryPartAndFileAcrossReadBoundaries, and every part
// check of integration.http_update_test.
//
// Vectors of RFC 1321 appendix A.5 (the others of its suite add no path: every
// release's digests are compared with Python's MD5 in
// integration.release_tool_test), and lengths around the padding
// boundaries (55, 56, 63, 64, 65 bytes) where an off-by-one in the length
// block shows; the short ones also fed in three pieces at every pair of
// split points, and one more a byte at a time after a Reset().
TEST(Md5Test, MatchesKnownDigestsWhateverTheSplitIntoUpdates) {
  const struct { std::string message; const char* hex; } cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"}, {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
      {std::string(55, 'a'), "EF1772B6DFF9A122358552954AD0DF65"},
      {std::string(56, 'a'), "3B0C8AC703F828B04C6C197006D17218"},
      {std::string(63, 'a'), "B06521F39153D618550606BE297466D5"},
      {std::string(64, 'a'), "014842D480B571495A4A0363793F7367"},
      {std::string(65, 'a'), "C743A45E0D2E6A95CB859ADAE0248435"},
      {std::string(1000000, 'a'), "7707D6AE4E027C70EEA2A935C2296F21"},
  };
  Md5Context context;
  context.Update("garbage", 7);
  for (const auto& c : cases) {
    const char* m = c.message.data();
    const size_t n = c.message.size() <= 100 ? c.message.size() : 0;
    for (size_t a = 0; a <= n; ++a) {
      for (size_t b = a; b <= n; ++b) {
        context.Reset();
        context.Update(m, a);
        context.Update(m + a, b - a);
        context.Update(m + b, c.message.size() - b);
        ASSERT_EQ(DigestToHex(context.Final()), c.hex) << c.message.size() << " at " << a << ", " << b;
      }
    }
  }
  const std::string longer = PseudoRandomBytes(4099, 3);
  context.Reset();
  for (const char c : longer) context.Update(&c, 1);
  EXPECT_EQ(context.length(), longer.size());
  EXPECT_EQ(context.Final(), Md5Buffer(longer.data(), longer.size()));
}

TEST(Md5HexTest, WritesUpperCaseReadsEitherCaseAndTakesThirtyTwoCharacters) {
  const Md5Digest abc = Md5Buffer("abc", 3);
  EXPECT_EQ(DigestToHex(Md5Buffer("ignored", 0)), std::string(32, '0'));  // zero bytes
  EXPECT_EQ(HexToDigest("900150983Cd24fB0D6963f7D28E17f72FFFF"), abc);
  EXPECT_EQ(DigestToHex(HexToDigest("9001")), "90010000000000000000000000000000");  // zero-padded
  // A non-hex character reads as 0: a wrong digest, not a failure.
  EXPECT_EQ(DigestToHex(HexToDigest("Z00150983CD24FB0D6963F7D28E17F72")), "000150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5RangeTest, DigestsFileAndStreamRangesUpToTheEnd) {
  testing::TempDir dir;
  const std::string content = PseudoRandomBytes(5000, 21);
  const std::string path = dir.File("data.bin");
  testing::WriteBytes(path, content);
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(path));
  const struct { uint64_t offset, length, expected; } ranges[] = {{0, 5000, 5000}, {100, 1024, 1024},
      {1023, 2049, 2049}, {4000, 9999, 1000}, {2500, kMd5ToEnd, 2500}, {10, 0, 0}};
  for (const auto& r : ranges) {
    SCOPED_TRACE(std::to_string(r.offset) + "+" + std::to_string(r.length));
    const Md5Digest expected = r.expected ? Md5Buffer(content.data() + r.offset, r.expected) : Md5Digest();
    Md5Digest digest = Md5Buffer("x", 1);
    const auto check = [&](uint64_t got) { EXPECT_TRUE(got == r.expected && digest == expected) << got; };
    if (r.length != kMd5ToEnd) {
      check(Md5FileRange(path, r.offset, r.length, &digest));
      check(Md5FileRange(file, r.offset, r.length, &digest));
    }
    std::istringstream in(content);
    check(Md5StreamRange(in, r.offset, r.length, &digest));
  }
  Md5Digest digest = Md5Buffer("x", 1);
  EXPECT_EQ(Md5FileRange(dir.File("missing"), 0, 10, &digest), 0u);
  EXPECT_TRUE(digest.IsZero());
  std::istringstream in(content);  // the stream stays usable after reading to the end
  EXPECT_EQ(Md5StreamRange(in, 0, kMd5ToEnd, &digest), 5000u);
  EXPECT_EQ(Md5StreamRange(in, 1000, kMd5ToEnd, &digest), 4000u);
  EXPECT_EQ(digest, Md5Buffer(content.data() + 1000, 4000));
}

// Storage hashes the parts that arrive together eight at a time, grouped by
// length: a file's last part (and every small file) has any length, so every
// padding case must hold in every lane, for every lane count.
TEST(Md5LanesTest, EqualsOneDigestPerMessage) {
  for (const size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 65537}) {
    std::string messages[kMd5Lanes];  // an array: the pointers stay valid
    const uint8_t* pointers[kMd5Lanes];
    for (size_t i = 0; i < kMd5Lanes; ++i) {
      messages[i] = PseudoRandomBytes(length, static_cast<uint32_t>(length * 8 + i));
      pointers[i] = reinterpret_cast<const uint8_t*>(messages[i].data());
    }
    for (size_t count = 1; count <= kMd5Lanes; ++count) {
      Md5Digest digests[kMd5Lanes];
      Md5EqualLength(pointers, count, length, digests);
      for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(digests[i], Md5Buffer(messages[i].data(), length)) << length << ", " << i << "/" << count;
    }
  }
}

}  // namespace
}  // namespace brelvane
