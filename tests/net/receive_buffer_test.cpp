// SPDX-License-Identifier: MIT
#include "p2p/net/receive_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "net_test_util.h"

namespace brelvane {
namespace {

using net_test::Bytes;

struct FeedResult {
  net_test::Joiner joiner;
  bool pieces_ok = true;
  bool refused = false;
  size_t most_kept = 0;
};

// Feeds `stream` in reads whose sizes `next_read(room)` picks (at most the
// room left), as the housekeeping thread does.
FeedResult Feed(const Bytes& stream, const std::function<size_t(size_t room)>& next_read) {
  FeedResult r;
  ReceiveBuffer buffer;
  size_t at = 0;
  while (at < stream.size() && !r.refused) {
    const size_t n = std::min({next_read(buffer.room()), buffer.room(), stream.size() - at});
    std::memcpy(buffer.space(), stream.data() + at, n);
    at += n;
    r.refused = !buffer.Take(n, [&](const uint8_t* m, size_t len) {
      r.pieces_ok = r.joiner.Add(m, len) && r.pieces_ok;
    });
    r.most_kept = std::max(r.most_kept, buffer.kept());
  }
  return r;
}

TEST(ReceiveBufferTest, ReassemblesOverAwkwardSplits) {
  std::mt19937 random(11);
  struct Case {
    const char* name;
    size_t data_bytes;
    std::function<size_t(size_t)> read;
  };
  const Case cases[] = {
      {"one byte at a time", 1000, [](size_t) { return size_t{1}; }},
      {"headers split across reads", 1000, [](size_t) { return size_t{19}; }},
      {"300-byte pieces", 1000, [](size_t) { return size_t{300}; }},
      {"many messages per read", 1000, [](size_t room) { return room; }},
      {"4 MiB data, full reads", 4u << 20, [](size_t room) { return room; }},
      {"4 MiB data, random reads", 4u << 20,
       [&random](size_t room) { return std::uniform_int_distribution<size_t>(1, room)(random); }},
      {"largest data message", wire::kMaxDataLength - 16, [](size_t room) { return room - 1; }},
  };
  for (const Case& c : cases) {
    const std::vector<Bytes> messages = net_test::SampleMessages(c.data_bytes, random);
    FeedResult r = Feed(net_test::Concat(messages), c.read);
    EXPECT_FALSE(r.refused) << c.name;
    EXPECT_TRUE(r.pieces_ok) << c.name;
    EXPECT_EQ(r.joiner.messages, messages) << c.name;
    // Never more kept than a fixed-size message: a read always has room.
    EXPECT_LT(r.most_kept, wire::kReportSize) << c.name;
  }
}

TEST(ReceiveBufferTest, RefusesTheFirstInvalidHeaderAfterDeliveringWhatCameBefore) {
  std::mt19937 random(12);
  const wire::MsgHeader h{};
  struct Case {
    const char* name;
    Bytes bad;
  };
  Bytes too_long = wire::BuildHeaderOnly(h, wire::kData);
  wire::PutU32(too_long.data() + 16, wire::kMaxDataLength + 1);
  Bytes respond_19 = wire::BuildRespond(h, 0, {});
  wire::PutU32(respond_19.data() + 16, 19);
  Bytes unknown = wire::BuildHeaderOnly(h, wire::kResetState);
  wire::PutU32(unknown.data(), 9999);
  const Case cases[] = {{"client-to-server type", wire::BuildHeaderOnly(h, wire::kKeepAlive)},
                        {"unknown type", unknown},
                        {"respond of 19 bytes", respond_19},
                        {"data longer than 4 MiB + 16", too_long}};
  for (const Case& c : cases) {
    std::vector<Bytes> messages = net_test::SampleMessages(100, random);
    Bytes stream = net_test::Concat(messages);
    stream.insert(stream.end(), c.bad.begin(), c.bad.end());
    FeedResult r = Feed(stream, [](size_t) { return size_t{7}; });
    EXPECT_TRUE(r.refused) << c.name;
    EXPECT_EQ(r.joiner.messages, messages) << c.name;
  }
}

}  // namespace
}  // namespace brelvane
