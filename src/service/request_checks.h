// The checks made on every request before any route sees it, as pure functions of the
// request's texts, so the rules read in one place.
#pragma once

#include <string>
#include <vector>

namespace sf::service {

// The host part of a Host header ("[::1]:8080" gives "::1", "Name:80" gives "name").
std::string HostName(const std::string& hostHeader);

// True when the Host header names one of `allowed` (lower-case names or addresses). A
// missing or malformed header is refused, which keeps a rebinding name out.
bool HostAllowed(const std::string& hostHeader, const std::vector<std::string>& allowed);

// True when a request carrying `origin` (may be empty) comes from the page this service
// served, that is from http(s)://<host header>. An absent Origin is not foreign.
bool SameOrigin(const std::string& origin, const std::string& hostHeader);

// The address a request is from: the socket's, unless that is a trusted proxy; then the
// right-most address of X-Forwarded-For that is not itself a trusted proxy.
std::string ClientAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<std::string>& trustedProxies);

// The name a static path asks for ("/" gives "index.html"), or empty when the path could leave
// the served set: "..", a backslash, a percent sign left after decoding, an empty segment or a
// control character.
std::string StaticName(const std::string& path);

}  // namespace sf::service
