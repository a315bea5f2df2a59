// The service's secrets: login passwords kept only as salted PBKDF2 hashes, random tokens for
// sessions, anti-forgery checks and API keys, and the digests under which those tokens are
// stored. Every comparison of secret material takes the same time whatever the bytes.
#pragma once

#include <string>
#include <string_view>

namespace sf::service {

// `bytes` random bytes from the system's generator as lower-case hex; empty when the
// generator fails, which callers treat as a refusal to go on.
std::string RandomToken(size_t bytes = 32);

// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>"; empty when hashing failed.
std::string HashPassword(std::string_view password, int iterations);

// True when `password` hashes to `stored`. A stored text of another form never matches.
bool VerifyPassword(std::string_view password, const std::string& stored);

// The hex SHA-256 of a token: tokens are long and random, so a plain digest is enough to keep
// a stolen database from being replayed as cookies or keys.
std::string TokenDigest(std::string_view token);

// Compares two texts in a time that does not depend on where they differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace sf::service
