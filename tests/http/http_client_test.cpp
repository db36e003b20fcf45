// SPDX-License-Identifier: MIT
// HttpClient against a scripted loopback server: the canned replies in, the
// exact request bytes out, and the result, blocks and offsets the sink must
// see; then time-outs, sink cancellation, connection reuse, threads and POST.
// Plain 206 ranges in part-sized blocks (closed ones for data parts, open ones
// for the seed) are what every integration test downloads from nginx.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/recording_sink.h"
#include "http/scripted_server.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::ConnectionScript;
using test::ElapsedMs;
using test::ExpectedGet;
using test::PatternBytes;
using test::Response;
using test::Stall;
using After = CannedReply::After;

constexpr const char* kHost = "127.0.0.1:{PORT}";
// Generous upper bound for anything that should end "at once" or at a short
// time limit: sanitizer builds on a busy machine are slow.
constexpr int64_t kPromptMs = 5000;

struct ClientCase {
  const char* name;
  std::string path;  // appended to "http://127.0.0.1:<port>"
  uint64_t range_start, range_end;
  uint32_t block_size;
  std::vector<ConnectionScript> script;
  int64_t result;
  std::vector<std::string> requests;  // exact bytes; "{PORT}" is the server's port
  std::vector<uint64_t> offsets;      // of the blocks the sink receives
  std::string body;                   // the blocks' data joined
  // Whether the connection stays open; unset where that depends on timing.
  std::optional<bool> connected_after = true;
};

ConnectionScript Reply(std::string bytes, After after = After::kKeepOpen) {
  return {CannedReply{std::move(bytes), after}};
}

