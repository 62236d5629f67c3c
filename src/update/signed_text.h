// Signed texts: a body (empty, or ending with a line feed) followed by one
// last line "signature " and 128 hex digits, the EdDSA (BLAKE2b-512)
// signature of every byte of the body, with at most one line feed after it.
// The manifest, the news and their copies on disk all use this form; nothing
// of a signed text is used before it verifies. Nothing here logs.
#pragma once

#include <cstdint>
#include <string>

namespace qv::launcher {

// True when text ends with a well-formed signature line whose signature of
// the body verifies under publicKey (32 bytes); body then receives the body.
// On false body keeps what it held.
bool verifySigned(const std::string& text, const std::uint8_t* publicKey, std::string& body);

// The body followed by its signature line (lower-case digits, one line feed).
// A non-empty body must end with a line feed for the result to verify.
// secretKey is 64 bytes: the seed, then the public key.
std::string signText(const std::string& body, const std::uint8_t* secretKey);

// A new key pair from 32 bytes of the system's secure random source: secretKey
// receives 64 bytes, publicKey 32. False, with both untouched, when the source
// cannot be read in full.
bool generateKeyPair(std::uint8_t* secretKey, std::uint8_t* publicKey);

} // namespace qv::launcher
