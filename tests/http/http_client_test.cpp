// SPDX-License-Identifier: MIT
// HttpClient against a scripted loopback server: the canned replies in, the
// exact request bytes out, and the result, blocks and offsets the sink must
// see; then time-outs, sink cancellation, connection reuse, threads and POST.
// Plain 206 ranges in part-sized blocks (closed ones for data parts, open ones
// for the seed) are what every integration test downloads from nginx.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <optional>

#include "http/scripted_server.h"

namespace brelvane {
namespace {

// RecordingSink: an HttpSink for tests that records every call and can be
// told to refuse data or cancel at a given point.
//
// Thread safety: calls may come from a client's request thread.  The test
// reads the records only once the request has ended (a synchronous Get
// returned, or WaitDone saw OnDone, the last call, under the mutex).
struct RecordingSink : HttpSink {
  using Block = std::pair<uint64_t, std::string>;  // offset, data

  void OnConnect(const platform::InetAddress& address) override { connects.push_back(address); }
  bool OnReceive(uint32_t count) override {
    if (count == 0) return ++idle_polls < cancel_at_idle_poll || cancel_at_idle_poll < 0;
    return (received_bytes += count) < cancel_after_bytes;
  }
  bool OnData(const uint8_t* data, uint32_t length, uint64_t offset) override {
    blocks.emplace_back(offset, std::string(reinterpret_cast<const char*>(data), length));
    return static_cast<size_t>(refuse_block) + 1 != blocks.size();
  }
  void OnDone(HttpClient*, int64_t result) override {
    std::lock_guard<std::mutex> lock(mu);
    done.push_back(result);
    done_cv.notify_all();
  }
  // Waits until OnDone has been called (at most `timeout_ms`).
  bool WaitDone(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu);
    return done_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !done.empty(); });
  }
  // All block data joined.
  std::string Joined() const {
    std::string all;
    for (const Block& b : blocks) all += b.second;
    return all;
  }

  // OnData answers false for the block with index `refuse_block` (0-based);
  // OnReceive(0) answers false from idle poll `cancel_at_idle_poll` on (1-based).
  int refuse_block = -1, cancel_at_idle_poll = -1;
  // OnReceive(n > 0) answers false once this many bytes have been counted.
  uint64_t cancel_after_bytes = ~uint64_t{0};
  std::vector<platform::InetAddress> connects;
  std::vector<Block> blocks;
  std::vector<int64_t> done;
  int idle_polls = 0;
  uint64_t received_bytes = 0;
  std::mutex mu;
  std::condition_variable done_cv;
};

using namespace test;
using After = CannedReply::After;

constexpr const char* kHost = "127.0.0.1:{PORT}";
// Generous upper bound for anything that should end "at once" or at a short
// time limit: sanitizer builds on a busy machine are slow.
constexpr int64_t kPromptMs = 5000;

// The blocks the sink receives are `block_size` long (the last one shorter)
// and join to `body`.  The connection stays open after a success that no
// kClose ended, unless `check_connected` is off (where that depends on timing).
struct ClientCase {
  const char* name;
  std::vector<ConnectionScript> script;
  int64_t result;
  std::string body;
  std::string path = "/f";  // appended to "http://127.0.0.1:<port>"
  uint32_t block_size = kHttpNoLimit;
  uint64_t range_start = 0, range_end = kHttpOpenEnd;
  // Exact bytes ("{PORT}": the server's port); none: one GET of `path` for the range.
  std::vector<std::string> requests{};
  bool check_connected = true;
};

ConnectionScript Reply(std::string bytes, After after = After::kKeepOpen) {
  return {CannedReply{std::move(bytes), after}};
}

