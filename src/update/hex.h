// Hex text and the content hash that names every file of a release: unkeyed
// BLAKE2b with a 32-byte digest, written as 64 lower-case hex digits. Hashes
// are compared only as text; "" stands for no hash at all and never equals a
// real one. Nothing here logs: callers decide what a failure means.
#pragma once

#include "update/crypto.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qv::launcher {

// The value of one hex digit of either case, 0 to 15; -1 for any other character.
int hexDigitValue(char c);

// Decodes the first 2n characters of hex (either case) into n bytes. The
// caller has made sure hex holds at least 2n characters. False at the first
// character that is no hex digit; the output is then unusable.
bool decodeHexDigits(const std::string& hex, std::uint8_t* out, std::size_t n);

// As decodeHexDigits, but false unless hex is exactly 2n characters long.
bool fromHex(const std::string& hex, std::uint8_t* out, std::size_t n);

// Exactly 2n lower-case digits, the high nibble of each byte first.
std::string toHex(const std::uint8_t* bytes, std::size_t n);

// The content hash of n bytes, hashed in place.
std::string hashHex(const std::uint8_t* bytes, std::size_t n);

// A streaming content hash. One Hasher yields one digest: finishHex wipes the
// context, and nothing is fed or finished after it (a second finish ends the
// process inside libsodium).
class Hasher {
  public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    void update(const std::uint8_t* bytes, std::size_t n);
    std::string finishHex();

  private:
    std::unique_ptr<crypto_blake2b_ctx> ctx;
};

// The content hash of the file named by the UTF-8 path, read as bytes in
// 65,536-byte pieces (memory use does not grow with the file); "" when the
// file cannot be opened or a read fails. An empty file has the hash of zero
// bytes.
std::string hashFile(const std::string& path);

} // namespace qv::launcher