std::string Redirect(const std::string& status, const std::string& location) {
  return "HTTP/1.1 " + status + "\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

// A chain of `hops` redirects, each to the next numbered path, ending in a
// 206 with "done"; and the requests that the first 16 hops make.
std::vector<ConnectionScript> RedirectChain(int hops) {
  std::vector<ConnectionScript> script;
  for (int i = 1; i <= hops; ++i) script.push_back(Reply(Redirect("302 Found", "/hop" + std::to_string(i))));
  script.push_back(Reply(Response("206 Partial Content", "done")));
  return script;
}
std::vector<std::string> RedirectChainRequests() {
  std::vector<std::string> requests = {ExpectedGet("/start", kHost, "0-")};
  for (int i = 1; i <= 16; ++i) requests.push_back(ExpectedGet("/hop" + std::to_string(i), kHost, "0-"));
  return requests;
}

std::string OversizedHeader() {
  std::string header = "HTTP/1.1 206 Partial Content\r\n";
  while (header.size() <= 64 * 1024) header += "X-Filler: " + std::string(990, 'f') + "\r\n";
  return header + "Content-Length: 1\r\n\r\nx";
}

std::vector<ClientCase> Cases() {
  const std::string body1000 = PatternBytes(1000);
  // The cut cases: the whole header and 450 body bytes arrive, then the
  // connection closes.
  const std::string cut_plain = Response("200 OK", body1000);
  const std::string cut_close = Response("200 OK", body1000, "Connection: close\r\n");
  const auto get = [](const std::string& path, const std::string& range) {
    return std::vector<std::string>{ExpectedGet(path, kHost, range)};
  };
  return {
      {"a URL without a path asks for the root; block size 0 is one block", "", 0, kHttpOpenEnd, 0,
       {Reply(Response("200 OK", "hello"))}, 5, get("", "0-"), {0}, "hello"},
      {"a path is percent-encoded", "/dir/a b&c.bin", 0, 9, kHttpNoLimit,
       {Reply(Response("206 Partial Content", "0123456789"))}, 10, get("dir//a%20b%26c.bin", "0-9"),
       {0}, "0123456789"},
      {"an empty body is a success", "/empty", 0, kHttpOpenEnd, 100,
       {Reply(Response("200 OK", ""))}, 0, get("/empty", "0-"), {}, ""},
      {"without a length, Connection: close ends the body", "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {Reply("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabcdef", After::kClose)}, 6,
       get("/f", "0-"), {0}, "abcdef", false},
      {"without a length or Connection: close, the server closing is a failure", "/f", 0,
       kHttpOpenEnd, kHttpNoLimit, {Reply("HTTP/1.1 200 OK\r\n\r\nabc", After::kClose)},
       kHttpFailed, get("/f", "0-"), {}, "", false},
      {"header names in lower case are not recognised", "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {Reply("HTTP/1.1 200 OK\r\ncontent-length: 3\r\nconnection: close\r\n\r\nabc", After::kClose)},
       kHttpFailed, get("/f", "0-"), {}, "", false},
      {"a connection cut mid-body fails after the complete blocks", "/f", 0, kHttpOpenEnd, 100,
       {Reply(cut_plain.substr(0, cut_plain.size() - 550), After::kClose)}, kHttpFailed,
       get("/f", "0-"), {0, 100, 200, 300}, body1000.substr(0, 400), false},
      {"a cut with Connection: close returns the bytes that came", "/f", 0, kHttpOpenEnd, 100,
       {Reply(cut_close.substr(0, cut_close.size() - 550), After::kClose)}, 450, get("/f", "0-"),
       {0, 100, 200, 300, 400}, body1000.substr(0, 450), false},
      {"bytes beyond the Content-Length are dropped", "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {Reply(Response("200 OK", "abc") + "EXTRA")}, 3, get("/f", "0-"), {0}, "abc", std::nullopt},
      {"a 404 is refused", "/missing", 0, kHttpOpenEnd, kHttpNoLimit,
       {Reply(Response("404 Not Found", "no"))}, kHttpRefused, get("/missing", "0-"), {}, "", false},
      {"a 500 is refused", "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {Reply(Response("500 Internal Server Error", ""))}, kHttpRefused, get("/f", "0-"), {}, "",
       false},
      {"a 200 to a range from byte 0 is taken", "/f", 0, 99, kHttpNoLimit,
       {Reply(Response("200 OK", "whole"))}, 5, get("/f", "0-99"), {0}, "whole"},
      {"a 200 to a range after byte 0 is refused", "/f", 5, kHttpOpenEnd, kHttpNoLimit,
       {Reply(Response("200 OK", "0123456789"))}, kHttpRefused, get("/f", "5-"), {}, "", false},
      {"a 206 for another range is refused", "/f", 100, 199, kHttpNoLimit,
       {Reply(Response("206 Partial Content", "x", "Content-Range: bytes 0-0/1000\r\n"))},
       kHttpRefused, get("/f", "100-199"), {}, "", false},
      {"an absolute redirect is followed with the same range", "/old/x.bin", 100, 103, 2,
       {Reply(Redirect("302 Found", "http://127.0.0.1:{PORT}/new/place.bin")),
        Reply(Response("206 Partial Content", "abcd"))},
       4, {ExpectedGet("old//x.bin", kHost, "100-103"), ExpectedGet("new//place.bin", kHost, "100-103")},
       {100, 102}, "abcd"},
      {"a redirect path is taken on the same host", "/a", 0, kHttpOpenEnd, kHttpNoLimit,
       {Reply(Redirect("301 Moved Permanently", "/moved/b.bin")), Reply(Response("200 OK", "ok"))},
       2, {ExpectedGet("/a", kHost, "0-"), ExpectedGet("moved//b.bin", kHost, "0-")}, {0}, "ok"},
      {"sixteen redirects are followed", "/start", 0, kHttpOpenEnd, kHttpNoLimit, RedirectChain(16),
       4, RedirectChainRequests(), {0}, "done"},
      {"a seventeenth redirect fails", "/start", 0, kHttpOpenEnd, kHttpNoLimit, RedirectChain(17),
       kHttpFailed, RedirectChainRequests(), {}, "", false},
      {"a header over 64 KiB fails", "/f", 0, kHttpOpenEnd, kHttpNoLimit,
       {Reply(OversizedHeader())}, kHttpFailed, get("/f", "0-"), {}, "", false},
  };
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
  std::vector<std::string> expected;
  for (const std::string& r : c.requests) expected.push_back(server.Expand(r));
  EXPECT_EQ(server.requests(), expected);
  std::vector<test::RecordingSink::Block> blocks = sink.blocks();
  ASSERT_EQ(blocks.size(), c.offsets.size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].offset, c.offsets[i]) << "block " << i;
    if (i + 1 < blocks.size()) { EXPECT_EQ(blocks[i].data.size(), c.block_size) << "block " << i; }
  }
  EXPECT_EQ(sink.Joined(), c.body);
  if (c.connected_after.has_value()) { EXPECT_EQ(client.connected(), *c.connected_after); }
  EXPECT_EQ(sink.connects(), std::vector<platform::InetAddress>(
                                 c.requests.size(), platform::InetAddress::Loopback(server.port())));
}