std::string Redirect(const std::string& status, const std::string& location) {
  return "HTTP/1.1 " + status + "\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

// A chain of `hops` redirects from "/start", each to the next numbered path,
// ending in a 206 with "done"; the client follows 16 of them.
ClientCase RedirectChain(const char* name, int hops, int64_t result, const std::string& body) {
  ClientCase c{name, {}, result, body, "/start"};
  c.requests = {ExpectedGet("/start", kHost, "0-")};
  for (int i = 1; i <= hops; ++i) {
    c.script.push_back(Reply(Redirect("302 Found", "/hop" + std::to_string(i))));
    if (i <= 16) c.requests.push_back(ExpectedGet("/hop" + std::to_string(i), kHost, "0-"));
  }
  c.script.push_back(Reply(Response("206 Partial Content", "done")));
  return c;
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
  const auto ok200 = [](const std::string& body) {
    return std::vector<ConnectionScript>{Reply(Response("200 OK", body))};
  };
  return {
      {"a URL without a path asks for the root; block size 0 is one block", ok200("hello"), 5, "hello", "",
       0},
      {"a path is percent-encoded", {Reply(Response("206 Partial Content", "0123456789"))}, 10, "0123456789",
       "/dir/a b&c.bin", kHttpNoLimit, 0, 9, {ExpectedGet("dir//a%20b%26c.bin", kHost, "0-9")}},
      {"an empty body is a success", ok200(""), 0, "", "/empty", 100},
      {"without a length, Connection: close ends the body",
       {Reply("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabcdef", After::kClose)}, 6, "abcdef"},
      {"without a length or Connection: close, the server closing is a failure",
       {Reply("HTTP/1.1 200 OK\r\n\r\nabc", After::kClose)}, kHttpFailed, ""},
      {"header names in lower case are not recognised",
       {Reply("HTTP/1.1 200 OK\r\ncontent-length: 3\r\nconnection: close\r\n\r\nabc", After::kClose)},
       kHttpFailed, ""},
      {"a connection cut mid-body fails after the complete blocks",
       {Reply(cut_plain.substr(0, cut_plain.size() - 550), After::kClose)}, kHttpFailed,
       body1000.substr(0, 400), "/f", 100},
      {"a cut with Connection: close returns the bytes that came",
       {Reply(cut_close.substr(0, cut_close.size() - 550), After::kClose)}, 450, body1000.substr(0, 450),
       "/f", 100},
      {"bytes beyond the Content-Length are dropped", {Reply(Response("200 OK", "abc") + "EXTRA")}, 3, "abc",
       "/f", kHttpNoLimit, 0, kHttpOpenEnd, {}, false},
      {"a 404 is refused", {Reply(Response("404 Not Found", "no"))}, kHttpRefused, "", "/missing"},
      {"a 500 is refused", {Reply(Response("500 Internal Server Error", ""))}, kHttpRefused, ""},
      {"a 200 to a range from byte 0 is taken", ok200("whole"), 5, "whole", "/f", kHttpNoLimit, 0, 99},
      {"a 200 to a range after byte 0 is refused", ok200("0123456789"), kHttpRefused, "", "/f", kHttpNoLimit,
       5},
      {"a 206 for another range is refused",
       {Reply(Response("206 Partial Content", "x", "Content-Range: bytes 0-0/1000\r\n"))}, kHttpRefused, "",
       "/f", kHttpNoLimit, 100, 199},
      {"an absolute redirect is followed with the same range",
       {Reply(Redirect("302 Found", "http://127.0.0.1:{PORT}/new/place.bin")),
        Reply(Response("206 Partial Content", "abcd"))}, 4, "abcd", "/old/x.bin", 2, 100, 103,
       {ExpectedGet("old//x.bin", kHost, "100-103"), ExpectedGet("new//place.bin", kHost, "100-103")}},
      {"a redirect path is taken on the same host",
       {Reply(Redirect("301 Moved Permanently", "/moved/b.bin")), Reply(Response("200 OK", "ok"))}, 2, "ok",
       "/a", kHttpNoLimit, 0, kHttpOpenEnd,
       {ExpectedGet("/a", kHost, "0-"), ExpectedGet("moved//b.bin", kHost, "0-")}},
      RedirectChain("sixteen redirects are followed", 16, 4, "done"),
      RedirectChain("a seventeenth redirect fails", 17, kHttpFailed, ""),
      {"a header over 64 KiB fails", {Reply(OversizedHeader())}, kHttpFailed, ""},
  };
}

void RunCase(const ClientCase& c, size_t piece) {
  std::vector<ConnectionScript> script = c.script;
  for (ConnectionScript& connection : script)
    for (CannedReply& reply : connection) reply.piece_bytes = piece;
  ScriptedServer server(script);
  HttpClient client;
  RecordingSink sink;
  // With an idle limit, a broken case fails instead of hanging.
  EXPECT_EQ(client.Get({.url = server.Url(c.path), .range_start = c.range_start, .range_end = c.range_end,
                        .idle_timeout_ms = 10000, .block_size = c.block_size, .sink = &sink}, true),
            c.result);
  EXPECT_EQ(sink.done, std::vector<int64_t>{c.result});
  std::vector<std::string> expected = c.requests;
  if (expected.empty()) {
    expected.push_back(ExpectedGet(c.path, kHost, std::to_string(c.range_start) + "-" +
                                   (c.range_end == kHttpOpenEnd ? "" : std::to_string(c.range_end))));
  }
  EXPECT_EQ(sink.connects, std::vector(expected.size(), platform::InetAddress::Loopback(server.port())));
  for (std::string& r : expected) r = server.Expand(r);
  EXPECT_EQ(server.requests(), expected);
  const std::vector<RecordingSink::Block>& blocks = sink.blocks;
  uint64_t offset = c.range_start;
  for (size_t i = 0; i < blocks.size(); offset += blocks[i++].second.size()) {
    SCOPED_TRACE(testing::Message() << "block " << i);
    EXPECT_EQ(blocks[i].first, offset);
    EXPECT_FALSE(blocks[i].second.empty());
    if (i + 1 < blocks.size()) { EXPECT_EQ(blocks[i].second.size(), c.block_size); }
  }
  EXPECT_EQ(sink.Joined(), c.body);
  if (c.check_connected) {
    EXPECT_EQ(client.connected(), c.result >= 0 && c.script.back().back().after != After::kClose);
  }
}

TEST(HttpClientTest, PlaysEveryScriptedCaseWholeAndInTinyPieces) {
  for (const size_t piece : {size_t{0}, size_t{7}}) {
    for (const ClientCase& c : Cases()) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      RunCase(c, piece);
    }
  }
}

