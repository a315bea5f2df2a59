// A JSON-RPC 2.0 client over the web client: each call is one POST of a request object, and
// the answer's result or error comes back as a value. Requests and answers are UTF-8 bytes.
//
// A request may carry a secret among its parameters. No text this client produces is ever
// built from a request: failures name the method and what the answer (or the transport) said,
// nothing else. Nor is a request ever sent on to where a redirect points: the secret would go
// to a host nobody named.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "net/cancel_flag.h"
#include "net/http_platform.h"

namespace sf {

enum class RpcFailure {
  kNone,
  kBadAddress,     // the endpoint is not an http:// or https:// URL
  kCannotConnect,  // nothing answered at the endpoint
  kNoAnswer,       // connected, but no answer came back
  kHttpStatus,     // an HTTP answer that is not JSON-RPC; `code` holds its status
  kNotJson,        // a 2xx answer whose body is not a JSON-RPC response
  kBadRequest,     // a parameter could not be encoded (text that is not UTF-8)
  kRpcError,       // the server's error object: `code` and `message`
  kUnauthorized,   // the server's error object says "Unauthorized": a wrong secret
  kRedirected,     // the endpoint answered with a redirect, never followed; `code` holds its
                   // status, `message` where it pointed
};

struct RpcError {
  RpcFailure kind = RpcFailure::kNone;
  int code = 0;         // the HTTP status, or the error object's code
  std::string message;  // the error object's message, or the HTTP status text; UTF-8
};

// Reads a JSON-RPC error object ({"code": N, "message": "..."}).
RpcError RpcErrorFromObject(const nlohmann::json& error);

// One line naming the cause, in UTF-8, e.g. "aria2.addUri: cannot connect".
std::string DescribeRpcError(std::string_view method, const RpcError& error);

struct RpcReply {
  RpcError error;
  nlohmann::json result;  // when error.kind is kNone
  bool ok() const { return error.kind == RpcFailure::kNone; }
};

class JsonRpcClient {
 public:
  // `endpoint`: the server's URL, e.g. "http://127.0.0.1:6800/jsonrpc". `platform`: the HTTP
  // layer; null means the libcurl one.
  explicit JsonRpcClient(std::string endpoint, std::shared_ptr<HttpPlatform> platform = nullptr);

  // Gives up the call under way, and every later one, once raised.
  void SetCancelFlag(CancelFlag cancel) { cancel_ = std::move(cancel); }
  void SetTimeoutSeconds(int seconds) { timeoutSeconds_ = seconds; }

  const std::string& endpoint() const { return endpoint_; }

  // Calls `method` with `params` (an array) and waits for its answer. Never throws.
  RpcReply Call(const std::string& method, const nlohmann::json& params);

 private:
  std::string endpoint_;
  std::shared_ptr<HttpPlatform> platform_;
  CancelFlag cancel_;
  int timeoutSeconds_ = 30;
  int nextId_ = 1;
};

// The endpoint as it may be shown: without user name and password, when it carries them.
std::string ShownEndpoint(std::string_view endpoint);

}  // namespace sf