TEST(HttpClientTest, PlaysEveryScriptedCaseWholeAndInTinyPieces) {
  for (const size_t piece : {size_t{0}, size_t{7}}) {
    for (const ClientCase& c : Cases()) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      std::vector<ConnectionScript> script = c.script;
      for (ConnectionScript& connection : script) {
        for (CannedReply& reply : connection) reply.piece_bytes = piece;
      }
      RunCase(c, script);
    }
  }
}

HttpRequest RequestTo(const std::string& url, HttpSink* sink) {
  HttpRequest request;
  request.url = url;
  request.sink = sink;
  return request;
}

TEST(HttpClientTest, KeepsBodyAndHeaderOfTheLastAnswerOnly) {
  const std::string body = PatternBytes(100000);
  test::ScriptedServer server({Reply(Response("403 Forbidden", "go away")),
                               Reply(Response("200 OK", body))});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  EXPECT_EQ(client.Get(RequestTo(server.Url("/f"), nullptr), true), kHttpRefused);
  EXPECT_EQ(client.ResponseHeader(),
            "HTTP/1.1 403 Forbidden\r\nServer: scripted\r\nContent-Length: 7\r\n\r\n");
  HttpRequest request = RequestTo(server.Url("/Seed.torrent"), nullptr);  // no sink: kept
  request.idle_timeout_ms = 10000;
  ASSERT_EQ(client.Get(request, true), 100000);
  EXPECT_EQ(client.Body(), body);
  EXPECT_EQ(client.response_info().status, "200");
  EXPECT_EQ(client.response_info().content_length, 100000u);
  EXPECT_EQ(client.ResponseHeader(),
            "HTTP/1.1 200 OK\r\nServer: scripted\r\nContent-Length: 100000\r\n\r\n");
  // A failed request leaves nothing of the answer before.
  EXPECT_EQ(client.Get(RequestTo("http://127.0.0.1:0/b", nullptr), true), kHttpFailed);
  EXPECT_EQ(client.ResponseHeader(), "");
  EXPECT_EQ(client.Body(), "");
  EXPECT_EQ(client.response_info().status, "");
}

TEST(HttpClientTest, BadAddressesAndOversizedRequestsFailWithoutASend) {
  test::ScriptedServer server(std::vector<ConnectionScript>{});
  ASSERT_TRUE(server.ok());
  for (const std::string& url :
       {"http://127.0.0.1:" + std::to_string(test::RefusingPort()) + "/f",
        std::string("http://127.0.0.1:0/f"), std::string("http://:80/f"),
        std::string("/only/a/path"), std::string(""), server.Url("/" + std::string(2000, 'p'))}) {
    SCOPED_TRACE(url);
    HttpClient client;
    test::RecordingSink sink;
    EXPECT_EQ(client.Get(RequestTo(url, &sink), true), kHttpFailed);
    EXPECT_TRUE(sink.connects().empty());
    EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpFailed});
  }
  EXPECT_EQ(server.connections(), 0);
}