TEST(HttpClientTest, KeepsBodyAndHeaderOfTheLastAnswerOnlyAndSendsTheExactPost) {
  const std::string body = PatternBytes(100000);
  ScriptedServer server({Reply(Response("403 Forbidden", "go away")), Reply(Response("200 OK", body)),
                               Reply(Response("200 OK", "<ok/>"))});
  HttpClient client;
  EXPECT_EQ(client.Get({.url = server.Url("/f")}, true), kHttpRefused);
  EXPECT_EQ(client.ResponseHeader(),
            "HTTP/1.1 403 Forbidden\r\nServer: scripted\r\nContent-Length: 7\r\n\r\n");
  // No sink: the body is kept.
  ASSERT_EQ(client.Get({.url = server.Url("/Seed.torrent"), .idle_timeout_ms = 10000}, true), 100000);
  EXPECT_EQ(client.Body(), body);
  EXPECT_EQ(client.response_info().status, "200");
  EXPECT_EQ(client.response_info().content_length, 100000u);
  EXPECT_EQ(client.ResponseHeader(), "HTTP/1.1 200 OK\r\nServer: scripted\r\nContent-Length: 100000\r\n\r\n");
  // A failed request leaves nothing of the answer before.
  EXPECT_EQ(client.Get({.url = "http://127.0.0.1:0/b"}, true), kHttpFailed);
  EXPECT_EQ(client.ResponseHeader() + std::string(client.Body()) + client.response_info().status, "");

  RecordingSink sink;  // told of the connection only
  EXPECT_EQ(client.Post({server.Expand("http://admin:pw@127.0.0.1:{PORT}/upnp/control"), "<s:Envelope/>",
                         "text/xml; charset=\"utf-8\"", &sink}),
            5);
  EXPECT_EQ(client.Body(), "<ok/>");
  EXPECT_EQ(server.requests().back(),
            server.Expand("POST /upnp//control HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\nAuthorization: Basic "
                          "YWRtaW46cHc=\r\nConnection: Keep-Alive\r\nContent-Length: 13\r\nContent-Type: "
                          "text/xml; charset=\"utf-8\"\r\n\r\n<s:Envelope/>"));
  EXPECT_EQ(sink.connects.size(), 1u);
  EXPECT_TRUE(sink.blocks.empty() && sink.done.empty());
}

