// What a JSON-RPC server on a RawHttpServer answers, for the client's tests and the remote
// downloader's.
#pragma once

#include <nlohmann/json.hpp>

#include "raw_http_server.h"

namespace sf::test {

// `body` as the whole answer, under `status`.
inline RawResponse JsonRpcAnswer(int status, const nlohmann::json& body) {
  return RawHttpServer::Reply(status, status == 200 ? "OK" : "Bad Request",
                              {"Content-Type: application/json-rpc"}, body.dump());
}

// The answer to `request` that carries `result`.
inline RawResponse JsonRpcResult(const nlohmann::json& request, const nlohmann::json& result) {
  return JsonRpcAnswer(200, {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", result}});
}

}  // namespace sf::test
