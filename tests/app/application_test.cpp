// SPDX-License-Identifier: MIT
// The start sequence, the status thread and the stop sequence, with
// scripted services.
#include "app/application.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "app/fakes.h"
#include "app/updater_state.h"

namespace brelvane {
namespace {

using testing::ConsoleCapture;
using testing::FakeServices;
using Lines = std::vector<std::string>;

// Waits up to five seconds for `done`; the threads under test act within
// a few status cycles.
template <typename Pred>
bool WaitFor(Pred done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class ApplicationTest : public ::testing::Test {
 protected:
  ApplicationTest() : app_(fakes_.Factory()) {}

  bool Init(std::vector<const char*> extra = {}) {
    std::vector<const char*> argv = {"brelvane", "-Charset", "UTF-8"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return app_.Initialise(static_cast<int>(argv.size()), argv.data());
  }

  void Quit(const std::string& words = "quit") {
    std::istringstream in(words);
    app_.RunCommandLoop(in);
    app_.StopSequence();
  }

  bool Contains(const std::string& line) {
    for (const auto& l : capture_.Lines())
      if (l == line) return true;
    return false;
  }

  ConsoleCapture capture_;
  FakeServices fakes_;
  Application app_;
};

// A failed seed-information fetch, end to end: integration.brelvane_start_test.
TEST_F(ApplicationTest, NetworkFailurePrintsItsThreeLinesAndFails) {
  fakes_.transport->start_network = false;
  EXPECT_FALSE(Init());
  EXPECT_EQ(capture_.Lines(),
            (Lines{"[Info]正在获取种子信息", "[Info]获取种子信息成功", "[Interactive]P2PState=4",
                   "[Info]初始化网络层失败", "[Interactive]P2PState=16"}));
  EXPECT_EQ(app_.state(), kStateNetworkFailed);
}

TEST_F(ApplicationTest, StartSequenceFetchesSeedStartsServicesAndCompletes) {
  fakes_.engine->check_meta = false;
  ASSERT_TRUE(Init({"-HttpThread", "3", "-P2PUploadThread", "2", "-DeleteDownloadInfo"}));
  app_.LaunchThreads();
  ASSERT_TRUE(WaitFor([&] { return app_.state() == kStateDownloading; }));
  EXPECT_EQ(capture_.Lines(),
            (Lines{"[Info]正在获取种子信息", "[Info]获取种子信息成功", "[Info]验证seed文件",
                   "[Info]种子seed不存在，正在下载seed文件", "[Info]下载种子seed成功",
                   "[Info]分析seed", "[Info]分析seed信息成功", "[Info]开启TCP监听及P2P下载服务",
                   "[Info]开始响应P2P上传请求", "[Info]开启Http下载服务",
                   "[Info]开始下载所需文件"}));

  fakes_.engine->completion = 1.0f;
  ASSERT_TRUE(WaitFor([&] { return app_.state() == kStateComplete; }));
  ASSERT_TRUE(WaitFor([&] { return Contains("[Interactive]P2PState=14"); }));
  Quit();

  const Lines calls = fakes_.engine->Calls();
  const Lines expected_start = {"FetchSeedInfo", "Start", "StartLogin", "CheckMeta", "RequestSeed",
                                "StateReport", "StartUploadThreads 2", "SetHttpThreadCount 3",
                                "StartP2PDownload", "DeleteDownloadInfo"};
  ASSERT_GE(calls.size(), expected_start.size());
  EXPECT_EQ(Lines(calls.begin(), calls.begin() + expected_start.size()), expected_start);
  EXPECT_EQ(Lines(calls.end() - 3, calls.end()),
            (Lines{"SetHttpThreadCount 0", "Stop", "DisconnectAndReset"}));
  EXPECT_TRUE(fakes_.transport->stopped);
  EXPECT_TRUE(fakes_.transport->closed);

  ASSERT_EQ(fakes_.engine->end_phases.size(), 2u);  // completion, then quit
  EXPECT_EQ(fakes_.engine->end_phases[0].first, EndPhase::Complete);
  EXPECT_EQ(fakes_.engine->end_phases[1].first, EndPhase::Quit);
  EXPECT_EQ(fakes_.engine->reports.size(), 2u);  // completion and stop

  const Lines lines = capture_.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"[Info]正在退出程序", "[Info]程序正常退出", "[Interactive]P2PState=16"}));
  EXPECT_EQ(app_.state(), kStateStopped);
}

TEST_F(ApplicationTest, NothingToFetchSkipsTheSeedRequest) {
  ASSERT_TRUE(Init());
  app_.LaunchThreads();
  ASSERT_TRUE(WaitFor([&] { return app_.state() == kStateDownloading; }));
  Quit();
  for (const auto& call : fakes_.engine->Calls()) EXPECT_NE(call, "RequestSeed");
  EXPECT_FALSE(Contains("[Info]下载种子seed成功"));
}

TEST_F(ApplicationTest, SeedDownloadFailureStopsAtStateNineButKeepsRunning) {
  fakes_.engine->check_meta = false;
  fakes_.engine->request_seed = false;
  ASSERT_TRUE(Init());
  app_.LaunchThreads();
  ASSERT_TRUE(WaitFor([&] { return fakes_.engine->ReportCount() == 1; }));
  EXPECT_TRUE(Contains("[Error]下载seed失败"));
  EXPECT_EQ(app_.state(), kStateSeedDownloadFailed);
  EXPECT_TRUE(app_.running());
  EXPECT_EQ(fakes_.engine->EndPhaseCount(), 0u);  // still running: no end phase
  Quit();
  EXPECT_FALSE(fakes_.engine->started_p2p);
}

TEST_F(ApplicationTest, QuitDuringSeedRequestRecordsQuitAgainAndReports) {
  fakes_.engine->check_meta = false;
  fakes_.engine->request_seed = false;
  fakes_.engine->request_seed_waits_for_stop = true;
  ASSERT_TRUE(Init());
  app_.LaunchThreads();
  ASSERT_TRUE(WaitFor([&] { return fakes_.engine->in_request_seed.load(); }));
  Quit();
  EXPECT_TRUE(Contains("[Error]下载seed失败"));
  ASSERT_EQ(fakes_.engine->end_phases.size(), 2u);
  EXPECT_EQ(fakes_.engine->end_phases[0].first, EndPhase::Quit);
  EXPECT_EQ(fakes_.engine->end_phases[1].first, EndPhase::Quit);
  EXPECT_EQ(fakes_.engine->reports.size(), 2u);  // start thread, then stop sequence
}

TEST_F(ApplicationTest, ParseFailureStopsAtStateTwelveAndNeverCompletes) {
  fakes_.engine->state_report = false;
  fakes_.engine->completion = 1.0f;
  ASSERT_TRUE(Init());
  app_.LaunchThreads();
  ASSERT_TRUE(WaitFor([&] { return Contains("[Error]分析seed信息失败"); }));
  EXPECT_EQ(app_.state(), kStateSeedParseFailed);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // one status cycle
  EXPECT_FALSE(Contains("[Interactive]P2PState=14"));
  Quit();
}

TEST_F(ApplicationTest, InputClosedAtOnceStillStopsInOrder) {
  ASSERT_TRUE(Init());
  app_.LaunchThreads();
  Quit("");
  EXPECT_EQ(capture_.Lines().back(), "[Interactive]P2PState=16");
  EXPECT_TRUE(fakes_.engine->end_phases.empty());
  EXPECT_FALSE(app_.running());
}

TEST_F(ApplicationTest, StatusThreadMeasuresRatesFromTheCounters) {
  ASSERT_TRUE(Init());
  app_.LaunchThreads();
  ASSERT_TRUE(WaitFor([&] { return app_.speed_history().Size() >= 1; }));
  fakes_.transport->received += 512 * 1024;
  fakes_.transport->sent += 64 * 1024;
  ASSERT_TRUE(WaitFor([&] { return app_.download_rate() > 0.0f; }));
  EXPECT_FLOAT_EQ(app_.download_rate(), 512.0f);
  EXPECT_FLOAT_EQ(app_.upload_rate(), 64.0f);
  Quit();
}

TEST_F(ApplicationTest, ReportWithFewerThanTwentySamplesIsAllUnknown) {
  app_.ReportStatistics();
  ASSERT_EQ(fakes_.engine->reports.size(), 1u);
  EXPECT_EQ(fakes_.engine->reports[0], std::vector<float>(10, -1.0f));
}

}  // namespace
}  // namespace brelvane