TEST(HttpClientTest, BadAddressesAndOversizedRequestsFailWithoutASend) {
  ScriptedServer server(std::vector<ConnectionScript>{});
  for (const std::string& url : {std::string("http://127.0.0.1:1/f"), std::string("http://127.0.0.1:0/f"),
                                 std::string("http://:80/f"), std::string("/only/a/path"), std::string(""),
                                 server.Url("/" + std::string(2000, 'p'))}) {
    SCOPED_TRACE(url);
    HttpClient client;
    RecordingSink sink;
    EXPECT_EQ(client.Get({.url = url, .sink = &sink}, true), kHttpFailed);
    EXPECT_TRUE(sink.connects.empty());
    EXPECT_EQ(sink.done, std::vector<int64_t>{kHttpFailed});
  }
  EXPECT_EQ(server.connections(), 0);
}

// Time limits end silent, stalled and trickling transfers and connects; the
// sink's answers cancel or abort.  Every such end closes the connection.
TEST(HttpClientTest, TimeLimitsAndSinkAnswersEndTransfersEarly) {
  const std::string body = PatternBytes(100000), head = Response("200 OK", body.substr(0, 1000));
  const uint64_t kAll = ~uint64_t{0};
  // Faster than the idle poll: data never stops.
  const CannedReply trickle{.bytes = Response("200 OK", PatternBytes(20000)), .piece_bytes = 10,
                            .piece_pause_ms = 2};
  const CannedReply paced{.bytes = Response("200 OK", body), .piece_bytes = 1000, .piece_pause_ms = 1};
  struct Case {
    const char* name;
    std::optional<CannedReply> reply;        // none: a connect that is never answered
    uint32_t idle_ms, total_ms, connect_ms;  // 0: no limit (the default connect limit)
    uint32_t block_size;
    int cancel_at_idle_poll, refuse_block;  // the sink's settings
    uint64_t cancel_after_bytes;
    int64_t result, min_ms;
    std::optional<std::string> joined;
  } const cases[] = {
      {"silent server", Stall(""), 300, 0, 0, 200, -1, -1, kAll, kHttpTimeout, 300, ""},
      {"stalled body", Stall(head, head.size() - 350), 250, 0, 0, 200, -1, -1, kAll, kHttpTimeout, 250,
       body.substr(0, 600)},
      {"trickle", trickle, 2000, 400, 0, 200, -1, -1, kAll, kHttpTimeout, 400, std::nullopt},
      {"unanswered connect", std::nullopt, 0, 0, 250, 200, -1, -1, kAll, kHttpFailed, 240, ""},
      {"idle limit bounds the connect", std::nullopt, 200, 0, 0, 200, -1, -1, kAll, kHttpFailed, 0, ""},
      {"OnReceive(0) false while waiting", Stall(""), 0, 0, 0, 100, 3, -1, kAll, kHttpCancelled, 0, ""},
      {"OnReceive(n) false after data", paced, 0, 0, 0, kHttpNoLimit, -1, -1, 5000, kHttpCancelled, 0, {}},
      {"OnData false", CannedReply{Response("206 Partial Content", body.substr(0, 1000))}, 0, 0, 0, 100,
       -1, 2, kAll, kHttpSinkRefused, 0, body.substr(0, 300)},
      {"OnData false for the final partial block", CannedReply{Response("206 Partial Content", "abcde")},
       0, 0, 0, 2, -1, 2, kAll, kHttpSinkRefused, 0, "abcde"},
  };
  const auto limit = [](uint32_t ms) { return ms > 0 ? ms : kHttpNoLimit; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ScriptedServer> server;
    // Fresh each time: its full queue is kept only for a while.
    std::optional<UnansweredListener> unanswered;
    c.reply ? (void)server.emplace(std::vector<ConnectionScript>{{*c.reply}}) : (void)unanswered.emplace();
    HttpClient client;
    if (c.connect_ms > 0) client.set_connect_timeout_ms(c.connect_ms);
    RecordingSink sink;
    sink.cancel_at_idle_poll = c.cancel_at_idle_poll;
    sink.refuse_block = c.refuse_block;
    sink.cancel_after_bytes = c.cancel_after_bytes;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Get({.url = server ? server->Url("/f") : unanswered->Url(),
                          .idle_timeout_ms = limit(c.idle_ms), .total_timeout_ms = limit(c.total_ms),
                          .block_size = c.block_size, .sink = &sink},
                         true),
              c.result);
    EXPECT_GE(ElapsedMs(start), c.min_ms);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(sink.done, std::vector<int64_t>{c.result});
    EXPECT_EQ(sink.connects.size(), server ? 1u : 0u);
    EXPECT_LT(sink.received_bytes, body.size());
    if (c.joined) { EXPECT_EQ(sink.Joined(), *c.joined); }
    if (c.cancel_at_idle_poll > 0) {
      EXPECT_EQ(sink.idle_polls, c.cancel_at_idle_poll);
    } else if (c.reply && c.reply->bytes.empty()) {
      EXPECT_GT(sink.idle_polls, 3);  // the sink hears every idle poll
    }
    EXPECT_FALSE(client.connected());
  }
}

