#include "net/json_rpc.h"

#include <algorithm>

#include "base/encoding.h"
#include "base/text.h"
#include "net/web_client.h"

namespace sf {
namespace {

using Json = nlohmann::json;

// What the server wrote may hold anything; it reaches a terminal or a message box as one
// line of bounded length.
std::string ShownText(std::string_view text) {
  constexpr size_t kLimit = 300;
  std::string out;
  for (char c : text.substr(0, kLimit)) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  if (text.size() > kLimit) out += "...";
  return out;
}

RpcError Failure(RpcFailure kind, int code = 0, std::string message = {}) {
  return {kind, code, std::move(message)};
}

}  // namespace

RpcError RpcErrorFromObject(const Json& error) {
  RpcError e{RpcFailure::kRpcError, 0, {}};
  if (!error.is_object()) return e;
  auto code = error.find("code");
  if (code != error.end() && code->is_number_integer())
    e.code = static_cast<int>(std::clamp<int64_t>(code->get<int64_t>(), INT32_MIN, INT32_MAX));
  auto message = error.find("message");
  if (message != error.end() && message->is_string()) e.message = message->get<std::string>();
  if (e.message == "Unauthorized") e.kind = RpcFailure::kUnauthorized;
  return e;
}

std::string DescribeRpcError(std::string_view method, const RpcError& e) {
  std::string cause;
  switch (e.kind) {
    case RpcFailure::kNone:
      cause = "no error";
      break;
    case RpcFailure::kBadAddress:
      cause = "the address is not an http:// or https:// URL";
      break;
    case RpcFailure::kCannotConnect:
      cause = "cannot connect";
      break;
    case RpcFailure::kNoAnswer:
      cause = "no answer";
      break;
    case RpcFailure::kHttpStatus:
      cause = "HTTP " + ShownText(e.message);
      break;
    case RpcFailure::kNotJson:
      cause = "the answer is not JSON-RPC";
      break;
    case RpcFailure::kBadRequest:
      cause = "a value is not valid UTF-8";
      break;
    case RpcFailure::kUnauthorized:
      cause = "the secret was refused (Unauthorized)";
      break;
    case RpcFailure::kRedirected:
      cause = "redirected (HTTP " + std::to_string(e.code) + ") to " + ShownEndpoint(e.message) +
              "; not followed";
      break;
    case RpcFailure::kRpcError:
      cause = "refused: " + ShownText(e.message) + " (code " + std::to_string(e.code) + ")";
      break;
  }
  return std::string(method) + ": " + cause;
}

JsonRpcClient::JsonRpcClient(std::string endpoint, std::shared_ptr<HttpPlatform> platform)
    : endpoint_(std::move(endpoint)), platform_(std::move(platform)) {}

RpcReply JsonRpcClient::Call(const std::string& method, const Json& params) {
  RpcReply reply;
  const int id = nextId_++;
  std::string body;
  try {
    body = Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
  } catch (const Json::exception&) {
    reply.error = Failure(RpcFailure::kBadRequest);
    return reply;
  }

  WebClient client(false, platform_);
  client.SetCancelFlag(cancel_);
  std::string headers, status, bytes, location;
  client.Request({.url = Utf8ToGbk(endpoint_),
                  .method = 1,
                  .body = body,
                  .headerLines = "Content-Type: application/json\r\nAccept: application/json",
                  .responseHeaders = &headers,
                  .noRedirect = true,
                  .timeoutSeconds = timeoutSeconds_,
                  .location = &location,
                  .statusText = &status,
                  .responseBytes = &bytes});
  if (headers.empty()) {
    // The web client's failure messages begin with their number.
    int step = ReadInt(status);
    reply.error = Failure(step == 701   ? RpcFailure::kBadAddress
                          : step == 712 ? RpcFailure::kNoAnswer
                                        : RpcFailure::kCannotConnect);
    return reply;
  }

  const int httpStatus = ReadInt(status);
  if (httpStatus >= 300 && httpStatus < 400 && !location.empty()) {
    reply.error = Failure(RpcFailure::kRedirected, httpStatus, GbkToUtf8(location));
    return reply;
  }
  Json answer = Json::parse(bytes, nullptr, false);
  bool isResponse = answer.is_object() && (answer.contains("result") || answer.contains("error"));
  if (isResponse && answer.contains("id") && !answer["id"].is_null() && answer["id"] != id)
    isResponse = false;
  if (!isResponse) {
    // A proxy's or a web server's own page: its status says more than its body.
    bool success = httpStatus >= 200 && httpStatus < 300;
    reply.error = success ? Failure(RpcFailure::kNotJson)
                          : Failure(RpcFailure::kHttpStatus, httpStatus, GbkToUtf8(status));
    return reply;
  }
  if (auto error = answer.find("error"); error != answer.end() && !error->is_null()) {
    reply.error = RpcErrorFromObject(*error);
    return reply;
  }
  reply.result = std::move(answer["result"]);
  return reply;
}

std::string ShownEndpoint(std::string_view endpoint) {
  size_t scheme = endpoint.find("://");
  size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  size_t end = endpoint.find_first_of("/?#", start);
  std::string_view authority =
      endpoint.substr(start, end == std::string_view::npos ? end : end - start);
  size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return ShownText(endpoint);
  return ShownText(std::string(endpoint.substr(0, start)) +
                   std::string(endpoint.substr(start + at + 1)));
}

}  // namespace sf
