// SPDX-License-Identifier: MIT
// Drives the real command loop and dispatcher with words on a stream and
// compares the exact answer lines; the status texts (title, progress line)
// and the speed history behind the rates and averages.
#include "app/command_dispatcher.h"

#include <gtest/gtest.h>

#include "app/fakes.h"
#include "app/progress_line.h"
#include "app/speed_history.h"
#include "app/updater_state.h"

namespace brelvane {
namespace {

using testing::ConsoleCapture;
using testing::FakeServices;
using Lines = std::vector<std::string>;

// The console lines of answers `name=value`.
Lines Answers(Lines values) {
  for (std::string& v : values) v = "[Interactive]" + v;
  return values;
}

class CommandLoopTest : public ::testing::Test {
 protected:
  CommandLoopTest() : app_(fakes_.Factory()) {}

  // Runs the command loop over `input`; returns the console lines.
  Lines Run(const std::string& input) {
    capture_.Clear();
    std::istringstream in(input);
    app_.RunCommandLoop(in);
    stream_failed_ = in.fail();
    return capture_.Lines();
  }

  ConsoleCapture capture_;
  FakeServices fakes_;
  Application app_;
  bool stream_failed_ = false;
};

TEST_F(CommandLoopTest, StatAndGetAnswerEachNameInFixedOrder) {
  fakes_.engine->completion = 0.25f;
  fakes_.engine->user_id = 1021;
  app_.settings().CurrentDir = "D:\\g\\";
  app_.settings().UdpProt = 12000;
  const Lines stat = Answers({"UserId=1021", "P2PState=0", "Percentage=25", "IncompleteByte=5000000000",
                              "UploadBandWidth=0", "DownloadBandWidth=0", "UploadUserNum=3",
                              "DownloadUserNum=8", "ConnectNum=5"});
  EXPECT_EQ(Run("stat"), stat);
  ConsoleLog::Get().set_threshold(0);  // answers pass a threshold that hides everything else
  EXPECT_EQ(Run("stat"), stat);
  EXPECT_EQ(Run("get ubl get dbl get muc get mdc get cub get cdb get pct get tb get icb get p2ps get cuun "
                "get cdun get ccn get uid get oil get version get qf 7 get qf 99999 get ave get state"),
            Answers({"MaxUploadBandWidth=128", "MaxDownloadBandWidth=256", "MaxUploadNum=20",
                     "MaxDownloadNum=256", "UploadBandWidth=0", "DownloadBandWidth=0", "Percentage=25",
                     "TotalByte=6000000000", "IncompleteByte=5000000000", "P2PState=0", "UploadUserNum=3",
                     "DownloadUserNum=8", "ConnectNum=5", "UserId=1021", "P2PLogLevel=0", "version=9983",
                     "FileName=bin/game.exe", "FileName=:", "AverageSpeed=0(A),0(L0)",  // no samples yet
                     "TcpListenPort=0", "UdpProt=12000", "MainServerIp=127.0.0.1", "MainServerPort=5000",
                     "CurrentDir=D:\\g\\", "SeedFilePath=D:/g/Brelvane_Info/.Seed",
                     "SeedFilePathPast=D:/g/Brelvane_Info/.Seed_Past",
                     "DownloadInfoDataFilePath=D:/g/Brelvane_Info/.Download_Info_Data", "UploadThreadNum=10",
                     "MaxWaitTask=10", "HttpDownloadThreadNum=4"}));
}

TEST_F(CommandLoopTest, SetClampsScalesAndActs) {
  EXPECT_EQ(Run("set ubl 1 get ubl set dbl 5000000 get dbl set ubl -5 get ubl"),
            Answers({"MaxUploadBandWidth=3", "MaxDownloadBandWidth=1048576", "MaxUploadBandWidth=1048576"}));
  EXPECT_EQ(std::tuple(app_.settings().UploadLimit.load(), fakes_.transport->upload_window_restarts.load(),
                       fakes_.transport->download_window_restarts.load()), std::tuple(1073741824u, 2, 1));
  // Connection counts stay within the connection limit.
  EXPECT_EQ(Run("set muc 600 set mdc -3 get muc get mdc set mdc 600 get mdc"),
            Answers({"MaxUploadNum=256", "MaxDownloadNum=0", "MaxDownloadNum=256"}));
  // HTTP threads resize for counts from 0; the priority switches only on 1.
  Run("set httpdtn 8 set httpdtn -1 set httppriority 0 set httppriority 2");
  EXPECT_EQ(app_.settings().HttpDownloadThreadNum, 8);
  EXPECT_EQ(fakes_.engine->Calls("SetHttpThreadCount"), Lines{"SetHttpThreadCount 8"});
  EXPECT_TRUE(fakes_.engine->Calls("SwitchToHttpPriority").empty());
  EXPECT_EQ((Run("set httppriority 1"), fakes_.engine->Calls("SwitchToHttpPriority").size()), 1u);
  // The console threshold takes only 0 to 6; at 0 answers still pass.
  EXPECT_EQ((Run("set oil 7"), ConsoleLog::Get().threshold()), 5);
  EXPECT_EQ(Run("set oil 0 get oil"), Answers({"P2PLogLevel=0"}));
  // Unknown names and wrong case are ignored.
  EXPECT_EQ(Run("GET ubl Stat get nothing set nothing 5 get p2ps"), Answers({"P2PState=0"}));
  EXPECT_EQ(app_.settings().MaxUploadNum, 256);
}

TEST_F(CommandLoopTest, UnreadableWordsEndTheLoopQuitAndRestartStopItAndRecordTheirPhase) {
  app_.settings().UploadLimit = 5 * 1024;
  // "x" cannot be read: the fallback of 131072 KB/s is stored, the stream
  // stays failed and the next word ("stat") is never read.
  EXPECT_EQ(Run("set ubl x stat"), Lines{});
  EXPECT_TRUE(stream_failed_);
  EXPECT_EQ(app_.settings().UploadLimit, 131072u * 1024);
  // "get" with no name: the read of its name fails and the loop ends.
  EXPECT_EQ(Run("stat get").size(), 9u);
  EXPECT_TRUE(stream_failed_);
  EXPECT_TRUE(fakes_.engine->Calls("EndPhase").empty());
  EXPECT_EQ(Run("quit stat"), Lines{});
  EXPECT_FALSE(stream_failed_);
  Run("restart");
  EXPECT_EQ(fakes_.engine->Calls("EndPhase"), (Lines{"EndPhase 3", "EndPhase 6"}));
  EXPECT_GT(fakes_.engine->last_end_time, 1600000000u);
}

TEST(TitleTest, FormatsLikeTheLauncherExpects) {
  EXPECT_EQ(FormatTitle({.user_id = 1021, .elapsed_seconds = 35, .percentage = 45.125, .upload_rate = 12.5f,
                         .pending_upload_jobs = 3, .download_rate = 240.0f, .p2p_rate = 200.0f,
                         .http_rate = 40.0f, .server_messages = 17, .connections = 5, .upload_users = 3,
                         .download_users = 8, .candidates = 20}),
            "id:1021 35 45.125% C0.000% U:12.5(3) D:240.0(200.0/40.0) M:17 (5)3|8(20)");
}

TEST(ProgressLineTest, LineShowsProgressRatesPeersMirrorsAndTimeLeft) {
  // 27.3 MiB, 15 MiB of it left at 0.24 MiB/s: 62.5 s.
  ProgressValues v{kStateDownloading, 45.125, 28626124, 15728640, 240.0f, 12.5f, 245.76f, 3, 1};
  const std::string line =
      " 45.1%  12.3 MiB of 27.3 MiB  down 240.0 KiB/s  up 12.5 KiB/s  peers 3  mirrors 1  left 1m03s";
  EXPECT_EQ(FormatProgressLine(v, 0), line);
  EXPECT_EQ(FormatProgressLine(v, 40), line.substr(0, 39));  // never the last column
  v.state = kStateComplete;
  EXPECT_EQ(FormatProgressLine(v, 0), line.substr(0, line.size() - 10) + "complete");
  // Before the update is prepared: no total, no estimate.
  EXPECT_EQ(FormatProgressLine({}, 0), "  0.0%  0 B of ?  down 0.0 KiB/s  up 0.0 KiB/s  peers 0  mirrors 0");
}

TEST(ProgressLineTest, UnitsAndTimeLeft) {
  const struct { int64_t bytes; double rate; const char* size; const char* left; } kCases[] = {
      {512, 1.0, "512 B", "1s"}, {45 * 1024, 1.0, "45.0 KiB", "45s"}, {185 * 1024, 1.0, "185.0 KiB", "3m05s"},
      {7620LL * 1024 * 1024, 1024.0, "7.4 GiB", "2h07m"}, {1024 * 1024, 0.0, "1.0 MiB", "--"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FormatByteCount(c.bytes), c.size) << c.bytes;
    EXPECT_EQ(FormatTimeLeft(c.bytes, c.rate), c.left) << c.bytes;
  }
}

TEST(SpeedHistoryTest, KeepsTheLastSixHundredAndWindowsCountBackFromTheNewest) {
  SpeedHistory h;
  SpeedSample s{3.0f, 3.0f};
  EXPECT_EQ(h.Average(0, 0, s), 0u);  // empty: a lifetime mean of zero
  EXPECT_EQ(s.download, 0.0f);
  for (int i = 1; i <= 700; ++i) h.Push({static_cast<float>(i), static_cast<float>(2 * i)});
  EXPECT_EQ(h.Size(), 600u);
  EXPECT_EQ(h.Average(0, 0, s), 700u);  // the lifetime mean covers all
  EXPECT_NEAR(s.download, 701.0f, 1e-3);
  EXPECT_EQ(h.Average(600, 599, s), 1u);  // the oldest held sample is 101
  EXPECT_FLOAT_EQ(s.upload, 101.0f);
  EXPECT_EQ(h.Average(20, 0, s), 20u);  // samples 681..700
  EXPECT_FLOAT_EQ(s.upload, 690.5f);
  s = {-7.0f, -7.0f};  // beyond the samples, or near beyond far: the result is left
  EXPECT_EQ(h.Average(601, 0, s) + h.Average(5, 6, s) + h.Average(5, 5, s), 0u);
  EXPECT_EQ(s.download, -7.0f);
}

}  // namespace
}  // namespace brelvane
