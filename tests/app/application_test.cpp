// SPDX-License-Identifier: MIT
// The start sequence, the status thread and the stop sequence, with
// scripted services.
#include "app/application.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/fakes.h"
#include "app/updater_state.h"

namespace brelvane {
namespace {

using testing::ConsoleCapture;
using testing::FakeServices;
using Lines = std::vector<std::string>;

// Waits up to five seconds for `done`; the threads under test act within
// a few status cycles.
bool WaitFor(auto done) {
  for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

class ApplicationTest : public ::testing::Test {
 protected:
  ApplicationTest() : app_(fakes_.Factory()) {}

  // Initialises with `extra` arguments and, when that succeeds, launches the threads.
  bool Start(std::vector<const char*> extra = {}) {
    std::vector<const char*> argv = {"brelvane", "-Charset", "UTF-8"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return app_.Initialise(static_cast<int>(argv.size()), argv.data()) && (app_.LaunchThreads(), true);
  }
  void Quit() {
    std::istringstream in("quit");
    app_.RunCommandLoop(in), app_.StopSequence();
  }
  bool Printed(const std::string& line) { return std::ranges::count(capture_.Lines(), line) > 0; }

  ConsoleCapture capture_;
  FakeServices fakes_;
  Application app_;
};

// A failed seed-information fetch, end to end: integration.terminal_test and
// integration.http_update_test; a start with the seed already there (no seed
// request): the second run of integration.http_update_test's resume; a seed
// that does not parse: integration.bounded_documents_test.
TEST_F(ApplicationTest, NetworkFailurePrintsItsLinesAndFailsAndAReportWithoutSamplesIsAllUnknown) {
  fakes_.transport->start_network = false;
  EXPECT_FALSE(Start());
  EXPECT_EQ(capture_.Lines(),
            (Lines{"[Info]正在获取种子信息", "[Info]获取种子信息成功", "[Interactive]P2PState=4",
                   "[Info]初始化网络层失败", "[Interactive]P2PState=16"}));
  EXPECT_EQ(app_.state(), kStateNetworkFailed);
  app_.ReportStatistics();  // fewer than twenty samples
  EXPECT_EQ(fakes_.engine->Calls("Report"), Lines{"Report -1 -1 -1 -1 -1 -1 -1 -1 -1 -1"});
}

TEST_F(ApplicationTest, StartSequenceFetchesSeedStartsServicesCompletesAndStopsInOrder) {
  fakes_.engine->check_meta = false;
  ASSERT_TRUE(Start({"-HttpThread", "3", "-P2PUploadThread", "2", "-DeleteDownloadInfo"}));
  ASSERT_TRUE(WaitFor([&] { return app_.state() == kStateDownloading; }));
  EXPECT_EQ(capture_.Lines(),
            (Lines{"[Info]正在获取种子信息", "[Info]获取种子信息成功", "[Info]验证seed文件",
                   "[Info]种子seed不存在，正在下载seed文件", "[Info]下载种子seed成功", "[Info]分析seed",
                   "[Info]分析seed信息成功", "[Info]开启TCP监听及P2P下载服务", "[Info]开始响应P2P上传请求",
                   "[Info]开启Http下载服务", "[Info]开始下载所需文件"}));
  // The status thread measures the rates from the transport's counters.
  ASSERT_TRUE(WaitFor([&] { return app_.speed_history().Size() >= 1; }));
  fakes_.transport->received += 512 * 1024, fakes_.transport->sent += 64 * 1024;
  ASSERT_TRUE(WaitFor([&] { return app_.download_rate() > 0.0f; }));
  EXPECT_FLOAT_EQ(app_.download_rate(), 512.0f);
  EXPECT_FLOAT_EQ(app_.upload_rate(), 64.0f);

  fakes_.engine->completion = 1.0f;
  ASSERT_TRUE(WaitFor([&] { return Printed("[Interactive]P2PState=14") && app_.state() == kStateComplete; }));
  Quit();
  Lines calls = fakes_.engine->Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_TRUE(calls.end()[-4].starts_with("Report"));  // the statistics go before the stop
  std::erase_if(calls, [](const auto& c) { return c.starts_with("EndPhase") || c.starts_with("Report"); });
  EXPECT_EQ(calls, (Lines{"FetchSeedInfo", "Start", "StartLogin", "CheckMeta", "RequestSeed", "StateReport",
                          "StartUploadThreads 2", "SetHttpThreadCount 3", "StartP2PDownload",
                          "DeleteDownloadInfo", "SetHttpThreadCount 0", "Stop", "DisconnectAndReset"}));
  EXPECT_TRUE(fakes_.transport->stopped && fakes_.transport->closed);
  EXPECT_EQ(fakes_.engine->Calls("EndPhase"), (Lines{"EndPhase 4", "EndPhase 3"}));
  EXPECT_EQ(fakes_.engine->Calls("Report").size(), 2u);  // completion and stop
  const Lines lines = capture_.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"[Info]正在退出程序", "[Info]程序正常退出", "[Interactive]P2PState=16"}));
  EXPECT_EQ(app_.state(), kStateStopped);
}

TEST_F(ApplicationTest, SeedDownloadFailureStopsAtStateNineButKeepsRunning) {
  fakes_.engine->check_meta = fakes_.engine->request_seed = false;
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitFor([&] { return fakes_.engine->Calls("Report").size() == 1; }));
  EXPECT_TRUE(Printed("[Error]下载seed失败"));
  EXPECT_TRUE(app_.state() == kStateSeedDownloadFailed && app_.running());
  EXPECT_TRUE(fakes_.engine->Calls("EndPhase").empty());  // still running: no end phase
  Quit();
  EXPECT_TRUE(fakes_.engine->Calls("StartP2PDownload").empty());
}

TEST_F(ApplicationTest, QuitDuringSeedRequestRecordsQuitAgainAndReports) {
  fakes_.engine->check_meta = fakes_.engine->request_seed = false;
  fakes_.engine->request_seed_waits_for_stop = true;
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitFor([&] { return fakes_.engine->in_request_seed.load(); }));
  Quit();
  EXPECT_TRUE(Printed("[Error]下载seed失败"));
  EXPECT_EQ(fakes_.engine->Calls("EndPhase"), (Lines{"EndPhase 3", "EndPhase 3"}));
  EXPECT_EQ(fakes_.engine->Calls("Report").size(), 2u);  // start thread, then stop sequence
}

}  // namespace
}  // namespace brelvane