TEST(HttpClientTest, TimeLimitsEndSilentStalledAndTricklingTransfersAndConnects) {
  const std::string body = PatternBytes(1000), head = Response("200 OK", body);
  CannedReply trickle{Response("200 OK", PatternBytes(20000))};
  trickle.piece_bytes = 10;
  trickle.piece_pause_ms = 2;  // faster than the idle poll: data never stops
  struct Case {
    const char* name;
    std::optional<CannedReply> reply;  // none: a connect that is never answered
    uint32_t idle_ms, total_ms, connect_ms;
    int64_t result, min_ms;
    std::optional<std::string> joined;
  } const cases[] = {
      {"silent server", Stall(""), 300, 0, 0, kHttpTimeout, 300, ""},
      {"stalled body", Stall(head, head.size() - 350), 250, 0, 0, kHttpTimeout, 250,
       body.substr(0, 600)},
      {"trickle", trickle, 2000, 400, 0, kHttpTimeout, 400, std::nullopt},
      {"unanswered connect", std::nullopt, 0, 0, 250, kHttpFailed, 240, ""},
      {"idle limit bounds the connect", std::nullopt, 200, 0, 0, kHttpFailed, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<test::ScriptedServer> server;
    if (c.reply) server.emplace(std::vector<ConnectionScript>{{*c.reply}});
    test::UnansweredListener unanswered;  // fresh: its full queue is kept only for a while
    ASSERT_TRUE(unanswered.ok());
    HttpClient client;
    if (c.connect_ms > 0) client.set_connect_timeout_ms(c.connect_ms);
    test::RecordingSink sink;
    HttpRequest request = RequestTo(server ? server->Url("/f") : unanswered.Url(), &sink);
    request.block_size = 200;
    if (c.idle_ms > 0) request.idle_timeout_ms = c.idle_ms;  // 0: no limit
    if (c.total_ms > 0) request.total_timeout_ms = c.total_ms;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Get(request, true), c.result);
    EXPECT_GE(ElapsedMs(start), c.min_ms);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(sink.done(), std::vector<int64_t>{c.result});
    EXPECT_EQ(sink.connects().size(), server ? 1u : 0u);
    if (c.joined) { EXPECT_EQ(sink.Joined(), *c.joined); }
    if (c.reply && c.reply->bytes.empty()) {
      EXPECT_GT(sink.idle_polls(), 3);  // the sink hears every idle poll
    }
    EXPECT_FALSE(client.connected());
  }
}

