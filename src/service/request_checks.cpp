#include "service/request_checks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace sf::service {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// One spelling per address, so "::ffff:10.0.0.1" and "10.0.0.1" are the same client; empty
// for a text that is no address at all.
std::string CanonicalAddress(const std::string& text) {
  unsigned char bytes[16];
  char out[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
    return inet_ntop(AF_INET, bytes, out, sizeof out) ? out : "";
  if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) return {};
  static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::equal(mapped, mapped + 12, bytes))
    return inet_ntop(AF_INET, bytes + 12, out, sizeof out) ? out : "";
  return inet_ntop(AF_INET6, bytes, out, sizeof out) ? out : "";
}

bool Listed(const std::string& address, const std::vector<std::string>& list) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& item) { return CanonicalAddress(item) == address; });
}

}  // namespace

std::string HostName(const std::string& hostHeader) {
  std::string host = Lower(Trim(hostHeader));
  if (host.empty()) return {};
  if (host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string::npos) return {};
    std::string rest = host.substr(close + 1);
    if (!rest.empty() &&
        (rest[0] != ':' || rest.find_first_not_of("0123456789", 1) != std::string::npos))
      return {};
    return host.substr(1, close - 1);
  }
  size_t colon = host.find(':');
  if (colon != std::string::npos) {
    if (host.find_first_not_of("0123456789", colon + 1) != std::string::npos) return {};
    host.resize(colon);
  }
  if (!host.empty() && host.back() == '.') host.pop_back();
  return host;
}

bool HostAllowed(const std::string& hostHeader, const std::vector<std::string>& allowed) {
  std::string host = HostName(hostHeader);
  if (host.empty()) return false;
  return std::any_of(allowed.begin(), allowed.end(),
                     [&](const std::string& name) { return Lower(name) == host; });
}

bool SameOrigin(const std::string& origin, const std::string& hostHeader) {
  if (origin.empty()) return true;
  std::string o = Lower(Trim(origin)), host = Lower(Trim(hostHeader));
  return o == "http://" + host || o == "https://" + host;
}

std::string ClientAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<std::string>& trustedProxies) {
  std::string client = CanonicalAddress(peer);
  if (client.empty()) client = peer;
  if (!Listed(client, trustedProxies)) return client;
  // Each proxy appends the address it got the request from; only the entries our own proxies
  // added can be believed, so the walk goes from the right and stops at the first stranger.
  size_t end = forwardedFor.size();
  while (end > 0) {
    size_t comma = forwardedFor.rfind(',', end - 1);
    size_t begin = comma == std::string::npos ? 0 : comma + 1;
    std::string address = CanonicalAddress(Trim(forwardedFor.substr(begin, end - begin)));
    if (address.empty()) return client;  // garbage: stay with the last address we trust
    client = address;
    if (!Listed(address, trustedProxies)) return client;
    if (comma == std::string::npos) break;
    end = comma;
  }
  return client;
}

std::string StaticName(const std::string& path) {
  if (path.empty() || path[0] != '/') return {};
  std::string name = path.substr(1);
  if (name.empty()) return "index.html";
  if (name[0] == '/' || name.back() == '/' || name.find("..") != std::string::npos ||
      name.find("//") != std::string::npos)
    return {};
  for (char c : name)
    if (c == '\\' || c == '%' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
  return name;
}

}  // namespace sf::service
