// SPDX-License-Identifier: MIT
// The HTTP download pieces on their own: the mirror table; the request queue
// between the control thread and the download threads, and the auto-reset
// event that wakes the control thread; what each event of a download does
// through HttpBlockSink and HttpWriteObserver to the mirror table, the storage
// registry, the limiter, the work event and the log; and the manager's own
// controls: thread and queue sizing, the empty mirror list, periodic flushes
// and CancelAll.  Whole downloads through the manager (ranges, restarts,
// refusing and wrong mirrors, every field of a request travelling through the
// queue) are driven by integration.http_update against nginx and the fault
// mirror.
// Also seed retrieval against scripted mirrors: the failures and the order of
// the mirrors a torrent brings (the good paths, and a mirror refusing the
// torrent beside a good one, run in every integration test).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <tuple>

#include "base/auto_reset_event.h"
#include "base/download_meter.h"
#include "base/file_log.h"
#include "catalogue/catalogue_test_util.h"
#include "catalogue/seed_document.h"
#include "http/http_block_sink.h"
#include "http/http_client.h"
#include "http/http_manager.h"
#include "http/http_mirror_table.h"
#include "http/request_queue.h"
#include "http/scripted_server.h"
#include "http/seed_retrieval.h"
#include "storage/file_system.h"

