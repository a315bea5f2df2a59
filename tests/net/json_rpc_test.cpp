#include "net/json_rpc.h"

#include <gtest/gtest.h>

#include "aria2_daemon.h"
#include "raw_http_server.h"
#include "silent_server.h"

namespace sf {
namespace {

using Json = nlohmann::json;
using test::RawHttpServer;
using test::RawRequest;
using test::RawResponse;

RawResponse JsonAnswer(int status, const Json& body) {
  return RawHttpServer::Reply(status, status == 200 ? "OK" : "Bad Request",
                              {"Content-Type: application/json-rpc"}, body.dump());
}

TEST(JsonRpcClient, PostsOneRequestObjectAndReturnsItsResult) {
  RawHttpServer server([](const RawRequest& r) {
    Json request = Json::parse(r.body);
    return JsonAnswer(200,
                      {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", request["params"]}});
  });
  JsonRpcClient client(server.Url("/jsonrpc"));
  Json params = {"token:s", "名 \"q\"\n"};
  RpcReply reply = client.Call("aria2.echo", params);
  ASSERT_TRUE(reply.ok()) << DescribeRpcError("aria2.echo", reply.error);
  EXPECT_EQ(reply.result, params);

  RawRequest sent = server.Requests().at(0);
  EXPECT_EQ(sent.requestLine, "POST /jsonrpc HTTP/1.1");
  EXPECT_EQ(sent.Header("Content-Type"), "application/json");
  EXPECT_EQ(sent.CountHeader("Content-Type"), 1);
  Json body = Json::parse(sent.body);
  EXPECT_EQ(body["jsonrpc"], "2.0");
  EXPECT_EQ(body["method"], "aria2.echo");
  // The UTF-8 text arrives as it was given, not re-encoded.
  EXPECT_NE(sent.body.find("名 \\\"q\\\"\\n"), std::string::npos);
}

// Every way a call can fail gives its own cause, and none of them repeats the request.
TEST(JsonRpcClient, FailuresSayWhatWentWrongAndNothingOfTheRequest) {
  RawHttpServer server([](const RawRequest& r) -> RawResponse {
    std::string target = r.Target();
    if (target == "/missing")
      return RawHttpServer::Reply(404, "Not Found", {"Content-Type: text/html"}, "<html>x</html>");
    if (target == "/page") return RawHttpServer::Reply(200, "OK", {}, "<html>hello</html>");
    if (target == "/other-id")
      return JsonAnswer(200, {{"jsonrpc", "2.0"}, {"id", 999}, {"result", "stale"}});
    if (target == "/secret")
      return JsonAnswer(400, {{"id", 1}, {"error", {{"code", 1}, {"message", "Unauthorized"}}}});
    return JsonAnswer(400, {{"id", 1}, {"error", {{"code", 7}, {"message", "bad\n\x1b[2Jthing"}}}});
  });
  const Json params = {"token:TOPSECRET"};
  auto fail = [&](const std::string& endpoint, int timeout = 30) {
    JsonRpcClient client(endpoint);
    client.SetTimeoutSeconds(timeout);
    RpcReply reply = client.Call("m", params);
    EXPECT_FALSE(reply.ok()) << endpoint;
    EXPECT_EQ(DescribeRpcError("m", reply.error).find("TOPSECRET"), std::string::npos);
    return reply.error;
  };

  RpcError e = fail(server.Url("/missing"));
  EXPECT_EQ(e.kind, RpcFailure::kHttpStatus);
  EXPECT_EQ(DescribeRpcError("m", e), "m: HTTP 404 Not Found");
  EXPECT_EQ(fail(server.Url("/page")).kind, RpcFailure::kNotJson);
  EXPECT_EQ(fail(server.Url("/other-id")).kind, RpcFailure::kNotJson);
  e = fail(server.Url("/secret"));
  EXPECT_EQ(e.kind, RpcFailure::kUnauthorized);
  EXPECT_EQ(DescribeRpcError("m", e), "m: the secret was refused (Unauthorized)");
  e = fail(server.Url("/error"));
  EXPECT_EQ(e.kind, RpcFailure::kRpcError);
  EXPECT_EQ(DescribeRpcError("m", e), "m: refused: bad\\x0a\\x1b[2Jthing (code 7)");

  EXPECT_EQ(fail("http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()) + "/jsonrpc").kind,
            RpcFailure::kCannotConnect);
  EXPECT_EQ(fail("ftp://127.0.0.1/").kind, RpcFailure::kBadAddress);
  test::SilentServer silent;
  EXPECT_EQ(fail(silent.Url("/jsonrpc"), 1).kind, RpcFailure::kNoAnswer);

  // Text that is not UTF-8 cannot be sent; nothing goes out.
  size_t before = server.Requests().size();
  JsonRpcClient client(server.Url("/jsonrpc"));
  EXPECT_EQ(client.Call("m", Json{"\xff\xfe"}).error.kind, RpcFailure::kBadRequest);
  EXPECT_EQ(server.Requests().size(), before);

  EXPECT_EQ(ShownEndpoint("http://user:pw@127.0.0.1:6800/jsonrpc?x=a@b"),
            "http://127.0.0.1:6800/jsonrpc?x=a@b");
}

}  // namespace
}  // namespace sf
