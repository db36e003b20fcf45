// SPDX-License-Identifier: MIT
// HttpClient against a scripted loopback server.  Every case is data: the
// canned replies in, the exact request bytes out, and the result, blocks and
// offsets the sink must see.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "http/recording_sink.h"
#include "http/scripted_server.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::ConnectionScript;
using test::ExpectedGet;
using test::PatternBytes;
using test::Response;
using After = CannedReply::After;

constexpr const char* kHost = "127.0.0.1:{PORT}";

struct ClientCase {
  const char* name;
  std::string path;  // appended to "http://127.0.0.1:<port>"
  uint64_t range_start;
  uint64_t range_end;
  uint32_t block_size;
  std::vector<ConnectionScript> script;
  int64_t result;
  std::vector<std::string> requests;  // exact bytes; "{PORT}" is the server's port
  std::vector<uint64_t> offsets;      // of the blocks the sink receives
  std::string body;                   // the blocks' data joined
  // Whether the connection stays open; unset where that depends on timing.
  std::optional<bool> connected_after = true;
};

CannedReply Reply(std::string bytes, After after = After::kKeepOpen) {
  CannedReply reply;
  reply.bytes = std::move(bytes);
  reply.after = after;
  return reply;
}

std::string Redirect(const std::string& status, const std::string& location) {
  return "HTTP/1.1 " + status + "\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

// A chain of `hops` redirects, each to the next numbered path, ending in a
// 206 with "done".
std::vector<ConnectionScript> RedirectChain(int hops) {
  std::vector<ConnectionScript> script;
  for (int i = 1; i <= hops; ++i) {
    script.push_back({Reply(Redirect("302 Found", "/hop" + std::to_string(i)))});
  }
  script.push_back({Reply(Response("206 Partial Content", "done"))});
  return script;
}

std::vector<std::string> RedirectChainRequests(int hops) {
  std::vector<std::string> requests = {ExpectedGet("/start", kHost, "0-")};
  for (int i = 1; i <= hops; ++i) {
    requests.push_back(ExpectedGet("/hop" + std::to_string(i), kHost, "0-"));
  }
  return requests;
}

std::string OversizedHeader() {
  std::string header = "HTTP/1.1 206 Partial Content\r\n";
  while (header.size() <= 64 * 1024) header += "X-Filler: " + std::string(990, 'f') + "\r\n";
  return header + "Content-Length: 1\r\n\r\nx";
}

std::vector<ClientCase> Cases() {
  const std::string body64k = PatternBytes(65536, 1048576);
  const std::string body2500 = PatternBytes(2500);
  const std::string body1000 = PatternBytes(1000);
  // The cut cases: the whole header and 450 body bytes arrive, then the
  // connection closes.
  const std::string cut_plain = Response("200 OK", body1000);
  const size_t cut_plain_at = cut_plain.size() - 1000 + 450;
  const std::string cut_close = Response("200 OK", body1000, "Connection: close\r\n");
  const size_t cut_close_at = cut_close.size() - 1000 + 450;
  std::vector<ClientCase> cases = {
      {"a 206 is delivered in part-sized blocks at their offsets",
       "/data/file.bin", 1048576, 1114111, 16384,
       {{Reply(Response("206 Partial Content", body64k,
                        "Content-Range: bytes 1048576-1114111/2000000\r\n"))}},
       65536,
       {ExpectedGet("data//file.bin", kHost, "1048576-1114111")},
       {1048576, 1048576 + 16384, 1048576 + 32768, 1048576 + 49152},
       body64k},
      {"an open range ends with a partial block",
       "/f.bin", 1048576, kHttpOpenEnd, 1000,
       {{Reply(Response("206 Partial Content", body2500))}},
       2500,
       {ExpectedGet("/f.bin", kHost, "1048576-")},
       {1048576, 1049576, 1050576},
       body2500},
      {"a URL without a path asks for the root",
       "", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(Response("200 OK", "hello"))}},
       5, {ExpectedGet("", kHost, "0-")}, {0}, "hello"},
      {"a path is percent-encoded",
       "/dir/a b&c.bin", 0, 9, kHttpNoLimit,
       {{Reply(Response("206 Partial Content", "0123456789"))}},
       10, {ExpectedGet("dir//a%20b%26c.bin", kHost, "0-9")}, {0}, "0123456789"},
      {"an empty body is a success",
       "/empty", 0, kHttpOpenEnd, 100,
       {{Reply(Response("200 OK", ""))}},
       0, {ExpectedGet("/empty", kHost, "0-")}, {}, ""},
      {"without a length, Connection: close ends the body",
       "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabcdef", After::kClose)}},
       6, {ExpectedGet("/f", kHost, "0-")}, {0}, "abcdef", false},
      {"without a length or Connection: close, the server closing is a failure",
       "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply("HTTP/1.1 200 OK\r\n\r\nabc", After::kClose)}},
       kHttpFailed, {ExpectedGet("/f", kHost, "0-")}, {}, "", false},
      {"header names in lower case are not recognised",
       "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply("HTTP/1.1 200 OK\r\ncontent-length: 3\r\nconnection: close\r\n\r\nabc",
               After::kClose)}},
       kHttpFailed, {ExpectedGet("/f", kHost, "0-")}, {}, "", false},
      {"a connection cut mid-body fails after the complete blocks",
       "/f", 0, kHttpOpenEnd, 100,
       {{Reply(cut_plain.substr(0, cut_plain_at), After::kClose)}},
       kHttpFailed, {ExpectedGet("/f", kHost, "0-")}, {0, 100, 200, 300},
       body1000.substr(0, 400), false},
      {"a cut with Connection: close returns the bytes that came",
       "/f", 0, kHttpOpenEnd, 100,
       {{Reply(cut_close.substr(0, cut_close_at), After::kClose)}},
       450, {ExpectedGet("/f", kHost, "0-")}, {0, 100, 200, 300, 400},
       body1000.substr(0, 450), false},
      {"bytes beyond the Content-Length are dropped",
       "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(Response("200 OK", "abc") + "EXTRA")}},
       3, {ExpectedGet("/f", kHost, "0-")}, {0}, "abc", std::nullopt},
      {"a 404 is refused",
       "/missing", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(Response("404 Not Found", "no"))}},
       kHttpRefused, {ExpectedGet("/missing", kHost, "0-")}, {}, "", false},
      {"a 500 is refused",
       "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(Response("500 Internal Server Error", ""))}},
       kHttpRefused, {ExpectedGet("/f", kHost, "0-")}, {}, "", false},
      {"a 416 is refused",
       "/f", 5000, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(Response("416 Range Not Satisfiable", "", "Content-Range: bytes */10\r\n"))}},
       kHttpRefused, {ExpectedGet("/f", kHost, "5000-")}, {}, "", false},
      {"a 200 to a range from byte 0 is taken",
       "/f", 0, 99, kHttpNoLimit,
       {{Reply(Response("200 OK", "whole"))}},
       5, {ExpectedGet("/f", kHost, "0-99")}, {0}, "whole"},
      {"a 200 to a range after byte 0 is refused",
       "/f", 5, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(Response("200 OK", "0123456789"))}},
       kHttpRefused, {ExpectedGet("/f", kHost, "5-")}, {}, "", false},
      {"a 206 for another range is refused",
       "/f", 100, 199, kHttpNoLimit,
       {{Reply(Response("206 Partial Content", "x", "Content-Range: bytes 0-0/1000\r\n"))}},
       kHttpRefused, {ExpectedGet("/f", kHost, "100-199")}, {}, "", false},
      {"an absolute redirect is followed with the same range",
       "/old/x.bin", 100, 103, 2,
       {{Reply(Redirect("302 Found", "http://127.0.0.1:{PORT}/new/place.bin"))},
        {Reply(Response("206 Partial Content", "abcd"))}},
       4,
       {ExpectedGet("old//x.bin", kHost, "100-103"), ExpectedGet("new//place.bin", kHost, "100-103")},
       {100, 102}, "abcd"},
      {"a redirect path is taken on the same host",
       "/a", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(Redirect("301 Moved Permanently", "/moved/b.bin"))},
        {Reply(Response("200 OK", "ok"))}},
       2, {ExpectedGet("/a", kHost, "0-"), ExpectedGet("moved//b.bin", kHost, "0-")}, {0}, "ok"},
      {"sixteen redirects are followed",
       "/start", 0, kHttpOpenEnd, kHttpNoLimit, RedirectChain(16),
       4, RedirectChainRequests(16), {0}, "done"},
      {"a seventeenth redirect fails",
       "/start", 0, kHttpOpenEnd, kHttpNoLimit, RedirectChain(17),
       kHttpFailed, RedirectChainRequests(16), {}, "", false},
      {"a header over 64 KiB fails",
       "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {{Reply(OversizedHeader())}},
       kHttpFailed, {ExpectedGet("/f", kHost, "0-")}, {}, "", false},
  };
  return cases;
}

