// SPDX-License-Identifier: MIT
// HttpBlockSink and HttpWriteObserver on their own: what each event of a
// download does to the mirror table, the storage registry, the limiter, the
// work event and the log.
#include "http/http_block_sink.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/auto_reset_event.h"
#include "http/download_test_env.h"
#include "http/http_client.h"
#include "http/http_mirror_table.h"
#include "http/scripted_server.h"
#include "storage/file_system.h"

namespace brelvane {
namespace {

class HttpBlockSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_system_.SetPaths(FileEntry(), target_.path(), "T");
    content_ = test::PatternBytes(10 * 1024, 21);
    ASSERT_TRUE(file_system_.RegisterFile(target_.File("f.bin"), test::EntryFor(4, "f.bin", content_, 1024),
                                          true, RangeSet32()));
    file_system_.RecomputeCounters();
    ASSERT_TRUE(file_system_.StartRunner(16));
    mirror_id_ = mirrors_.Add("http://m");
    context_ = {&file_system_, &mirrors_, &work_, &meter_, verified_};
  }

  std::unique_ptr<HttpBlockSink> SinkFor(const UID& uid) {
    return std::make_unique<HttpBlockSink>(context_, uid, mirror_id_);
  }
  int32_t Score() const { return mirrors_.Entries()[0].score; }

  test::LogCapture log_;
  test::ScratchDir target_;
  std::string content_;
  FileSystem file_system_;
  HttpMirrorTable mirrors_;
  int32_t mirror_id_ = 0;
  AutoResetEvent work_;
  test::CountingMeter meter_;
  std::shared_ptr<VerifiedByteCounter> verified_ = std::make_shared<VerifiedByteCounter>();
  HttpSinkContext context_;
};

// Every end closes the client's kept-alive connection.
TEST_F(HttpBlockSinkTest, EachFailureWakesTheControlThreadAndIsCountedByItsKind) {
  struct Case {
    int64_t result;
    int32_t penalty;
    const char* message;  // logged once, or null
  } const cases[] = {
      {kHttpRefused, 10, "L4 Http Refuse"}, {kHttpFailed, 5, "L4 Http Fail"},
      {kHttpSinkRefused, 0, "L2 Http writing fail, may be too busy in writing thread"},
      {kHttpTimeout, 0, nullptr}, {kHttpCancelled, 0, nullptr}, {12345, 0, nullptr}};
  test::ScriptedServer server(std::vector<test::ConnectionScript>(
      6, {test::CannedReply{test::Response("200 OK", "x")}}));
  for (const Case& c : cases) {
    HttpClient client;
    ASSERT_EQ(client.Get({.url = server.Url("/f")}, true), 1);
    const int32_t before = Score();
    const size_t lines_before = log_.Lines().size();
    SinkFor(UID())->OnDone(&client, c.result);
    EXPECT_EQ(work_.Wait(0), c.result < 0) << c.result;  // success: nobody to wake
    EXPECT_EQ(Score() - before, c.penalty) << c.result;
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_EQ(lines.size(), lines_before + (c.message != nullptr)) << c.result;
    if (c.message != nullptr) { EXPECT_EQ(lines.back(), c.message); }
    EXPECT_FALSE(client.connected());
  }
}

// A block is counted for the address and committed; only what verifies is
// counted as verified; a block for an unknown file is refused.  Receives are
// charged as HTTP traffic with the thread's stop flag.
TEST_F(HttpBlockSinkTest, BlocksAreCommittedCountedAndVerifiedAndReceivesCharged) {
  const UID uid = file_system_.AllocateRun();
  ASSERT_EQ(uid.file_id, 4u);
  auto sink = SinkFor(uid);
  sink->OnConnect(platform::InetAddress{0x0A000102, 80});
  EXPECT_EQ(log_.Count("L3 Http ip: 10.0.1.2"), 1);
  const auto* bytes = reinterpret_cast<const uint8_t*>(content_.data());
  EXPECT_TRUE(sink->OnData(bytes + 2048, 1024, 2048));  // part 2, good
  std::string bad = content_.substr(3072, 1024);
  bad[0] ^= 1;
  EXPECT_TRUE(sink->OnData(reinterpret_cast<const uint8_t*>(bad.data()), 1024, 3072));
  EXPECT_FALSE(SinkFor(UID{99, 0, 0})->OnData(bytes, 1024, 0));
  ASSERT_TRUE(file_system_.Drain());
  EXPECT_TRUE(file_system_.IsPartVerified(4, 2));
  EXPECT_FALSE(file_system_.IsPartVerified(4, 3));
  EXPECT_EQ(verified_->Get(), 1024u);  // only what verified
  EXPECT_EQ(mirrors_.TopAddresses(1), std::vector<uint32_t>{0x0A000102});

  EXPECT_TRUE(sink->OnReceive(5000));
  std::atomic<bool> stop{false};
  sink->set_stop_flag(&stop);
  EXPECT_TRUE(sink->OnReceive(700));
  EXPECT_EQ(meter_.http_bytes + meter_.p2p_bytes * 1000, 5700u);
  EXPECT_EQ(meter_.calls_with_stop_flag, 1);
}

TEST_F(HttpBlockSinkTest, ObserverKeepsItsCounterAliveUntilDestroyed) {
  auto counter = std::make_shared<VerifiedByteCounter>();
  std::weak_ptr<VerifiedByteCounter> watch = counter;
  IWriteObserver* observer = new HttpWriteObserver(counter);
  counter.reset();  // the manager is gone while the block still waits in storage
  ASSERT_FALSE(watch.expired());
  observer->OnVerifiedBytes(10);
  observer->OnNothingVerified();
  EXPECT_EQ(watch.lock()->Get(), 10u);
  observer->Destroy();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace brelvane
