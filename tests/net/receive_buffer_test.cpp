// SPDX-License-Identifier: MIT
#include "p2p/net/receive_buffer.h"

#include <gtest/gtest.h>

#include <functional>

#include "net_test_util.h"

namespace brelvane {
namespace {

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
      {"largest data message", wire::kMaxDataLength - 16, [](size_t room) { return room - 1; }},
  };
  for (const Case& c : cases) {
    const std::vector<net_test::Bytes> messages = net_test::SampleMessages(c.data_bytes, random);
    const net_test::Bytes stream = net_test::Concat(messages);
    net_test::Joiner joiner;
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
      ASSERT_LT(buffer.kept(), wire::kReportSize) << c.name;
    }
    EXPECT_TRUE(pieces_ok) << c.name;
    EXPECT_EQ(joiner.messages, messages) << c.name;
  }
}

}  // namespace
}  // namespace brelvane
