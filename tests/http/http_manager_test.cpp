// SPDX-License-Identifier: MIT
// The HTTP download manager end to end: its threads, a real storage registry
// writing into a scratch directory, and mirrors that are either scripted
// (exact requests, stalls) or the fault mirror (real files, faults).
#include "http/http_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/auto_reset_event.h"
#include "http/download_test_env.h"
#include "http/http_mirror_table.h"
#include "http/scripted_server.h"
#include "storage/file_system.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::Eventually;

constexpr uint32_t kWaitMs = 60000;  // generous: sanitizer builds on a shared machine

class HttpManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { file_system_.SetPaths(FileEntry(), target_.path(), "T"); }

  // Registers file `id`; parts in `on_disk` are taken as written (and are
  // written), the others are missing.
  void AddFile(uint32_t id, const std::string& name, const std::string& content,
               uint32_t part_size, const RangeSet32& missing = RangeSet32(),
               bool all_missing = true) {
    FileEntry entry = test::EntryFor(id, name, content, part_size);
    entries_.push_back(entry);
    contents_.push_back(content);
    if (!all_missing) {
      std::string on_disk = content;
      for (uint32_t part : missing) {
        const PartEntry& p = entry.parts[part];
        std::fill(on_disk.begin() + p.start, on_disk.begin() + p.start + p.length, '\0');
      }
      test::WriteFileBytes(target_.File(name), on_disk);
    }
    ASSERT_TRUE(file_system_.RegisterFile(target_.File(name), entry, all_missing, missing));
  }

  void StartStorage() {
    file_system_.RecomputeCounters();
    ASSERT_TRUE(file_system_.StartRunner(64));
  }

  // Starts storage, adds `mirror` (unless empty) and runs `threads` threads.
  void Run(const std::string& mirror, uint32_t threads, int flush_interval_ms = -1) {
    StartStorage();
    if (!mirror.empty()) mirrors_.Add(mirror);
    MakeManager(flush_interval_ms);
    manager_->Restart(threads);
  }

  void ExpectPartsFree(uint32_t first) {
    ASSERT_TRUE(file_system_.Drain());  // a run goes back behind its queued blocks
    for (uint32_t part = first; part < 10; ++part) {
      EXPECT_TRUE(file_system_.IsPartFree(1, part)) << part;
    }
  }

  void MakeManager(int flush_interval_ms = -1) {
    HttpManager::Options options;
    options.idle_wait_ms = options.backlog_wait_ms = 20;
    options.failure_pause_ms = 50;
    if (flush_interval_ms >= 0) options.flush_interval_ms = flush_interval_ms;
    manager_ = std::make_unique<HttpManager>(file_system_, mirrors_, work_, &meter_, options);
  }

  std::vector<int32_t> Scores() const {
    std::vector<int32_t> scores;
    for (const MirrorEntry& entry : mirrors_.Entries()) scores.push_back(entry.score);
    return scores;
  }

  void ExpectFilesComplete() {
    for (size_t i = 0; i < entries_.size(); ++i) {
      EXPECT_EQ(test::ReadFileBytes(target_.File(entries_[i].name)), contents_[i])
          << entries_[i].name;
    }
  }

  test::LogCapture log_;  // first: closed after every thread has ended
  test::ScratchDir target_;
  test::ScratchDir mirror_root_;
  std::vector<FileEntry> entries_;
  std::vector<std::string> contents_;
  FileSystem file_system_;
  HttpMirrorTable mirrors_;
  AutoResetEvent work_{true};
  test::CountingMeter meter_;
  std::unique_ptr<HttpManager> manager_;  // last: destroyed before storage
};

TEST_F(HttpManagerTest, ThreadCountSetsTheQueueCapacityAndZeroStartsNothing) {
  StartStorage();
  mirrors_.Add("http://127.0.0.1:1/never");
  MakeManager();
  EXPECT_EQ(manager_->QueueCapacity(), HttpManager::kInitialQueueCapacity);
  manager_->Restart(0);
  EXPECT_FALSE(manager_->ControlRunning());
  EXPECT_EQ(Scores(), std::vector<int32_t>{0});  // no mirror was ever picked
  EXPECT_EQ(log_.Count("L4 Http restart. 0 threads"), 1);
  const uint32_t kMax = HttpManager::kMaxThreads;
  // ~0u: a negative count from the console.
  for (const auto& [asked, threads, capacity] :
       {std::tuple{0u, 0u, 1u}, {4u, 4u, 9u}, {1u, 1u, 3u}, {~0u, kMax, 2 * kMax + 1}}) {
    manager_->Restart(asked);
    EXPECT_EQ(manager_->ThreadCount(), threads) << asked;
    EXPECT_EQ(manager_->QueueCapacity(), capacity) << asked;
  }
}

