// SPDX-License-Identifier: MIT
// Drives the real command loop and dispatcher with words on a stream and
// compares the exact answer lines.
#include "app/command_dispatcher.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/application.h"
#include "app/fakes.h"

namespace brelvane {
namespace {

using testing::ConsoleCapture;
using testing::FakeServices;
using Lines = std::vector<std::string>;

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
  const Lines stat = {"[Interactive]UserId=1021", "[Interactive]P2PState=0",
                      "[Interactive]Percentage=25", "[Interactive]IncompleteByte=5000000000",
                      "[Interactive]UploadBandWidth=0", "[Interactive]DownloadBandWidth=0",
                      "[Interactive]UploadUserNum=3", "[Interactive]DownloadUserNum=8",
                      "[Interactive]ConnectNum=5"};
  EXPECT_EQ(Run("stat"), stat);
  ConsoleLog::Get().set_threshold(0);  // answers pass a threshold that hides everything else
  EXPECT_EQ(Run("stat"), stat);
  EXPECT_EQ(Run("get ubl get dbl get muc get mdc get cub get cdb get pct get tb get icb get p2ps "
                "get cuun get cdun get ccn get uid get oil get version get qf 7 get qf 99999 "
                "get ave get state"),
            (Lines{"[Interactive]MaxUploadBandWidth=128", "[Interactive]MaxDownloadBandWidth=256",
                   "[Interactive]MaxUploadNum=20", "[Interactive]MaxDownloadNum=256",
                   "[Interactive]UploadBandWidth=0", "[Interactive]DownloadBandWidth=0",
                   "[Interactive]Percentage=25", "[Interactive]TotalByte=6000000000",
                   "[Interactive]IncompleteByte=5000000000", "[Interactive]P2PState=0",
                   "[Interactive]UploadUserNum=3", "[Interactive]DownloadUserNum=8",
                   "[Interactive]ConnectNum=5", "[Interactive]UserId=1021",
                   "[Interactive]P2PLogLevel=0", "[Interactive]version=9983",
                   "[Interactive]FileName=bin/game.exe", "[Interactive]FileName=:",
                   "[Interactive]AverageSpeed=0(A),0(L0)",  // before the status thread ran
                   "[Interactive]TcpListenPort=0", "[Interactive]UdpProt=12000",
                   "[Interactive]MainServerIp=127.0.0.1", "[Interactive]MainServerPort=5000",
                   "[Interactive]CurrentDir=D:\\g\\",
                   "[Interactive]SeedFilePath=D:/g/Brelvane_Info/.Seed",
                   "[Interactive]SeedFilePathPast=D:/g/Brelvane_Info/.Seed_Past",
                   "[Interactive]DownloadInfoDataFilePath=D:/g/Brelvane_Info/.Download_Info_Data",
                   "[Interactive]UploadThreadNum=10", "[Interactive]MaxWaitTask=10",
                   "[Interactive]HttpDownloadThreadNum=4"}));
}

TEST_F(CommandLoopTest, SetClampsScalesAndActs) {
  EXPECT_EQ(Run("set ubl 1 get ubl set dbl 5000000 get dbl set ubl -5 get ubl"),
            (Lines{"[Interactive]MaxUploadBandWidth=3", "[Interactive]MaxDownloadBandWidth=1048576",
                   "[Interactive]MaxUploadBandWidth=1048576"}));
  EXPECT_EQ(app_.settings().UploadLimit, 1073741824u);
  EXPECT_EQ(fakes_.transport->upload_window_restarts, 2);
  EXPECT_EQ(fakes_.transport->download_window_restarts, 1);
  // Connection counts stay within the connection limit.
  Run("set muc 600 set mdc -3");
  EXPECT_EQ(app_.settings().MaxUploadNum, 512 - 256);
  EXPECT_EQ(app_.settings().MaxDownloadNum, 0);
  Run("set mdc 600");
  EXPECT_EQ(app_.settings().MaxDownloadNum, 512 - 256);
  // HTTP threads resize for counts from 0; the priority switches only on 1.
  Run("set httpdtn 8 set httpdtn -1 set httppriority 0 set httppriority 2");
  EXPECT_EQ(app_.settings().HttpDownloadThreadNum, 8);
  EXPECT_EQ(fakes_.engine->Calls("SetHttpThreadCount"), Lines{"SetHttpThreadCount 8"});
  EXPECT_TRUE(fakes_.engine->Calls("SwitchToHttpPriority").empty());
  Run("set httppriority 1");
  EXPECT_EQ(fakes_.engine->Calls("SwitchToHttpPriority").size(), 1u);
  // The console threshold takes only 0 to 6; at 0 only answers pass.
  Run("set oil 7");
  EXPECT_EQ(ConsoleLog::Get().threshold(), 5);
  Run("set oil 0");
  ConsoleLog::Get().Print(ConsoleLevel::Error, "hidden");
  EXPECT_EQ(Run("get oil"), (Lines{"[Interactive]P2PLogLevel=0"}));
  // Unknown names and wrong case are ignored.
  EXPECT_EQ(Run("GET ubl Stat get nothing set nothing 5 get p2ps"),
            (Lines{"[Interactive]P2PState=0"}));
  EXPECT_EQ(app_.settings().MaxUploadNum, 256);
}

TEST_F(CommandLoopTest, UnreadableSetNumberUsesFallbackAndEndsTheLoop) {
  app_.settings().UploadLimit = 5 * 1024;
  // "x" cannot be read: the fallback of 131072 KB/s is stored, the stream
  // stays failed and the next word ("stat") is never read.
  EXPECT_EQ(Run("set ubl x stat"), Lines{});
  EXPECT_TRUE(stream_failed_);
  EXPECT_EQ(app_.settings().UploadLimit, 131072u * 1024);
}

TEST_F(CommandLoopTest, QuitAndRestartStopTheLoopAndRecordTheirPhaseEndOfInputDoesNot) {
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
  EXPECT_EQ(FormatTitle({.user_id = 1021, .elapsed_seconds = 35, .percentage = 45.125,
                         .upload_rate = 12.5f, .pending_upload_jobs = 3, .download_rate = 240.0f,
                         .p2p_rate = 200.0f, .http_rate = 40.0f, .server_messages = 17,
                         .connections = 5, .upload_users = 3, .download_users = 8,
                         .candidates = 20}),
            "id:1021 35 45.125% C0.000% U:12.5(3) D:240.0(200.0/40.0) M:17 (5)3|8(20)");
}

}  // namespace
}  // namespace brelvane
