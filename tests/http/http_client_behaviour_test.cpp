// SPDX-License-Identifier: MIT
// HttpClient behaviour over time and across threads: time-outs, sink
// cancellation, asynchronous requests, Close from another thread, connection
// reuse, and POST.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/http_client.h"
#include "http/recording_sink.h"
#include "http/scripted_server.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::PatternBytes;
using test::Response;
using After = CannedReply::After;

// Generous upper bound for anything that should end "at once" or at a short
// time limit: sanitizer builds on a busy machine are slow.
constexpr int64_t kPromptMs = 5000;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

CannedReply Stalling(std::string bytes, size_t stall_at = std::string::npos) {
  CannedReply reply;
  reply.bytes = std::move(bytes);
  reply.after = After::kStall;
  reply.stall_at = stall_at;
  return reply;
}

HttpRequest RequestTo(const test::ScriptedServer& server, const std::string& path,
                      HttpSink* sink) {
  HttpRequest request;
  request.url = server.Url(path);
  request.sink = sink;
  return request;
}

TEST(HttpClientTimeoutTest, SilentServerEndsWithTimeoutAfterTheIdleLimit) {
  test::ScriptedServer server({{Stalling("")}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  HttpRequest request = RequestTo(server, "/f", &sink);
  request.idle_timeout_ms = 300;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Get(request, true), kHttpTimeout);
  int64_t elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, kPromptMs);
  EXPECT_GT(sink.idle_polls(), 3);  // the sink hears every idle poll
  EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpTimeout});
  EXPECT_FALSE(client.connected());
}

TEST(HttpClientTimeoutTest, StalledBodyEndsWithTimeoutAfterDeliveringCompleteBlocks) {
  const std::string body = PatternBytes(1000);
  const std::string reply = Response("200 OK", body);
  test::ScriptedServer server({{Stalling(reply, reply.size() - 1000 + 650)}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  HttpRequest request = RequestTo(server, "/f", &sink);
  request.block_size = 200;
  request.idle_timeout_ms = 250;
  EXPECT_EQ(client.Get(request, true), kHttpTimeout);
  EXPECT_EQ(sink.Joined(), body.substr(0, 600));
  EXPECT_EQ(sink.received_bytes(), reply.size() - 1000 + 650);
}

TEST(HttpClientTimeoutTest, TrickleEndsWithTimeoutAfterTheTotalLimit) {
  CannedReply trickle;
  trickle.bytes = Response("200 OK", PatternBytes(20000));
  trickle.piece_bytes = 10;
  trickle.piece_pause_ms = 2;  // faster than the idle poll: data never stops
  test::ScriptedServer server({{trickle}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  HttpRequest request = RequestTo(server, "/f", nullptr);
  request.idle_timeout_ms = 2000;
  request.total_timeout_ms = 400;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Get(request, true), kHttpTimeout);
  int64_t elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 400);
  EXPECT_LT(elapsed, kPromptMs);
}

TEST(HttpClientTimeoutTest, UnansweredConnectFailsAfterTheConnectLimit) {
  test::UnansweredListener listener;
  ASSERT_TRUE(listener.ok());
  HttpClient client;
  client.set_connect_timeout_ms(250);
  test::RecordingSink sink;
  HttpRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/f";
  request.sink = &sink;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Get(request, true), kHttpFailed);
  int64_t elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 240);
  EXPECT_LT(elapsed, kPromptMs);
  EXPECT_TRUE(sink.connects().empty());
  EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpFailed});
}

TEST(HttpClientTimeoutTest, IdleLimitAlsoBoundsTheConnect) {
  test::UnansweredListener listener;
  ASSERT_TRUE(listener.ok());
  HttpClient client;  // default connect limit (21 s)
  HttpRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/f";
  request.idle_timeout_ms = 200;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Get(request, true), kHttpFailed);
  EXPECT_LT(ElapsedMs(start), kPromptMs);
}

TEST(HttpClientFailureTest, RefusedConnectionAndBadHostsFailWithoutASend) {
  uint16_t closed_port = 0;
  {
    platform::Socket listener;
    ASSERT_TRUE(platform::Socket::ListenTcp(platform::InetAddress::Loopback(0), 1, &listener).ok());
    platform::InetAddress local;
    ASSERT_TRUE(listener.LocalAddress(&local).ok());
    closed_port = local.port;
  }
  for (std::string url : {"http://127.0.0.1:" + std::to_string(closed_port) + "/f",
                          std::string("http://127.0.0.1:0/f"), std::string("http://:80/f"),
                          std::string("/only/a/path"), std::string("")}) {
    SCOPED_TRACE(url);
    HttpClient client;
    test::RecordingSink sink;
    HttpRequest request;
    request.url = url;
    request.sink = &sink;
    EXPECT_EQ(client.Get(request, true), kHttpFailed);
    EXPECT_TRUE(sink.connects().empty());
    EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpFailed});
  }
}

