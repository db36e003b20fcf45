// SPDX-License-Identifier: MIT
// HttpBlockSink and HttpWriteObserver on their own: what each event of a
// download does to the mirror table, the storage registry, the limiter, the
// work event and the log.
#include "http/http_block_sink.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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
    entry_ = test::EntryFor(4, "f.bin", content_, 1024);
    ASSERT_TRUE(file_system_.RegisterFile(target_.File("f.bin"), entry_, true, RangeSet32()));
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
  FileEntry entry_;
  FileSystem file_system_;
  HttpMirrorTable mirrors_;
  int32_t mirror_id_ = 0;
  AutoResetEvent work_;
  test::CountingMeter meter_;
  std::shared_ptr<VerifiedByteCounter> verified_ = std::make_shared<VerifiedByteCounter>();
  HttpSinkContext context_;
};

TEST_F(HttpBlockSinkTest, EachFailureWakesTheControlThreadAndIsCountedByItsKind) {
  struct Case {
    int64_t result;
    int32_t penalty;
    const char* message;  // logged once, or null
  };
  const Case cases[] = {
      {kHttpRefused, 10, "L4 Http Refuse"}, {kHttpFailed, 5, "L4 Http Fail"},
      {kHttpSinkRefused, 0, "L2 Http writing fail, may be too busy in writing thread"},
      {kHttpTimeout, 0, nullptr}, {kHttpCancelled, 0, nullptr}};
  HttpClient client;
  for (const Case& c : cases) {
    const int32_t before = Score();
    const int lines_before = static_cast<int>(log_.Lines().size());
    auto sink = SinkFor(UID());
    sink->OnDone(&client, c.result);
    EXPECT_TRUE(work_.Wait(0)) << c.result;
    EXPECT_EQ(Score() - before, c.penalty) << c.result;
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(lines_before) + (c.message != nullptr)) << c.result;
    if (c.message != nullptr) { EXPECT_EQ(lines.back(), c.message); }
  }
  auto sink = SinkFor(UID());
  sink->OnDone(&client, 12345);  // success: nobody to wake, no penalty
  EXPECT_FALSE(work_.Wait(0));
  EXPECT_EQ(Score(), 15);
}

TEST_F(HttpBlockSinkTest, DoneClosesTheKeptAliveConnection) {
  test::ScriptedServer server({{test::CannedReply{test::Response("200 OK", "x")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  HttpRequest request;
  request.url = server.Url("/f");
  ASSERT_EQ(client.Get(request, true), 1);
  ASSERT_TRUE(client.connected());
  SinkFor(UID())->OnDone(&client, 1);
  EXPECT_FALSE(client.connected());
}

TEST_F(HttpBlockSinkTest, DestroyingTheSinkReleasesItsRun) {
  const UID uid = file_system_.AllocateRun();
  ASSERT_TRUE(uid.IsValid());
  EXPECT_FALSE(file_system_.IsPartFree(uid.file_id, uid.first_part));
  SinkFor(uid).reset();
  // The run goes back behind the blocks already queued for the worker.
  ASSERT_TRUE(file_system_.Drain());
  for (uint32_t part = uid.first_part; part <= uid.last_part; ++part) {
    EXPECT_TRUE(file_system_.IsPartFree(uid.file_id, part));
  }
}

TEST_F(HttpBlockSinkTest, BlocksAreCommittedCountedAndVerified) {
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
  ASSERT_TRUE(file_system_.Drain());
  EXPECT_TRUE(file_system_.IsPartVerified(4, 2));
  EXPECT_FALSE(file_system_.IsPartVerified(4, 3));
  EXPECT_EQ(verified_->Get(), 1024u);  // only what verified
  EXPECT_EQ(mirrors_.TopAddresses(1), std::vector<uint32_t>{0x0A000102});
}

TEST_F(HttpBlockSinkTest, BlockForAnUnknownFileIsRefused) {
  auto sink = SinkFor(UID{99, 0, 0});
  EXPECT_FALSE(sink->OnData(reinterpret_cast<const uint8_t*>(content_.data()), 1024, 0));
  EXPECT_EQ(verified_->Get(), 0u);
}

TEST_F(HttpBlockSinkTest, ReceivesAreChargedAsHttpWithTheThreadsStopFlag) {
  auto sink = SinkFor(UID());
  EXPECT_TRUE(sink->OnReceive(5000));
  EXPECT_EQ(meter_.calls_with_stop_flag, 0);
  std::atomic<bool> stop{false};
  sink->set_stop_flag(&stop);
  EXPECT_TRUE(sink->OnReceive(0));  // an idle poll
  EXPECT_TRUE(sink->OnReceive(700));
  EXPECT_EQ(meter_.http_bytes, 5700u);
  EXPECT_EQ(meter_.p2p_bytes, 0u);
  EXPECT_EQ(meter_.calls_with_stop_flag, 2);
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