TEST(HttpClientTest, SinkAnswersCancelOrAbort) {
  const std::string body = PatternBytes(100000);
  CannedReply paced{Response("200 OK", body)};
  paced.piece_bytes = 1000;
  paced.piece_pause_ms = 1;
  const uint64_t kAll = ~uint64_t{0};
  struct Case {
    const char* name;
    CannedReply reply;
    int cancel_at_idle_poll, refuse_block;
    uint64_t cancel_after_bytes;
    uint32_t block_size;
    int64_t result;
    std::optional<std::string> joined;
  } const cases[] = {
      {"OnReceive(0) false while waiting", Stall(""), 3, -1, kAll, 100, kHttpCancelled, ""},
      {"OnReceive(n) false after data", paced, -1, -1, 5000, kHttpNoLimit, kHttpCancelled, {}},
      {"OnData false", CannedReply{Response("206 Partial Content", body.substr(0, 1000))}, -1, 2,
       kAll, 100, kHttpSinkRefused, body.substr(0, 300)},
      {"OnData false for the final partial block",
       CannedReply{Response("206 Partial Content", "abcde")}, -1, 2, kAll, 2, kHttpSinkRefused, "abcde"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptedServer server({{c.reply}});
    HttpClient client;
    test::RecordingSink sink;
    sink.cancel_at_idle_poll = c.cancel_at_idle_poll;
    sink.refuse_block = c.refuse_block;
    sink.cancel_after_bytes = c.cancel_after_bytes;
    HttpRequest request = RequestTo(server.Url("/f"), &sink);
    request.block_size = c.block_size;
    EXPECT_EQ(client.Get(request, true), c.result);
    EXPECT_EQ(sink.done(), std::vector<int64_t>{c.result});
    EXPECT_LT(sink.received_bytes(), body.size());
    if (c.cancel_at_idle_poll > 0) { EXPECT_EQ(sink.idle_polls(), c.cancel_at_idle_poll); }
    if (c.joined) { EXPECT_EQ(sink.Joined(), *c.joined); }
    EXPECT_FALSE(client.connected());
  }
}

TEST(HttpClientTest, ReusesAKeptAliveConnectionOnlyForTheSameHost) {
  test::ScriptedServer first({{CannedReply{Response("206 Partial Content", "first")},
                               CannedReply{Response("200 OK", "one", "Connection: close\r\n"), After::kClose}},
                              Reply(Response("200 OK", "two"))});
  test::ScriptedServer second({Reply(Response("200 OK", "three"))});
  ASSERT_TRUE(first.ok() && second.ok());
  HttpClient client;
  test::RecordingSink sink1, sink2;
  EXPECT_EQ(client.Get(RequestTo(first.Url("/a"), &sink1), true), 5);
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(client.Get(RequestTo(first.Url("/b"), &sink2), true), 3);
  EXPECT_EQ(sink2.Joined(), "one");
  EXPECT_EQ(sink2.connects().size(), 1u);  // told of the server again
  EXPECT_EQ(first.connections(), 1);
  EXPECT_FALSE(client.connected());  // a Connection: close answer is not reused
  EXPECT_EQ(client.Get(RequestTo(first.Url("/c"), nullptr), true), 3);
  EXPECT_EQ(client.Body(), "two");
  EXPECT_EQ(first.connections(), 2);
  EXPECT_EQ(client.Get(RequestTo(second.Url("/d"), nullptr), true), 5);
  EXPECT_EQ(client.Body(), "three");
  EXPECT_EQ(first.connections() + second.connections(), 3);
  EXPECT_EQ(first.requests().size(), 3u);
}

TEST(HttpClientTest, StrayBytesOnAnIdleConnectionAreNotTakenAsTheNextAnswer) {
  const std::string first = Response("200 OK", "abc");
  CannedReply with_stray{first + Response("200 OK", "WRONG")};
  with_stray.piece_bytes = first.size();  // the stray answer comes later
  with_stray.piece_pause_ms = 30;
  test::ScriptedServer server({{with_stray}, Reply(Response("200 OK", "right"))});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  EXPECT_EQ(client.Get(RequestTo(server.Url("/a"), nullptr), true), 3);
  EXPECT_EQ(client.Body(), "abc");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the stray bytes arrive
  EXPECT_EQ(client.Get(RequestTo(server.Url("/b"), nullptr), true), 5);
  EXPECT_EQ(client.Body(), "right");
  EXPECT_EQ(server.connections(), 2);
}

TEST(HttpClientTest, AsynchronousGetReportsThroughOnDoneAndMakesOthersBusy) {
  test::ScriptedServer server({{CannedReply{Response("206 Partial Content", "async")}, Stall("")}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink done, running, other;
  EXPECT_EQ(client.Get(RequestTo(server.Url("/a"), &done), false), 0);
  ASSERT_TRUE(done.WaitDone(kPromptMs));
  EXPECT_EQ(done.done(), std::vector<int64_t>{5});
  EXPECT_EQ(done.Joined(), "async");
  // OnDone comes just before the request lets go of the client.
  int64_t started = kHttpBusy;
  for (int i = 0; i < kPromptMs && started == kHttpBusy; ++i) {
    started = client.Get(RequestTo(server.Url("/b"), &running), false);  // stalls
    if (started == kHttpBusy) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(started, 0);
  EXPECT_EQ(client.Get(RequestTo(server.Url("/c"), &other), true), kHttpBusy);
  EXPECT_EQ(client.Get(RequestTo(server.Url("/c"), &other), false), kHttpBusy);
  HttpPostRequest post;
  post.url = server.Url("/p");
  EXPECT_EQ(client.Post(post), kHttpBusy);
  EXPECT_TRUE(other.done().empty());  // a refused request is not reported
  client.Close();                     // cuts the running request
  ASSERT_TRUE(running.WaitDone(kPromptMs));
  EXPECT_EQ(running.done(), std::vector<int64_t>{kHttpFailed});
}

TEST(HttpClientTest, CloseAndCancelCutRequestsFromOtherThreads) {
  test::UnansweredListener unanswered;
  ASSERT_TRUE(unanswered.ok());
  const std::function<void(HttpClient&)> cuts[] = {[](HttpClient& c) { c.Close(); },
                                                   [](HttpClient& c) { c.Cancel(); }};
  for (const auto& cut : cuts) {
    for (const bool connecting : {false, true}) {  // an unanswered connect, or a silent server
      SCOPED_TRACE(connecting ? "connecting" : "waiting for the answer");
      test::ScriptedServer server({{Stall("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc")}});
      HttpClient client;  // no time limits at all; default connect limit: 21 s
      const auto start = std::chrono::steady_clock::now();
      auto result = std::async(std::launch::async, [&] {
        return client.Get(RequestTo(connecting ? unanswered.Url() : server.Url("/f"), nullptr), true);
      });
      ASSERT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
      // A Close that comes before the request has started has nothing to
      // cut, so keep cutting until the request ends.
      while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready &&
             ElapsedMs(start) < kPromptMs) {
        cut(client);
      }
      EXPECT_EQ(result.get(), kHttpFailed);
      EXPECT_LT(ElapsedMs(start), kPromptMs);
      EXPECT_FALSE(client.connected());
    }
  }
  test::ScriptedServer silent({{Stall("")}}), hello({Reply(Response("200 OK", "hello"))});
  test::RecordingSink orphan, sink;
  {
    HttpClient destroyed;
    ASSERT_EQ(destroyed.Get(RequestTo(silent.Url("/a"), &orphan), false), 0);
  }
  EXPECT_EQ(orphan.done(), std::vector<int64_t>{kHttpFailed});  // cut by the destructor
  // Unlike Close, Cancel also stops a request that has not started yet, which
  // lets the download manager stop a thread between checking its stop flag
  // and starting its next request; it stays cancelled.
  HttpClient closed, cancelled;
  closed.Close();
  EXPECT_FALSE(closed.cancelled());
  EXPECT_EQ(closed.Get(RequestTo(hello.Url("/f"), nullptr), true), 5);
  cancelled.Cancel();
  EXPECT_TRUE(cancelled.cancelled());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(cancelled.Get(RequestTo(hello.Url("/f"), &sink), true), kHttpFailed);
  EXPECT_EQ(sink.done(), (std::vector<int64_t>{kHttpFailed, kHttpFailed}));
  EXPECT_EQ(hello.connections(), 1);
}

TEST(HttpClientTest, SendsTheExactPostAndCountsTheAnswer) {
  test::ScriptedServer server({Reply(Response("200 OK", "<ok/>"))});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  HttpPostRequest post;
  post.url = "http://admin:pw@127.0.0.1:" + std::to_string(server.port()) + "/upnp/control";
  post.body = "<s:Envelope/>";
  post.content_type = "text/xml; charset=\"utf-8\"";
  post.sink = &sink;
  EXPECT_EQ(client.Post(post), 5);
  EXPECT_EQ(client.Body(), "<ok/>");
  EXPECT_EQ(server.requests(), std::vector<std::string>{server.Expand(
                                   "POST /upnp//control HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n"
                                   "Authorization: Basic YWRtaW46cHc=\r\nConnection: Keep-Alive\r\n"
                                   "Content-Length: 13\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                                   "\r\n<s:Envelope/>")});
  EXPECT_EQ(sink.connects().size(), 1u);
  EXPECT_TRUE(sink.blocks().empty());
  EXPECT_TRUE(sink.done().empty());
}

}  // namespace
}  // namespace brelvane