void RunCase(const ClientCase& c, const std::vector<ConnectionScript>& script) {
  test::ScriptedServer server(script);
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  HttpRequest request;
  request.url = server.Url(c.path);
  request.range_start = c.range_start;
  request.range_end = c.range_end;
  request.block_size = c.block_size;
  request.idle_timeout_ms = 10000;  // a broken case fails instead of hanging
  request.sink = &sink;

  EXPECT_EQ(client.Get(request, true), c.result);
  EXPECT_EQ(sink.done(), std::vector<int64_t>{c.result});

  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), c.requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i], server.Expand(c.requests[i])) << "request " << i;
  }

  std::vector<test::RecordingSink::Block> blocks = sink.blocks();
  ASSERT_EQ(blocks.size(), c.offsets.size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].offset, c.offsets[i]) << "block " << i;
    if (i + 1 < blocks.size()) {
      EXPECT_EQ(blocks[i].data.size(), c.block_size) << "block " << i;
    }
  }
  EXPECT_EQ(sink.Joined(), c.body);
  if (c.connected_after.has_value()) {
    EXPECT_EQ(client.connected(), *c.connected_after);
  }
  for (const platform::InetAddress& address : sink.connects()) {
    EXPECT_EQ(address, platform::InetAddress::Loopback(server.port()));
  }
  EXPECT_EQ(sink.connects().size(), c.requests.size());
}