// A kept-alive connection serves the same host only, never after a
// Connection: close answer, and stray bytes on it are not the next answer.
TEST(HttpClientTest, ReusesAKeptAliveConnectionOnlyForTheSameHostAndWithoutStrayBytes) {
  ScriptedServer first({{CannedReply{Response("206 Partial Content", "first")},
                               {Response("200 OK", "one", "Connection: close\r\n"), After::kClose}},
                              Reply(Response("200 OK", "two"))});
  ScriptedServer second({Reply(Response("200 OK", "three"))});
  HttpClient client;
  RecordingSink sink1, sink2;
  EXPECT_EQ(client.Get({.url = first.Url("/a"), .sink = &sink1}, true), 5);
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(client.Get({.url = first.Url("/b"), .sink = &sink2}, true), 3);
  EXPECT_EQ(sink2.Joined(), "one");
  EXPECT_EQ(sink2.connects.size(), 1u);  // told of the server again
  EXPECT_EQ(first.connections(), 1);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.Get({.url = first.Url("/c")}, true), 3);
  EXPECT_EQ(client.Body(), "two");
  EXPECT_EQ(first.connections(), 2);
  EXPECT_EQ(client.Get({.url = second.Url("/d")}, true), 5);
  EXPECT_EQ(client.Body(), "three");
  EXPECT_EQ(first.connections() + second.connections(), 3);
  EXPECT_EQ(first.requests().size(), 3u);

  const std::string abc = Response("200 OK", "abc");  // the stray answer comes 30 ms later
  ScriptedServer stray({{{.bytes = abc + Response("200 OK", "WRONG"), .piece_bytes = abc.size(),
                                .piece_pause_ms = 30}},
                              Reply(Response("200 OK", "right"))});
  EXPECT_EQ(client.Get({.url = stray.Url("/a")}, true), 3);
  EXPECT_EQ(client.Body(), "abc");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the stray bytes arrive
  EXPECT_EQ(client.Get({.url = stray.Url("/b")}, true), 5);
  EXPECT_EQ(client.Body(), "right");
  EXPECT_EQ(stray.connections(), 2);
}