TEST_F(HttpManagerTest, EmptyMirrorListEndsTheControlThreadAtOnce) {
  AddFile(1, "a.bin", test::PatternBytes(40000), 4096);
  Run("", 2);
  ASSERT_TRUE(manager_->WaitControlEnded(kWaitMs));
  ExpectPartsFree(0);
  EXPECT_EQ(manager_->VerifiedBytes(), 0u);
  EXPECT_EQ(log_.Count("Trace: HttpControlProc"), 0);
}

TEST_F(HttpManagerTest, EqualScoresTakeTurnsBetweenRestarts) {
  StartStorage();  // nothing registered: all written, so each control thread ends at once
  mirrors_.Add("http://127.0.0.1:1/first");
  mirrors_.Add("http://127.0.0.1:1/second");
  MakeManager();
  for (const std::vector<int32_t>& scores : {std::vector{1, 0}, {1, 1}, {2, 1}}) {
    manager_->Restart(1);
    ASSERT_TRUE(manager_->WaitControlEnded(kWaitMs));
    EXPECT_EQ(Scores(), scores);
  }
}

TEST_F(HttpManagerTest, RunOfPartsTwentyToTwentyNineIsOneRangeDeliveredPartByPart) {
  constexpr uint32_t kPart = 65536;
  const std::string content = test::PatternBytes(30 * kPart, 3);
  RangeSet32 missing;
  missing.InsertRange(20, 29);  // the only free run: parts 20 to 29
  AddFile(7, "big.bin", content, kPart, missing, false);
  const std::string body = content.substr(20 * kPart);
  const CannedReply reply{test::Response("206 Partial Content", body,
                                         "Content-Range: bytes 1310720-1966079/1966080\r\n"),
                          CannedReply::After::kClose};
  // Spares: the control thread may ask again for parts in flight.
  test::ScriptedServer server({{reply}, {reply}, {reply}, {reply}});
  ASSERT_TRUE(server.ok());
  Run(server.Url(""), 1);
  ASSERT_TRUE(manager_->WaitControlEnded(kWaitMs));

  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  const std::vector<std::string> requests = server.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0], test::ExpectedGet("/big.bin", host, "1310720-1966079"));
  // Later requests can only be repeats of parts still in flight, which the
  // control thread hands out again once nothing else is free.
  for (size_t i = 1; i < requests.size(); ++i) {
    EXPECT_NE(requests[i].find("-1966079\r\n"), std::string::npos) << requests[i];
  }
  ExpectFilesComplete();
  EXPECT_TRUE(file_system_.AllWritten());
  EXPECT_EQ(manager_->VerifiedBytes(), 10u * kPart);
  EXPECT_GE(meter_.http_bytes, 10u * kPart);
  EXPECT_GT(meter_.calls_with_stop_flag, 0);
  EXPECT_EQ(mirrors_.TopAddresses(5), std::vector<uint32_t>{0x7F000001});
  EXPECT_GE(log_.Count("L3 Http ip: 127.0.0.1"), 1);
  const std::vector<std::string> lines = log_.Lines();
  const auto first_request = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("L5 New request", 0) == 0;
  });
  ASSERT_NE(first_request, lines.end());
  EXPECT_EQ(*first_request, "L5 New request \"" + server.Url("/big.bin") + "\" 0/3");
}

TEST_F(HttpManagerTest, PeriodicFlushIsLogged) {
  test::ScriptedServer server({});
  ASSERT_TRUE(server.ok());
  AddFile(1, "a.bin", test::PatternBytes(4096), 4096);
  Run(server.Url(""), 1, 0);
  EXPECT_TRUE(Eventually([&] { return log_.Count("L4 Time flush") >= 2; }, kWaitMs));
  manager_->CancelAll();
  EXPECT_TRUE(manager_->WaitControlEnded(kWaitMs));
}

