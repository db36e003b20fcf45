// SPDX-License-Identifier: MIT
// Seed retrieval: GetTorrent against scripted mirrors, DownloadSeed against
// the fault mirror with a real storage registry writing into a scratch
// directory.
#include "http/seed_retrieval.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

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

CannedReply Serving(const std::string& body) {
  return CannedReply{Response("200 OK", body), CannedReply::After::kClose};
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

TEST_F(GetTorrentTest, FirstMirrorRefusingConnectionsLogsOnceAndTheSecondServesInTheSamePass) {
  const std::string body = TorrentText(SampleTorrent());
  test::ScriptedServer good({{Serving(body)}});
  ASSERT_TRUE(good.ok());
  sources_.configured_mirrors = {
      "http://127.0.0.1:" + std::to_string(test::RefusingPort()), good.Url("")};
  sources_.download_mirrors = {"http://old.example"};
  SeedInfo info;
  ASSERT_TRUE(GetTorrent(sources_, nullptr, &info, options_));

  EXPECT_EQ(log_.Count("Get torrent try fail. ErrorCode: -1,"), 1);
  EXPECT_TRUE(pauses_.empty());  // done within the first pass
  const std::string host = "127.0.0.1:" + std::to_string(good.port());
  EXPECT_EQ(good.requests(),
            std::vector<std::string>{test::ExpectedGet("/Seed.torrent", host, "0-")});

  SeedInfo expected = SampleTorrent();
  EXPECT_EQ(info.file.id, kSeedFileId);
  EXPECT_EQ(info.file.name, expected.file.name);
  EXPECT_EQ(info.file.parts, expected.file.parts);
  EXPECT_EQ(sources_.seed_hash, Md5Buffer(body.data(), body.size()));
  // Servers appended as ip/port pairs, in some order.
  ASSERT_EQ(sources_.server_addresses.size(), 2u);
  ASSERT_EQ(sources_.server_ports.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const uint16_t want = sources_.server_addresses[i] == "10.0.0.1" ? 7000 : 7001;
    EXPECT_EQ(sources_.server_ports[i], want);
  }
  EXPECT_EQ(sources_.download_mirrors.size(), 3u);
  EXPECT_EQ(sources_.download_mirrors.back(), "http://old.example");
}

TEST_F(GetTorrentTest, TorrentWithoutServersOrMirrorsEmptiesTheListsAndIsRefused) {
  SeedInfo bare = SampleTorrent();
  bare.http_urls.clear();
  bare.trackers.clear();
  const std::string body = TorrentText(bare);
  std::vector<test::ConnectionScript> script(10, test::ConnectionScript{Serving(body)});
  test::ScriptedServer server(script);
  ASSERT_TRUE(server.ok());
  sources_.configured_mirrors = {server.Url("")};
  sources_.server_addresses = {"10.9.9.9"};
  sources_.server_ports = {9};
  sources_.download_mirrors = {"http://old.example"};
  SeedInfo info;
  EXPECT_FALSE(GetTorrent(sources_, nullptr, &info, options_));
  EXPECT_TRUE(sources_.server_addresses.empty());
  EXPECT_TRUE(sources_.server_ports.empty());
  EXPECT_TRUE(sources_.download_mirrors.empty());
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
    ASSERT_TRUE(server.ok());
    SeedSources sources;
    sources.configured_mirrors = {server.Url("")};
    sources.download_mirrors = {"http://old1", "http://old2"};
    SeedInfo info;
    ASSERT_TRUE(GetTorrent(sources, nullptr, &info, options_));
    ASSERT_EQ(sources.download_mirrors.size(), 8u);
    std::vector<std::string> front(sources.download_mirrors.begin(),
                                   sources.download_mirrors.begin() + 6);
    EXPECT_EQ(std::set<std::string>(front.begin(), front.end()), wanted);
    EXPECT_EQ(sources.download_mirrors[6], "http://old1");
    EXPECT_EQ(sources.download_mirrors[7], "http://old2");
    orders.insert(front);
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
    ASSERT_TRUE(bad.ok() && good.ok());
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

TEST_F(GetTorrentTest, ClearedRunningFlagStopsRequestsButNotThePauses) {
  test::ScriptedServer server({});  // every connection is accepted and closed
  ASSERT_TRUE(server.ok());
  sources_.configured_mirrors = {server.Url(""), server.Url("/other")};
  std::atomic<bool> running{true};
  options_.pause = [&](uint32_t ms) {
    pauses_.push_back(ms);
    running.store(false);  // dropped during the first pause
  };
  SeedInfo info;
  SeedSources none;
  EXPECT_FALSE(GetTorrent(none, &running, &info, options_));  // no mirrors: fails at once
  EXPECT_EQ(log_.Count("L1 Empty http list"), 1);
  EXPECT_TRUE(pauses_.empty());
  EXPECT_FALSE(GetTorrent(sources_, &running, &info, options_));
  EXPECT_EQ(server.connections(), 2);  // the first pass only
  EXPECT_EQ(log_.Count("Get torrent try fail. ErrorCode: -1,"), 2);
  EXPECT_EQ(pauses_, std::vector<uint32_t>(10, 1000));

  std::atomic<bool> stopped{false};
  pauses_.clear();
  options_.pause = [this](uint32_t ms) { pauses_.push_back(ms); };
  EXPECT_FALSE(GetTorrent(sources_, &stopped, &info, options_));
  EXPECT_EQ(server.connections(), 2);
  EXPECT_EQ(pauses_.size(), 10u);
}

// DownloadSeed against the fault mirror, writing into a real registry.
TEST(DownloadSeedTest, FetchesTheSeedPartByPartAndMovesOnFromBadMirrors) {
  const std::string content = test::PatternBytes(5 * 4096 + 1234, 17);
  const FileEntry entry = test::EntryFor(kSeedFileId, "Seed.gz", content, 4096);
  test::ScratchDir mirror_root;
  test::WriteFileBytes(mirror_root.File("Seed.gz"), content);
  test::FaultMirror keep_alive(mirror_root.path()), closing(mirror_root.path(), "--connection-close");
  ASSERT_TRUE(keep_alive.ok() && closing.ok());
  const std::string good = keep_alive.Url();
  struct Case {
    std::vector<std::string> mirrors;
    bool running, ok;
    std::vector<std::pair<std::string, int>> logs;  // text, count
  } const cases[] = {
      {{}, true, false, {{"L1 HttpList is empty", 1}}},
      {{good}, true, true, {{"L4 Requesting seed: " + good + "/Seed.gz", 1}}},
      {{good}, false, false, {{"Requesting seed:", 0}}},  // a cleared running flag
      {{closing.Url("/cut"), good}, true, true, {{"Requesting seed:", 2}, {"Request seed fail", 0}}},
      {{closing.Url("/wrong"), good}, true, true, {{"Requesting seed:", 2}}},
      {{closing.Url("/wrong")}, true, false, {{"Requesting seed:", 3}}},  // never written
      {{closing.Url("/404"), good}, true, true,
       {{"L1 Request seed fail. result: -2, http_header:  HTTP/1.1 404", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logs[0].first);
    test::LogCapture log;
    test::ScratchDir target;
    FileSystem file_system;
    file_system.SetPaths(entry, target.path(), "T");
    ASSERT_TRUE(file_system.StartRunner());
    SeedSources sources;
    sources.configured_mirrors = c.mirrors;
    std::atomic<bool> stopped{false};
    SeedRetrievalOptions options;
    options.passes = 3;
    EXPECT_EQ(DownloadSeed(sources, file_system, c.running ? nullptr : &stopped, options), c.ok);
    for (const auto& [text, count] : c.logs) { EXPECT_EQ(log.Count(text), count) << text; }
    const std::string on_disk = test::ReadFileBytes(file_system.seed_path());
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
