// SPDX-License-Identifier: MIT
// HttpClient::Cancel: unlike Close, it also stops a request that has not
// started yet, which is what lets the download manager stop a thread that
// is between checking its stop flag and starting its next request.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "http/http_client.h"
#include "http/recording_sink.h"
#include "http/scripted_server.h"

namespace brelvane {
namespace {

using test::CannedReply;
using test::Response;

HttpRequest Unlimited(const test::ScriptedServer& server, HttpSink* sink) {
  HttpRequest request;
  request.url = server.Url("/f");
  request.sink = sink;  // no time limits at all
  return request;
}

TEST(HttpClientCancelTest, CancelBeforeARequestMakesItFailAtOnceWithoutConnecting) {
  CannedReply stall;
  stall.bytes = "";
  stall.after = CannedReply::After::kStall;  // would hang an unlimited request
  test::ScriptedServer server({{stall}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  client.Cancel();
  EXPECT_TRUE(client.cancelled());
  test::RecordingSink sink;
  auto result = std::async(std::launch::async,
                           [&] { return client.Get(Unlimited(server, &sink), true); });
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), kHttpFailed);
  EXPECT_EQ(sink.done(), std::vector<int64_t>{kHttpFailed});
  EXPECT_EQ(server.connections(), 0);
  // It stays cancelled.
  EXPECT_EQ(client.Get(Unlimited(server, nullptr), true), kHttpFailed);
}

TEST(HttpClientCancelTest, CloseBeforeARequestDoesNotStopTheNextOne) {
  CannedReply ok;
  ok.bytes = Response("200 OK", "hello");
  test::ScriptedServer server({{ok}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  client.Close();
  EXPECT_FALSE(client.cancelled());
  EXPECT_EQ(client.Get(Unlimited(server, nullptr), true), 5);
}

TEST(HttpClientCancelTest, CancelFromAnotherThreadCutsARunningRequest) {
  CannedReply stall;
  stall.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc";
  stall.after = CannedReply::After::kStall;
  test::ScriptedServer server({{stall}});
  ASSERT_TRUE(server.ok());
  HttpClient client;
  test::RecordingSink sink;
  auto result = std::async(std::launch::async,
                           [&] { return client.Get(Unlimited(server, &sink), true); });
  ASSERT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  client.Cancel();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), kHttpFailed);
}

}  // namespace
}  // namespace brelvane
