#include "service/http_types.h"

namespace sf::service {

std::string HttpRequest::Header(const std::string& lowerName) const {
  auto it = headers.find(lowerName);
  return it == headers.end() ? std::string() : it->second;
}

std::string HttpRequest::Cookie(const std::string& name) const {
  const std::string text = Header("cookie");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(';', pos);
    if (end == std::string::npos) end = text.size();
    size_t begin = text.find_first_not_of(' ', pos);
    if (begin < end) {
      size_t eq = text.find('=', begin);
      if (eq < end && text.compare(begin, eq - begin, name) == 0 && eq - begin == name.size())
        return text.substr(eq + 1, end - eq - 1);
    }
    pos = end + 1;
  }
  return {};
}

bool HttpRequest::Changes() const {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

HttpResponse JsonResponse(int status, const nlohmann::json& body) {
  HttpResponse response;
  response.status = status;
  response.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return response;
}

HttpResponse ErrorResponse(int status, const std::string& code, const std::string& message) {
  return JsonResponse(status, {{"error", code}, {"message", message}});
}

}  // namespace sf::service
