// SPDX-License-Identifier: MIT
// The HTTP download manager's own controls: thread and queue sizing, the
// empty mirror list, periodic flushes and CancelAll.  Whole downloads through
// the manager (ranges, restarts, refusing and wrong mirrors) are driven by
// integration.http_update against nginx and the fault mirror.
#include "http/http_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "base/auto_reset_event.h"
#include "http/download_test_env.h"
#include "http/http_mirror_table.h"
#include "http/scripted_server.h"
#include "storage/file_system.h"

namespace brelvane {
namespace {

constexpr uint32_t kWaitMs = 60000;  // generous: sanitizer builds on a shared machine

class HttpManagerTest : public ::testing::Test {
 protected:
  // Registers ten missing parts of 4096 bytes as file 1, starts storage and
  // makes the manager (not yet started).
  void SetUp() override {
    file_system_.SetPaths(FileEntry(), target_.path(), "T");
    content_ = test::PatternBytes(10 * 4096, 5);
    ASSERT_TRUE(file_system_.RegisterFile(target_.File("a.bin"),
                                          test::EntryFor(1, "a.bin", content_, 4096), true,
                                          RangeSet32()));
    file_system_.RecomputeCounters();
    ASSERT_TRUE(file_system_.StartRunner(64));
    HttpManager::Options options;
    options.idle_wait_ms = options.backlog_wait_ms = 20;
    options.failure_pause_ms = 50;
    options.flush_interval_ms = 0;  // every round of the control thread
    manager_ = std::make_unique<HttpManager>(file_system_, mirrors_, work_, &meter_, options);
  }

  void ExpectPartsFree(uint32_t first) {
    ASSERT_TRUE(file_system_.Drain());  // a run goes back behind its queued blocks
    for (uint32_t part = first; part < 10; ++part) EXPECT_TRUE(file_system_.IsPartFree(1, part)) << part;
  }

  test::LogCapture log_;  // first: closed after every thread has ended
  test::ScratchDir target_;
  std::string content_;
  FileSystem file_system_;
  HttpMirrorTable mirrors_;
  AutoResetEvent work_{true};
  test::CountingMeter meter_;
  std::unique_ptr<HttpManager> manager_;  // last: destroyed before storage
};

TEST_F(HttpManagerTest, ThreadCountSizesTheQueueAndWithoutAMirrorNothingIsTaken) {
  EXPECT_EQ(manager_->QueueCapacity(), HttpManager::kInitialQueueCapacity);
  const uint32_t kMax = HttpManager::kMaxThreads;
  // ~0u: a negative count from the console.
  for (const auto& [asked, threads, capacity] :
       {std::tuple{0u, 0u, 1u}, {4u, 4u, 9u}, {~0u, kMax, 2 * kMax + 1}, {2u, 2u, 5u}}) {
    manager_->Restart(asked);
    EXPECT_EQ(manager_->ThreadCount(), threads) << asked;
    EXPECT_EQ(manager_->QueueCapacity(), capacity) << asked;
  }
  EXPECT_EQ(log_.Count("L4 Http restart. 0 threads"), 1);
  ASSERT_TRUE(manager_->WaitControlEnded(kWaitMs));  // the mirror list is empty
  EXPECT_FALSE(manager_->ControlRunning());
  ExpectPartsFree(0);
  EXPECT_EQ(log_.Count("Trace: HttpControlProc"), 0);
}

TEST_F(HttpManagerTest, CancelAllCutsARunningTransferAndReleasesItsUnfinishedParts) {
  const std::string head = test::Response("206 Partial Content", content_);
  test::ScriptedServer server({{test::Stall(head, head.size() - content_.size() + 6144)}});  // 1.5 parts
  mirrors_.Add(server.Url(""));
  manager_->Restart(1);  // no time limits: only cancelling ends the transfer
  ASSERT_TRUE(test::Eventually([&] { return file_system_.IsPartVerified(1, 0); }, kWaitMs));
  ASSERT_TRUE(test::Eventually([&] { return !file_system_.IsPartFree(1, 1); }, kWaitMs));
  EXPECT_TRUE(test::Eventually([&] { return log_.Count("L4 Time flush") >= 2; }, kWaitMs));
  manager_->CancelAll();
  EXPECT_TRUE(manager_->WaitControlEnded(kWaitMs));
  EXPECT_GE(log_.Count("L4 Http Fail"), 1);
  ExpectPartsFree(1);
  EXPECT_FALSE(file_system_.IsPartFree(1, 0));  // done
  EXPECT_EQ(manager_->VerifiedBytes(), 4096u);
}

}  // namespace
}  // namespace brelvane
