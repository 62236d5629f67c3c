#include "update/signed_text.h"

#include "update/crypto.h"
#include "update/random_os.h"
#include "update/hex.h"

#include <string_view>

namespace qv::launcher {
namespace {

constexpr std::string_view kSignaturePrefix = "signature ";
constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kSignatureLineSize = kSignaturePrefix.size() + 2 * kSignatureSize;

} // namespace

bool verifySigned(const std::string& text, const std::uint8_t* publicKey, std::string& body) {
    const std::size_t n = text.size();
    if (n == 0) return false;
    const std::size_t end = text[n - 1] == '\n' ? n - 1 : n;
    const std::size_t lastFeed = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
    const std::size_t start = lastFeed == std::string::npos ? 0 : lastFeed + 1;

    const std::string_view line(text.data() + start, end - start);
    if (line.size() != kSignatureLineSize || !line.starts_with(kSignaturePrefix)) return false;
    std::uint8_t signature[kSignatureSize];
    if (!decodeHexDigits(std::string(line.substr(kSignaturePrefix.size())), signature,
                         kSignatureSize))
        return false;

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (crypto_eddsa_check(signature, publicKey, bytes, start) != 0) return false;
    body.assign(text, 0, start);
    return true;
}

std::string signText(const std::string& body, const std::uint8_t* secretKey) {
    std::uint8_t signature[kSignatureSize];
    crypto_eddsa_sign(signature, secretKey, reinterpret_cast<const std::uint8_t*>(body.data()),
                      body.size());
    std::string text;
    text.reserve(body.size() + kSignatureLineSize + 1);
    text += body;
    text += kSignaturePrefix;
    text += toHex(signature, kSignatureSize);
    text += '\n';
    return text;
}

bool generateKeyPair(std::uint8_t* secretKey, std::uint8_t* publicKey) {
    std::uint8_t seed[32];
    if (!readSecureRandom(seed, sizeof seed)) return false;
    crypto_eddsa_key_pair(secretKey, publicKey, seed);
    return true;
}

} // namespace qv::launcher
