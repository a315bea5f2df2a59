#include "net/json_rpc.h"

#include <gtest/gtest.h>

#include "json_rpc_answer.h"
#include "raw_http_server.h"

namespace sf {
namespace {

using Json = nlohmann::json;
using test::RawHttpServer;
using test::RawRequest;
using test::RawResponse;

// An answer that is no JSON-RPC, or an error of the server's, gives a cause of its own that
// repeats nothing of the request; a refused secret and a server that is not there are played
// against a real aria2 by the terminal program's tests.
TEST(JsonRpcClient, FailuresSayWhatWentWrongAndNothingOfTheRequest) {
  RawHttpServer server([](const RawRequest& r) -> RawResponse {
    std::string target = r.Target();
    if (target == "/missing")
      return RawHttpServer::Reply(404, "Not Found", {"Content-Type: text/html"}, "<html>x</html>");
    if (target == "/page") return RawHttpServer::Reply(200, "OK", {}, "<html>hello</html>");
    return test::JsonRpcAnswer(
        400, {{"id", 1}, {"error", {{"code", 7}, {"message", "bad\n\x1b[2Jthing"}}}});
  });
  const Json params = {"token:TOPSECRET"};
  auto fail = [&](const std::string& endpoint) {
    JsonRpcClient client(endpoint);
    RpcReply reply = client.Call("m", params);
    EXPECT_FALSE(reply.ok()) << endpoint;
    EXPECT_EQ(DescribeRpcError("m", reply.error).find("TOPSECRET"), std::string::npos);
    return reply.error;
  };

  RpcError e = fail(server.Url("/missing"));
  EXPECT_EQ(e.kind, RpcFailure::kHttpStatus);
  EXPECT_EQ(DescribeRpcError("m", e), "m: HTTP 404 Not Found");
  EXPECT_EQ(fail(server.Url("/page")).kind, RpcFailure::kNotJson);
  e = fail(server.Url("/error"));
  EXPECT_EQ(e.kind, RpcFailure::kRpcError);
  EXPECT_EQ(DescribeRpcError("m", e), "m: refused: bad\\x0a\\x1b[2Jthing (code 7)");

  EXPECT_EQ(fail("ftp://127.0.0.1/").kind, RpcFailure::kBadAddress);

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
