// Feeds arbitrary bytes to the signed-text check under a fixed key (the seed
// corpus holds texts that key signed, so mutations land near valid ones).
// A text that passes must be exactly what the signer makes of its body, up to
// the case of the digits and the final line feed; one that fails leaves the
// body alone. The same bytes as a body must survive signing and checking.
#include "update/crypto.h"
#include "update/signed_text.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace qv::launcher;

namespace {

struct Keys {
    std::uint8_t secretKey[64];
    std::uint8_t publicKey[32];
    Keys() {
        std::uint8_t seed[32];
        for (int i = 0; i < 32; ++i)
            seed[i] = static_cast<std::uint8_t>(0xc0 + i);
        crypto_eddsa_key_pair(secretKey, publicKey, seed);
    }
};

const Keys& keys() {
    static const Keys k;
    return k;
}

// The signer's form of a text that passed: lower-case digits, one line feed.
std::string canonical(const std::string& text, std::size_t bodySize) {
    std::string result = text.substr(0, bodySize);
    std::string line = text.substr(bodySize);
    if (line.back() == '\n') line.pop_back();
    for (char& c : line)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result + line + "\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Keys& k = keys();
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::string body = "before";
    if (verifySigned(input, k.publicKey, body)) {
        if (input.compare(0, body.size(), body) != 0) __builtin_trap();
        if (signText(body, k.secretKey) != canonical(input, body.size())) __builtin_trap();
    } else if (body != "before") {
        __builtin_trap();
    }

    const bool verifiable = input.empty() || input.back() == '\n';
    std::string back;
    if (verifySigned(signText(input, k.secretKey), k.publicKey, back) != verifiable)
        __builtin_trap();
    if (verifiable && back != input) __builtin_trap();
    return 0;
}