TEST(HttpClientTest, AsynchronousGetReportsThroughOnDoneAndMakesOthersBusy) {
  ScriptedServer server({{CannedReply{Response("206 Partial Content", "async")}, Stall("")}});
  HttpClient client;
  RecordingSink done, running, other;
  EXPECT_EQ(client.Get({.url = server.Url("/a"), .sink = &done}, false), 0);
  ASSERT_TRUE(done.WaitDone(kPromptMs));
  EXPECT_EQ(done.done, std::vector<int64_t>{5});
  EXPECT_EQ(done.Joined(), "async");
  // OnDone comes just before the request lets go of the client.
  int64_t started = kHttpBusy;
  for (int i = 0; i < kPromptMs && started == kHttpBusy; ++i) {
    started = client.Get({.url = server.Url("/b"), .sink = &running}, false);  // stalls
    if (started == kHttpBusy) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(started, 0);
  EXPECT_EQ(client.Get({.url = server.Url("/c"), .sink = &other}, true), kHttpBusy);
  EXPECT_EQ(client.Get({.url = server.Url("/c"), .sink = &other}, false), kHttpBusy);
  EXPECT_EQ(client.Post({server.Url("/p"), "", ""}), kHttpBusy);
  EXPECT_TRUE(other.done.empty());  // a refused request is not reported
  client.Close();                     // cuts the running request
  ASSERT_TRUE(running.WaitDone(kPromptMs));
  EXPECT_EQ(running.done, std::vector<int64_t>{kHttpFailed});
}

TEST(HttpClientTest, CloseAndCancelCutRequestsFromOtherThreads) {
  UnansweredListener unanswered;
  for (const bool cancel : {false, true}) {
    for (const bool connecting : {false, true}) {  // an unanswered connect, or a silent server
      SCOPED_TRACE(connecting ? "connecting" : "waiting for the answer");
      ScriptedServer server({{Stall("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc")}});
      HttpClient client;  // no time limits at all; default connect limit: 21 s
      const auto start = std::chrono::steady_clock::now();
      auto result = std::async(std::launch::async, [&] {
        return client.Get({.url = connecting ? unanswered.Url() : server.Url("/f")}, true);
      });
      ASSERT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
      // A Close that comes before the request has started has nothing to
      // cut, so keep cutting until the request ends.
      while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready &&
             ElapsedMs(start) < kPromptMs) {
        cancel ? client.Cancel() : client.Close();
      }
      EXPECT_EQ(result.get(), kHttpFailed);
      EXPECT_LT(ElapsedMs(start), kPromptMs);
      EXPECT_FALSE(client.connected());
    }
  }
  ScriptedServer silent({{Stall("")}}), hello({Reply(Response("200 OK", "hello"))});
  RecordingSink orphan, sink;
  {
    HttpClient destroyed;
    ASSERT_EQ(destroyed.Get({.url = silent.Url("/a"), .sink = &orphan}, false), 0);
  }
  EXPECT_EQ(orphan.done, std::vector<int64_t>{kHttpFailed});  // cut by the destructor
  // Unlike Close, Cancel also stops a request that has not started yet, which
  // lets the download manager stop a thread between checking its stop flag
  // and starting its next request; it stays cancelled.
  HttpClient closed, cancelled;
  closed.Close();
  EXPECT_FALSE(closed.cancelled());
  EXPECT_EQ(closed.Get({.url = hello.Url("/f")}, true), 5);
  cancelled.Cancel();
  EXPECT_TRUE(cancelled.cancelled());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(cancelled.Get({.url = hello.Url("/f"), .sink = &sink}, true), kHttpFailed);
  }
  EXPECT_EQ(sink.done, (std::vector<int64_t>{kHttpFailed, kHttpFailed}));
  EXPECT_EQ(hello.connections(), 1);
}

}  // namespace
}  // namespace brelvane