TEST(HttpClientTest, PlaysEveryScriptedCase) {
  for (const ClientCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    RunCase(c, c.script);
  }
}

TEST(HttpClientTest, GivesTheSameResultsWhenRepliesArriveInTinyPieces) {
  for (const ClientCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::vector<ConnectionScript> script = c.script;
    for (ConnectionScript& connection : script) {
      for (CannedReply& reply : connection) reply.piece_bytes = 7;
    }
    RunCase(c, script);
  }
}

TEST(HttpClientTest, KeepsTheBodyWhenThereIsNoSink) {
  const std::string body = PatternBytes(100000);
  test::ScriptedServer server({{Reply(Response("200 OK", body))}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  HttpRequest request;
  request.url = server.Url("/Seed.torrent");
  request.idle_timeout_ms = 10000;
  ASSERT_EQ(client.Get(request, true), 100000);
  EXPECT_EQ(client.Body(), body);
  EXPECT_EQ(client.response_info().status, "200");
  EXPECT_EQ(client.response_info().content_length, 100000u);
  EXPECT_EQ(client.ResponseHeader(),
            "HTTP/1.1 200 OK\r\nServer: scripted\r\nContent-Length: 100000\r\n\r\n");
}

TEST(HttpClientTest, KeepsTheHeaderOfARefusedResponse) {
  test::ScriptedServer server({{Reply(Response("403 Forbidden", "go away"))}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  HttpRequest request;
  request.url = server.Url("/f");
  EXPECT_EQ(client.Get(request, true), kHttpRefused);
  EXPECT_EQ(client.ResponseHeader(),
            "HTTP/1.1 403 Forbidden\r\nServer: scripted\r\nContent-Length: 7\r\n\r\n");
}

}  // namespace
}  // namespace brelvane