// Helpers for the tests of seed retrieval and the HTTP download manager:
// a scratch directory, a file log captured into it, file entries with real
// digests, a recording download meter, and a bounded wait for conditions
// that other threads bring about.
namespace brelvane {
namespace {

using ScratchDir = testing::TempDir;
using testing::MakeEntry;
using namespace test;
constexpr uint32_t kWaitMs = 60000;  // generous: sanitizer builds on a shared machine

// The file log ("p2p.log" at level 5) in a scratch working directory while it lives.
struct LogCapture : ScratchDir {
  LogCapture() {
    std::filesystem::current_path(path());
    FileLog::Open("");
    FileLog::set_threshold(5);
  }
  ~LogCapture() {
    FileLog::Close();
    FileLog::set_threshold(old_threshold);
    std::filesystem::current_path(old_directory);
  }
  // The messages logged so far as "L<level> <text>" (time stamp and thread cut off).
  std::vector<std::string> Lines() const {
    std::ifstream in(File("p2p.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find("] ") + 2));
    return lines;
  }
  // How many messages contain `text`.
  int Count(const std::string& text) const {
    return static_cast<int>(std::ranges::count_if(Lines(), [&](auto& l) { return l.find(text) != l.npos; }));
  }
  std::filesystem::path old_directory = std::filesystem::current_path();
  int old_threshold = FileLog::threshold();
};

// An IDownloadMeter that only counts.
struct CountingMeter : IDownloadMeter {
  void Charge(uint64_t bytes, TrafficSource source, const std::atomic<bool>* stop) override {
    (source == TrafficSource::kHttp ? http_bytes : p2p_bytes) += bytes;
    if (stop != nullptr) ++calls_with_stop_flag;
  }
  std::atomic<uint64_t> http_bytes{0}, p2p_bytes{0};
  std::atomic<int> calls_with_stop_flag{0};
};

// Waits up to kWaitMs for `condition` to hold (checked every few ms).
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  return true;
}

// Ids count down from -1 and are never reused; a pick takes the lowest score
// (the first on a tie) and raises it; a penalty adds to one entry's score.
TEST(HttpMirrorTableTest, PicksTheLowestScoreFirstOnATieAndPenaltiesSteerAway) {
  HttpMirrorTable table;
  MirrorEntry picked;
  EXPECT_FALSE(table.PickMirror(&picked));
  EXPECT_EQ(table.Add("http://a"), -1);
  EXPECT_EQ(table.Add("http://x"), -2);
  EXPECT_TRUE(table.Remove(-2));
  EXPECT_FALSE(table.Remove(-2));
  table.AddAll({"http://b", "http://c"});
  std::string order;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(table.PickMirror(&picked));
    order += picked.url.back();
  }
  EXPECT_EQ(order, "abcabc");
  EXPECT_EQ(std::tie(picked.id, picked.score), std::make_tuple(-4, 2));  // the score after the pick
  table.Penalize(-1, 2);
  table.Penalize(-99, -1000);  // no such entry: nothing happens
  for (const char* want : {"b", "c", "b", "c", "a"}) {
    ASSERT_TRUE(table.PickMirror(&picked));
    EXPECT_EQ(picked.url, std::string("http://") + want);
  }
  EXPECT_EQ(picked.score, 5);
}

TEST(HttpMirrorTableTest, CountsFromManyThreadsAddUpAndTopAddressesAreTheMostCountedFirst) {
  HttpMirrorTable table;
  table.Add("http://a");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&table, t] {
      MirrorEntry entry;
      for (int i = 0; i < 1000; ++i) {
        table.CountAddress(i == 0 && t == 0 ? 0x0A000003 : 0x0A000001 + (i % 4 == 0));
        if (i % 100 == 0) (void)table.PickMirror(&entry), table.Penalize(-1, t);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // 40 picks, 10 penalties each of 0, 1, 2 and 3.
  EXPECT_EQ(table.Entries()[0].score, 40 + 10 * (0 + 1 + 2 + 3));
  EXPECT_EQ(table.TopAddresses(2), (std::vector<uint32_t>{0x0A000001, 0x0A000002}));
  EXPECT_EQ(table.AddressCounts().size(), 3u);
  EXPECT_EQ(table.TopAddresses(10).back(), 0x0A000003u);
  EXPECT_TRUE(table.TopAddresses(0).empty());
}

// A sink that counts its destructions.
struct CountedSink : HttpSink {
  explicit CountedSink(std::atomic<int>* destroyed) : destroyed(destroyed) {}
  ~CountedSink() override { ++*destroyed; }
  std::atomic<int>* destroyed;
};

TEST(RequestQueueTest, HoldsItsCapacityInOrderAcrossTheRingEndAndDeletesQueuedSinksAtTheEnd) {
  std::atomic<int> destroyed{0};
  {
    RequestQueue queue(3);
    for (int round = 0; round < 4; ++round) {  // the indices wrap around the 4 slots
      for (int i = 0; i < 3; ++i) { ASSERT_TRUE(queue.TryPush({.url = std::to_string(i)}, 0)); }
      EXPECT_EQ(queue.Count(), 3u);
      EXPECT_FALSE(queue.TryPush({.url = "x"}, 20));
      for (int i = 0; i < 3; ++i) {
        HttpRequest out;
        ASSERT_TRUE(queue.TryPop(&out, 0));
        EXPECT_EQ(out.url, std::to_string(i));
      }
      HttpRequest untouched{.url = "keep"};
      EXPECT_FALSE(queue.TryPop(&untouched, 0));
      EXPECT_EQ(untouched.url + std::to_string(queue.Count()), "keep0");
    }
    auto pop = std::async(std::launch::async, [&] { return queue.Pop().url; });
    EXPECT_EQ(pop.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);  // empty
    queue.Push({.url = "late"});
    EXPECT_EQ(pop.get(), "late");
    for (const char* url : {"1", "2", "3"}) queue.Push({.url = url});
    auto push = std::async(std::launch::async, [&] { queue.Push({.url = "4"}); });
    EXPECT_EQ(push.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);  // full
    for (const char* url : {"1", "2", "3"}) EXPECT_EQ(queue.Pop().url, url);
    push.get();
    EXPECT_EQ(queue.Pop().url, "4");
    queue.Push({.url = "b", .sink = new CountedSink(&destroyed)});
    queue.Push({.url = "c", .sink = new CountedSink(&destroyed)});
  }
  EXPECT_EQ(destroyed.load(), 2);
}

TEST(AutoResetEventTest, OneSignalReleasesOneWaitAndWakesAWaitingThread) {
  AutoResetEvent event, signalled(true);
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();  // two signals before a wait count as one
  EXPECT_TRUE(event.IsSet() && event.Wait(0));
  EXPECT_FALSE(event.Wait(10));
  EXPECT_TRUE(signalled.Wait(0));
  signalled.Set();
  signalled.Reset();
  EXPECT_FALSE(signalled.Wait(0));
  auto waiter = std::async(std::launch::async, [&] { return event.Wait(60000); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
  event.Set();
  EXPECT_TRUE(waiter.get());
  EXPECT_FALSE(event.IsSet());  // consumed by the waiter
}

class HttpDownloadTest : public ::testing::Test {
 protected:
  // Registers ten missing parts of 4096 bytes as file 1 and starts storage.
  void SetUp() override {
    file_system_.SetPaths(FileEntry(), target_.path(), "T");
    content_ = PatternBytes(10 * 4096, 5);
    ASSERT_TRUE(file_system_.RegisterFile(target_.File("a.bin"), MakeEntry(1, "a.bin", content_, 4096),
                                          true, RangeSet32()));
    file_system_.RecomputeCounters();
    ASSERT_TRUE(file_system_.StartRunner(64));
  }

  // A sink for mirror -1, the first one added.
  std::unique_ptr<HttpBlockSink> SinkFor(const UID& uid) {
    const HttpSinkContext context{&file_system_, &mirrors_, &work_, &meter_, verified_};
    return std::make_unique<HttpBlockSink>(context, uid, -1);
  }
  // The manager, with short waits and a flush every round of the control
  // thread, whose first round runs at once.
  HttpManager& Manager() {
    work_.Set();
    manager_ = std::make_unique<HttpManager>(
        file_system_, mirrors_, work_, &meter_,
        HttpManager::Options{.idle_wait_ms = 20, .backlog_wait_ms = 20, .flush_interval_ms = 0,
                             .failure_pause_ms = 50});
    return *manager_;
  }
  void ExpectPartsFree(uint32_t first) {
    ASSERT_TRUE(file_system_.Drain());  // a run goes back behind its queued blocks
    for (uint32_t part = first; part < 10; ++part) EXPECT_TRUE(file_system_.IsPartFree(1, part)) << part;
  }

  LogCapture log_;  // first: closed after every thread has ended
  ScratchDir target_;
  std::string content_;
  FileSystem file_system_;
  HttpMirrorTable mirrors_;
  AutoResetEvent work_;
  CountingMeter meter_;
  std::shared_ptr<VerifiedByteCounter> verified_ = std::make_shared<VerifiedByteCounter>();
  std::unique_ptr<HttpManager> manager_;  // last: destroyed before storage
};

// Every end closes the client's kept-alive connection.
TEST_F(HttpDownloadTest, EachFailureWakesTheControlThreadAndIsCountedByItsKind) {
  struct Case {
    int64_t result;
    int32_t penalty;
    const char* message;  // logged once, or null
  } const cases[] = {
      {kHttpRefused, 10, "L4 Http Refuse"}, {kHttpFailed, 5, "L4 Http Fail"},
      {kHttpSinkRefused, 0, "L2 Http writing fail, may be too busy in writing thread"},
      {kHttpTimeout, 0, nullptr}, {kHttpCancelled, 0, nullptr}, {12345, 0, nullptr}};
  ScriptedServer server(std::vector<ConnectionScript>(6, {CannedReply{Response("200 OK", "x")}}));
  ASSERT_EQ(mirrors_.Add("http://m"), -1);
  for (const Case& c : cases) {
    HttpClient client;
    ASSERT_EQ(client.Get({.url = server.Url("/f")}, true), 1);
    const int32_t before = mirrors_.Entries()[0].score;
    const size_t lines_before = log_.Lines().size();
    SinkFor(UID())->OnDone(&client, c.result);
    EXPECT_EQ(work_.Wait(0), c.result < 0) << c.result;  // success: nobody to wake
    EXPECT_EQ(mirrors_.Entries()[0].score - before, c.penalty) << c.result;
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_EQ(lines.size(), lines_before + (c.message != nullptr)) << c.result;
    if (c.message != nullptr) { EXPECT_EQ(lines.back(), c.message); }
    EXPECT_FALSE(client.connected());
  }
}

// A block is counted for the address and committed; only what verifies is
// counted as verified; a block for an unknown file is refused.  Receives are
// charged as HTTP traffic with the thread's stop flag.
TEST_F(HttpDownloadTest, BlocksAreCommittedCountedAndVerifiedAndReceivesCharged) {
  const UID uid = file_system_.AllocateRun();
  ASSERT_EQ(uid.file_id, 1u);
  auto sink = SinkFor(uid);
  sink->OnConnect(platform::InetAddress{0x0A000102, 80});
  EXPECT_EQ(log_.Count("L3 Http ip: 10.0.1.2"), 1);
  const auto* bytes = reinterpret_cast<const uint8_t*>(content_.data());
  EXPECT_TRUE(sink->OnData(bytes + 8192, 4096, 8192));  // part 2, good
  std::string bad = content_.substr(12288, 4096);
  bad[0] ^= 1;
  EXPECT_TRUE(sink->OnData(reinterpret_cast<const uint8_t*>(bad.data()), 4096, 12288));
  EXPECT_FALSE(SinkFor(UID{99, 0, 0})->OnData(bytes, 4096, 0));
  ASSERT_TRUE(file_system_.Drain());
  EXPECT_TRUE(file_system_.IsPartVerified(1, 2));
  EXPECT_FALSE(file_system_.IsPartVerified(1, 3));
  EXPECT_EQ(verified_->Get(), 4096u);  // only what verified
  EXPECT_EQ(mirrors_.TopAddresses(1), std::vector<uint32_t>{0x0A000102});

  EXPECT_TRUE(sink->OnReceive(5000));
  std::atomic<bool> stop{false};
  sink->set_stop_flag(&stop);
  EXPECT_TRUE(sink->OnReceive(700));
  EXPECT_EQ(meter_.http_bytes + meter_.p2p_bytes * 1000, 5700u);
  EXPECT_EQ(meter_.calls_with_stop_flag, 1);
}

TEST_F(HttpDownloadTest, ObserverKeepsItsCounterAliveUntilDestroyed) {
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

TEST_F(HttpDownloadTest, ThreadCountSizesTheQueueAndWithoutAMirrorNothingIsTaken) {
  HttpManager& manager = Manager();
  EXPECT_EQ(manager.QueueCapacity(), HttpManager::kInitialQueueCapacity);
  const uint32_t kMax = HttpManager::kMaxThreads;
  // ~0u: a negative count from the console.
  for (const auto& [asked, threads, capacity] :
       {std::tuple{0u, 0u, 1u}, {4u, 4u, 9u}, {~0u, kMax, 2 * kMax + 1}, {kMax + 1, kMax, 2 * kMax + 1},
        {2u, 2u, 5u}}) {
    manager.Restart(asked);
    EXPECT_EQ(manager.ThreadCount(), threads) << asked;
    EXPECT_EQ(manager.QueueCapacity(), capacity) << asked;
  }
  EXPECT_EQ(log_.Count("L4 Http restart. 0 threads"), 1);
  ASSERT_TRUE(manager.WaitControlEnded(kWaitMs));  // the mirror list is empty
  EXPECT_FALSE(manager.ControlRunning());
  ExpectPartsFree(0);
  EXPECT_EQ(log_.Count("Trace: HttpControlProc"), 0);
}

TEST_F(HttpDownloadTest, CancelAllCutsARunningTransferAndReleasesItsUnfinishedParts) {
  const std::string head = Response("206 Partial Content", content_);
  ScriptedServer server({{Stall(head, head.size() - content_.size() + 6144)}});  // 1.5 parts
  mirrors_.Add(server.Url(""));
  HttpManager& manager = Manager();
  manager.Restart(1);  // no time limits: only cancelling ends the transfer
  ASSERT_TRUE(Eventually([&] { return file_system_.IsPartVerified(1, 0); }));
  ASSERT_TRUE(Eventually([&] { return !file_system_.IsPartFree(1, 1); }));
  EXPECT_TRUE(Eventually([&] { return log_.Count("L4 Time flush") >= 2; }));
  manager.CancelAll();
  EXPECT_TRUE(manager.WaitControlEnded(kWaitMs));
  EXPECT_GE(log_.Count("L4 Http Fail"), 1);
  ExpectPartsFree(1);
  EXPECT_FALSE(file_system_.IsPartFree(1, 0));  // done
  EXPECT_EQ(manager.VerifiedBytes(), 4096u);
}

SeedInfo SampleTorrent() {
  return {.http_urls = {"http://a.example/r", "http://b.example/r"},
          .trackers = {{"10.0.0.1", 7000}, {"10.0.0.2", 7001}},
          .total_size = 123456, .file = MakeEntry(0, "Seed.gz", PatternBytes(10000), 4096)};
}

CannedReply Serving(const std::string& body, const std::string& status = "200 OK") {
  return CannedReply{Response(status, body), CannedReply::After::kClose};
}

class GetTorrentTest : public ::testing::Test {
 protected:
  LogCapture log_;
  SeedSources sources_;
  SeedRetrievalOptions options_{.pause = [this](uint32_t ms) { pauses_.push_back(ms); }};
  std::vector<uint32_t> pauses_;
};

TEST_F(GetTorrentTest, TorrentWithoutServersOrMirrorsEmptiesTheListsAndIsRefused) {
  SeedInfo bare = SampleTorrent();
  bare.http_urls.clear();
  bare.trackers.clear();
  const std::string body = TorrentText(bare);
  ScriptedServer server(std::vector<ConnectionScript>(10, {Serving(body)}));
  sources_.configured_mirrors = {server.Url("")};
  sources_.server_addresses = {"10.9.9.9"};
  sources_.server_ports = {9};
  sources_.download_mirrors = {"http://old.example"};
  SeedInfo info;
  EXPECT_FALSE(GetTorrent(sources_, nullptr, &info, options_));
  EXPECT_TRUE(sources_.server_addresses.empty() && sources_.server_ports.empty() &&
              sources_.download_mirrors.empty());
  EXPECT_EQ(server.requests().size(), 10u);  // one per pass
  EXPECT_EQ(pauses_, std::vector<uint32_t>(10, 1000));
}

TEST_F(GetTorrentTest, TorrentMirrorsGoToTheFrontInRandomOrder) {
  SeedInfo torrent = SampleTorrent();
  torrent.http_urls.clear();
  for (int i = 0; i < 6; ++i) torrent.http_urls.push_back("http://m" + std::to_string(i));
  ScriptedServer server(std::vector<ConnectionScript>(12, {Serving(TorrentText(torrent))}));
  std::set<std::vector<std::string>> orders;
  for (int run = 0; run < 12; ++run) {
    SeedSources sources;
    sources.configured_mirrors = {server.Url("")};
    sources.download_mirrors = {"http://old1", "http://old2"};
    SeedInfo info;
    ASSERT_TRUE(GetTorrent(sources, nullptr, &info, options_));
    std::vector<std::string>& got = sources.download_mirrors;
    ASSERT_EQ(got.size(), 8u);
    orders.emplace(got.begin(), got.begin() + 6);
    std::sort(got.begin(), got.begin() + 6);
    EXPECT_EQ(got, (std::vector<std::string>{"http://m0", "http://m1", "http://m2", "http://m3", "http://m4",
                                             "http://m5", "http://old1", "http://old2"}));
  }
  // 720 orders; twelve runs all alike would mean no shuffle.
  EXPECT_GT(orders.size(), 1u);
}

TEST_F(GetTorrentTest, BadAnswerEndsTheAttemptAndTheNextMirrorServesInTheSamePass) {
  SeedInfo empty = SampleTorrent();
  empty.file = FileEntry();
  empty.file.name = "Seed.gz";
  for (const auto& [body, log, count] :
       {std::tuple{TorrentText(empty), "L1 Read torrent error", 1},  // a torrent of an empty seed
        {std::string("this is not xml"), "L1 ", 0},                 // silently
        {std::string(300000, 'x'), "Get torrent try fail. ErrorCode: -4,", 1}}) {
    ScriptedServer bad({{Serving(body)}});
    ScriptedServer good({{Serving(TorrentText(SampleTorrent()))}});
    options_.max_torrent_bytes = 1000;
    sources_.configured_mirrors = {bad.Url(""), good.Url("/sub")};
    SeedInfo info;
    const int before = log_.Count(log);
    ASSERT_TRUE(GetTorrent(sources_, nullptr, &info, options_));
    EXPECT_EQ(log_.Count(log) - before, count) << log;
    EXPECT_EQ(good.requests().size(), 1u);
    EXPECT_EQ(info.file.size, 10000u);
    EXPECT_TRUE(pauses_.empty());
  }
}

// Without mirrors it fails at once; a cleared running flag stops the
// requests (not the pauses) from the pass after the flag went.
TEST_F(GetTorrentTest, NoMirrorsOrAClearedRunningFlagStopTheRequests) {
  ScriptedServer server({});  // every connection is accepted and closed
  SeedInfo info;
  EXPECT_FALSE(GetTorrent(sources_, nullptr, &info, options_));
  EXPECT_EQ(log_.Count("L1 Empty http list"), 1);
  std::atomic<bool> running{true};
  options_.pause = [&](uint32_t ms) {
    pauses_.push_back(ms);
    running.store(false);  // dropped during the first pause
  };
  sources_.configured_mirrors = {server.Url(""), server.Url("/other")};
  EXPECT_FALSE(GetTorrent(sources_, &running, &info, options_));
  EXPECT_EQ(server.connections(), 2);  // the first pass only
  EXPECT_EQ(log_.Count("Get torrent try fail. ErrorCode: -1,"), 2);
  EXPECT_EQ(pauses_, std::vector<uint32_t>(10, 1000));
}

// DownloadSeed writing into a real registry; each mirror answers once.
TEST(DownloadSeedTest, FetchesTheSeedAndMovesOnFromBadMirrors) {
  const std::string content = PatternBytes(5 * 4096 + 1234, 17);
  const FileEntry entry = MakeEntry(kSeedFileId, "Seed.gz", content, 4096);
  std::string wrong = content;
  wrong[5000] ^= 1;
  struct Case {
    std::vector<std::string> mirrors;  // each one's answer
    bool running, ok;
    std::pair<std::string, int> log;  // text, count
  } const cases[] = {
      {{}, true, false, {"L1 HttpList is empty", 1}},
      {{content}, true, true, {"L4 Requesting seed: ", 1}},
      {{content}, false, false, {"Requesting seed:", 0}},  // a cleared running flag
      {{"404", content}, true, true, {"L1 Request seed fail. result: -2, http_header:  HTTP/1.1 404", 1}},
      {{wrong}, true, false, {"Requesting seed:", 3}},  // never written
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log.first);
    LogCapture log;
    ScratchDir target;
    FileSystem file_system;
    file_system.SetPaths(entry, target.path(), "T");
    ASSERT_TRUE(file_system.StartRunner());
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    SeedSources sources;
    for (const std::string& answer : c.mirrors) {
      servers.push_back(std::make_unique<ScriptedServer>(std::vector<ConnectionScript>{
          {answer == "404" ? Serving("no", "404 Not Found") : Serving(answer)}}));
      sources.configured_mirrors.push_back(servers.back()->Url(""));
    }
    std::atomic<bool> stopped{false};
    SeedRetrievalOptions options;
    options.passes = 3;
    EXPECT_EQ(DownloadSeed(sources, file_system, c.running ? nullptr : &stopped, options), c.ok);
    EXPECT_EQ(log.Count(c.log.first), c.log.second);
    std::ifstream in(file_system.seed_path(), std::ios::binary);
    const std::string on_disk{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(file_system.WrittenParts(), c.ok ? 6u : 0u);
    EXPECT_EQ(on_disk, c.ok ? content : std::string(on_disk.size(), '\0'));  // nothing written when it fails
  }
}

}  // namespace
}  // namespace brelvane