TEST_F(HttpManagerTest, MirrorAnswering404IsPenalisedTenPerRefusal) {
  const std::string content = test::PatternBytes(10 * 4096);
  test::WriteFileBytes(mirror_root_.File("a.bin"), content);
  AddFile(1, "a.bin", content, 4096);
  test::FaultMirror mirror(mirror_root_.path());
  ASSERT_TRUE(mirror.ok());
  Run(mirror.Url("/404"), 1);
  ASSERT_TRUE(Eventually([&] { return log_.Count("L4 Http Refuse") >= 3; }, kWaitMs));
  manager_->CancelAll();
  ASSERT_TRUE(manager_->WaitControlEnded(kWaitMs));
  const int refusals = log_.Count("L4 Http Refuse");
  const int failures = log_.Count("L4 Http Fail");  // a request cut by CancelAll
  EXPECT_EQ(Scores(), std::vector<int32_t>{1 + 10 * refusals + 5 * failures});
  EXPECT_EQ(manager_->VerifiedBytes(), 0u);
  ExpectPartsFree(0);
}

TEST_F(HttpManagerTest, CancelAllCutsARunningTransferAndReleasesItsUnfinishedParts) {
  const std::string content = test::PatternBytes(10 * 4096, 5);
  AddFile(1, "a.bin", content, 4096);
  const std::string head = test::Response("206 Partial Content", content);
  test::ScriptedServer server({{test::Stall(head, head.size() - content.size() + 6144)}});  // 1.5 parts
  ASSERT_TRUE(server.ok());
  Run(server.Url(""), 1);  // no time limits: only cancelling ends the transfer
  ASSERT_TRUE(Eventually([&] { return file_system_.IsPartVerified(1, 0); }, kWaitMs));
  ASSERT_TRUE(Eventually([&] { return !file_system_.IsPartFree(1, 1); }, kWaitMs));
  manager_->CancelAll();
  EXPECT_TRUE(manager_->WaitControlEnded(kWaitMs));
  EXPECT_GE(log_.Count("L4 Http Fail"), 1);
  ExpectPartsFree(1);
  EXPECT_FALSE(file_system_.IsPartFree(1, 0));  // done
  EXPECT_EQ(manager_->VerifiedBytes(), 4096u);
}

TEST_F(HttpManagerTest, WhenEverythingIsWrittenTheControlThreadCancelsAStalledTransferAndEnds) {
  const std::string content = test::PatternBytes(10 * 4096, 9);
  AddFile(1, "a.bin", content, 4096);
  const std::string head = test::Response("206 Partial Content", content);
  test::ScriptedServer server({{test::Stall(head, head.size() - content.size() + 100)}});
  ASSERT_TRUE(server.ok());
  Run(server.Url(""), 1);
  ASSERT_TRUE(Eventually([&] { return server.requests().size() == 1; }, kWaitMs));
  // The parts arrive another way (as from peers) while HTTP hangs.
  for (const PartEntry& part : entries_[0].parts) {
    ASSERT_TRUE(file_system_.CommitWrite(
        1, reinterpret_cast<const uint8_t*>(content.data()) + part.start, part.length,
        part.start, nullptr));
  }
  ASSERT_TRUE(manager_->WaitControlEnded(kWaitMs));
  EXPECT_TRUE(file_system_.AllWritten());
  EXPECT_GE(log_.Count("L4 Http Fail"), 1);  // the stalled transfer was cut
  ExpectFilesComplete();
  EXPECT_EQ(manager_->VerifiedBytes(), 0u);
}

TEST_F(HttpManagerTest, DestroyingARunningManagerStopsEverything) {
  const std::string content = test::PatternBytes(10 * 4096, 13);
  AddFile(1, "a.bin", content, 4096);
  test::ScriptedServer server({{test::Stall("")}});
  ASSERT_TRUE(server.ok());
  Run(server.Url(""), 2);
  ASSERT_TRUE(Eventually([&] { return server.requests().size() == 1; }, kWaitMs));
  manager_.reset();  // must not hang on the silent server
  ExpectPartsFree(0);
}

}  // namespace
}  // namespace brelvane
