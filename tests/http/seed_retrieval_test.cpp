// SPDX-License-Identifier: MIT
// Seed retrieval against scripted mirrors: the failures and the order of the
// mirrors a torrent brings.  The good paths (and a mirror refusing the torrent
// beside a good one) run in every integration test.
#include "http/seed_retrieval.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <set>

#include "catalogue/seed_document.h"
#include "http/download_test_env.h"
#include "http/scripted_server.h"
#include "storage/file_system.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::Response;

SeedInfo SampleTorrent() {
  SeedInfo info;
  info.http_urls = {"http://a.example/r", "http://b.example/r"};
  info.trackers = {{"10.0.0.1", 7000}, {"10.0.0.2", 7001}};
  info.total_size = 123456;
  info.file = test::EntryFor(0, "Seed.gz", test::PatternBytes(10000), 4096);
  return info;
}

CannedReply Serving(const std::string& body, const std::string& status = "200 OK") {
  return CannedReply{Response(status, body), CannedReply::After::kClose};
}

class GetTorrentTest : public ::testing::Test {
 protected:
  GetTorrentTest() {
    options_.pause = [this](uint32_t ms) { pauses_.push_back(ms); };
  }

  test::LogCapture log_;
  SeedSources sources_;
  SeedRetrievalOptions options_;
  std::vector<uint32_t> pauses_;
};

TEST_F(GetTorrentTest, TorrentWithoutServersOrMirrorsEmptiesTheListsAndIsRefused) {
  SeedInfo bare = SampleTorrent();
  bare.http_urls.clear();
  bare.trackers.clear();
  const std::string body = TorrentText(bare);
  test::ScriptedServer server(std::vector<test::ConnectionScript>(10, {Serving(body)}));
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
  const std::string body = TorrentText(torrent);
  const std::set<std::string> wanted(torrent.http_urls.begin(), torrent.http_urls.end());
  std::set<std::vector<std::string>> orders;
  for (int run = 0; run < 12; ++run) {
    test::ScriptedServer server({{Serving(body)}});
    SeedSources sources;
    sources.configured_mirrors = {server.Url("")};
    sources.download_mirrors = {"http://old1", "http://old2"};
    SeedInfo info;
    ASSERT_TRUE(GetTorrent(sources, nullptr, &info, options_));
    const std::vector<std::string>& got = sources.download_mirrors;
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(std::set(got.begin(), got.begin() + 6), wanted);
    EXPECT_EQ(got[6] + " " + got[7], "http://old1 http://old2");
    orders.emplace(got.begin(), got.begin() + 6);
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
    test::ScriptedServer bad({{Serving(body)}});
    test::ScriptedServer good({{Serving(TorrentText(SampleTorrent()))}});
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
  test::ScriptedServer server({});  // every connection is accepted and closed
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
  const std::string content = test::PatternBytes(5 * 4096 + 1234, 17);
  const FileEntry entry = test::EntryFor(kSeedFileId, "Seed.gz", content, 4096);
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
    test::LogCapture log;
    test::ScratchDir target;
    FileSystem file_system;
    file_system.SetPaths(entry, target.path(), "T");
    ASSERT_TRUE(file_system.StartRunner());
    std::vector<std::unique_ptr<test::ScriptedServer>> servers;
    SeedSources sources;
    for (const std::string& answer : c.mirrors) {
      servers.push_back(std::make_unique<test::ScriptedServer>(std::vector<test::ConnectionScript>{
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
    if (c.ok) {
      EXPECT_EQ(on_disk, content);
    } else {
      EXPECT_EQ(file_system.WrittenParts(), 0u);
      EXPECT_EQ(on_disk.find_first_not_of('\0'), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace brelvane