TEST(HttpClientFailureTest, AFailedRequestLeavesNothingOfTheAnswerBefore) {
  test::ScriptedServer server({{CannedReply{Response("200 OK", "old body")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  ASSERT_EQ(client.Get(RequestTo(server, "/a", nullptr), true), 8);
  ASSERT_FALSE(client.ResponseHeader().empty());
  HttpRequest request;
  request.url = "http://127.0.0.1:0/b";
  EXPECT_EQ(client.Get(request, true), kHttpFailed);
  EXPECT_EQ(client.ResponseHeader(), "");
  EXPECT_EQ(client.Body(), "");
  EXPECT_EQ(client.response_info().status, "");
}

TEST(HttpClientFailureTest, OversizedRequestFailsWithoutConnecting) {
  test::ScriptedServer server(std::vector<test::ConnectionScript>{});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  HttpRequest request = RequestTo(server, "/" + std::string(2000, 'p'), nullptr);
  EXPECT_EQ(client.Get(request, true), kHttpFailed);
  EXPECT_EQ(server.connections(), 0);
}

TEST(HttpClientSinkTest, OnReceiveFalseCancelsWhileWaiting) {
  test::ScriptedServer server({{Stalling("")}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  sink.cancel_at_idle_poll = 3;
  EXPECT_EQ(client.Get(RequestTo(server, "/f", &sink), true), kHttpCancelled);
  EXPECT_EQ(sink.idle_polls(), 3);
  EXPECT_FALSE(client.connected());
}

TEST(HttpClientSinkTest, OnReceiveFalseCancelsAfterData) {
  const std::string body = PatternBytes(100000);
  CannedReply reply;
  reply.bytes = Response("200 OK", body);
  reply.piece_bytes = 1000;
  reply.piece_pause_ms = 1;
  test::ScriptedServer server({{reply}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  sink.cancel_after_bytes = 5000;
  EXPECT_EQ(client.Get(RequestTo(server, "/f", &sink), true), kHttpCancelled);
  EXPECT_LT(sink.received_bytes(), body.size());
  EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpCancelled});
}

TEST(HttpClientSinkTest, OnDataFalseAbortsAndClosesTheConnection) {
  const std::string body = PatternBytes(1000);
  test::ScriptedServer server({{CannedReply{Response("206 Partial Content", body)}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  sink.refuse_block = 2;
  HttpRequest request = RequestTo(server, "/f", &sink);
  request.block_size = 100;
  EXPECT_EQ(client.Get(request, true), kHttpSinkRefused);
  EXPECT_EQ(sink.blocks().size(), 3u);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpSinkRefused});
}

TEST(HttpClientSinkTest, RefusingTheFinalPartialBlockAborts) {
  test::ScriptedServer server({{CannedReply{Response("206 Partial Content", "abcde")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  sink.refuse_block = 2;
  HttpRequest request = RequestTo(server, "/f", &sink);
  request.block_size = 2;
  EXPECT_EQ(client.Get(request, true), kHttpSinkRefused);
  EXPECT_EQ(sink.Joined(), "abcde");
}

TEST(HttpClientConnectionTest, ReusesAKeptAliveConnectionForTheSameHost) {
  test::ScriptedServer server(
      {{CannedReply{Response("206 Partial Content", "first")},
        CannedReply{Response("206 Partial Content", "second")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink1, sink2;
  EXPECT_EQ(client.Get(RequestTo(server, "/a", &sink1), true), 5);
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(client.Get(RequestTo(server, "/b", &sink2), true), 6);
  EXPECT_EQ(sink2.Joined(), "second");
  EXPECT_EQ(server.connections(), 1);
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(sink2.connects().size(), 1u);  // told of the server again
}

TEST(HttpClientConnectionTest, StrayBytesOnAnIdleConnectionAreNotTakenAsTheNextAnswer) {
  const std::string first = Response("200 OK", "abc");
  CannedReply with_stray;
  with_stray.bytes = first + Response("200 OK", "WRONG");
  with_stray.piece_bytes = first.size();  // the stray answer comes later
  with_stray.piece_pause_ms = 30;
  test::ScriptedServer server({{with_stray}, {CannedReply{Response("200 OK", "right")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  EXPECT_EQ(client.Get(RequestTo(server, "/a", nullptr), true), 3);
  EXPECT_EQ(client.Body(), "abc");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the stray bytes arrive
  EXPECT_EQ(client.Get(RequestTo(server, "/b", nullptr), true), 5);
  EXPECT_EQ(client.Body(), "right");
  EXPECT_EQ(server.connections(), 2);
}

TEST(HttpClientConnectionTest, ConnectionCloseAnswerIsNotReused) {
  test::ScriptedServer server(
      {{CannedReply{Response("200 OK", "one", "Connection: close\r\n"), After::kClose}},
       {CannedReply{Response("200 OK", "two")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  EXPECT_EQ(client.Get(RequestTo(server, "/a", nullptr), true), 3);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.Get(RequestTo(server, "/b", nullptr), true), 3);
  EXPECT_EQ(client.Body(), "two");
  EXPECT_EQ(server.connections(), 2);
}

TEST(HttpClientConnectionTest, AnotherHostGetsANewConnection) {
  test::ScriptedServer first({{CannedReply{Response("200 OK", "one")}}});
  test::ScriptedServer second({{CannedReply{Response("200 OK", "two")}}});
  ASSERT_TRUE(first.ok() && second.ok());
  HttpClient client;
  EXPECT_EQ(client.Get(RequestTo(first, "/a", nullptr), true), 3);
  EXPECT_EQ(client.Get(RequestTo(second, "/a", nullptr), true), 3);
  EXPECT_EQ(client.Body(), "two");
  EXPECT_EQ(first.connections(), 1);
  EXPECT_EQ(second.connections(), 1);
}

TEST(HttpClientConnectionTest, CloseFromOnDoneClosesTheConnection) {
  test::ScriptedServer server({{CannedReply{Response("200 OK", "x")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  sink.close_on_done = true;
  EXPECT_EQ(client.Get(RequestTo(server, "/a", &sink), true), 1);
  EXPECT_FALSE(client.connected());
}

TEST(HttpClientThreadTest, AsynchronousGetReportsThroughOnDone) {
  test::ScriptedServer server({{CannedReply{Response("206 Partial Content", "async")}}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  EXPECT_EQ(client.Get(RequestTo(server, "/a", &sink), false), 0);
  ASSERT_TRUE(sink.WaitDone(kPromptMs));
  EXPECT_EQ(sink.done(), std::vector<int64_t>{5});
  EXPECT_EQ(sink.Joined(), "async");
}

TEST(HttpClientThreadTest, SecondRequestWhileAsynchronousOneRunsIsBusy) {
  test::ScriptedServer server({{Stalling("")}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  ASSERT_EQ(client.Get(RequestTo(server, "/a", &sink), false), 0);
  test::RecordingSink other;
  EXPECT_EQ(client.Get(RequestTo(server, "/b", &other), true), kHttpBusy);
  EXPECT_EQ(client.Get(RequestTo(server, "/b", &other), false), kHttpBusy);
  HttpPostRequest post;
  post.url = server.Url("/p");
  EXPECT_EQ(client.Post(post), kHttpBusy);
  EXPECT_TRUE(other.done().empty());  // a refused request is not reported

  client.Close();  // cuts the running request
  ASSERT_TRUE(sink.WaitDone(kPromptMs));
  EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpFailed});
}

TEST(HttpClientThreadTest, CloseFromAnotherThreadCutsASynchronousRequest) {
  test::ScriptedServer server({{Stalling("")}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  int64_t result = 0;
  std::thread runner([&] { result = client.Get(RequestTo(server, "/a", &sink), true); });
  // Wait until the request is waiting for its answer.
  auto start = std::chrono::steady_clock::now();
  while (sink.idle_polls() == 0 && ElapsedMs(start) < kPromptMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  client.Close();
  runner.join();
  EXPECT_EQ(result, kHttpFailed);
  EXPECT_FALSE(client.connected());
}

TEST(HttpClientThreadTest, CloseDuringConnectEndsTheRequest) {
  test::UnansweredListener listener;
  ASSERT_TRUE(listener.ok());
  HttpClient client;  // default connect limit: 21 s
  int64_t result = 0;
  HttpRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/f";
  std::atomic<bool> finished{false};
  auto start = std::chrono::steady_clock::now();
  std::thread runner([&] {
    result = client.Get(request, true);
    finished.store(true);
  });
  // A Close that comes before the request has started has nothing to cut,
  // so keep closing until the request ends.
  while (!finished.load() && ElapsedMs(start) < kPromptMs) {
    client.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  runner.join();
  EXPECT_EQ(result, kHttpFailed);
  EXPECT_LT(ElapsedMs(start), kPromptMs);
}

TEST(HttpClientThreadTest, DestroyingTheClientCutsAnAsynchronousRequest) {
  test::ScriptedServer server({{Stalling("")}});
  ASSERT_TRUE(server.ok());
  test::RecordingSink sink;
  {
    HttpClient client;
    ASSERT_EQ(client.Get(RequestTo(server, "/a", &sink), false), 0);
  }
  EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpFailed});
}

TEST(HttpClientPostTest, SendsTheExactPostAndCountsTheAnswer) {
  test::ScriptedServer server({{CannedReply{Response("200 OK", "<ok/>")}}});
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
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0],
            server.Expand("POST /upnp//control HTTP/1.1\r\n"
                          "Host: 127.0.0.1:{PORT}\r\n"
                          "Authorization: Basic YWRtaW46cHc=\r\n"
                          "Connection: Keep-Alive\r\n"
                          "Content-Length: 13\r\n"
                          "Content-Type: text/xml; charset=\"utf-8\"\r\n"
                          "\r\n"
                          "<s:Envelope/>"));
  EXPECT_EQ(sink.connects().size(), 1u);
  EXPECT_TRUE(sink.blocks().empty());
  EXPECT_TRUE(sink.done().empty());
}

}  // namespace
}  // namespace brelvane
