// Makes a development key pair for builds that are not given a release key: the secret half
// (the 32-byte seed followed by the public key, 128 hex digits) goes to FILE, the public half
// (64 hex digits) to FILE.pub, in the publisher's key file format. An existing FILE is kept.
//
//   dev_key FILE
//
// The build runs it once at configure time and embeds FILE.pub's key in the launcher; the tests
// and the demo sign their releases with FILE. Nothing here is for a real release.
#include "update/crypto.h"

#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

// Lower-case hex, as the publisher writes key files. This program is built at configure time
// from the crypto layer alone, so libsodium's encoder stands in for the release code's own.
std::string hex(const std::uint8_t* bytes, std::size_t n) {
    std::string out(2 * n + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.pop_back();
    return out;
}

bool writeLine(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fputs((text + "\n").c_str(), file) >= 0;
    return std::fclose(file) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dev_key FILE\n");
        return 2;
    }
    const std::string file = argv[1];
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        std::fprintf(stderr, "dev_key: %s exists; keeping it\n", file.c_str());
        return 0;
    }
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    if (sodium_init() < 0) {
        std::fprintf(stderr, "dev_key: libsodium did not start\n");
        return 1;
    }
    std::uint8_t seed[32];
    std::uint8_t secret[64];
    std::uint8_t pub[32];
    randombytes_buf(seed, sizeof seed);
    crypto_eddsa_key_pair(secret, pub, seed);
    // The secret half is readable by its owner only, from the moment the file exists.
    bool ok = writeLine(file, "");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    const std::string pubHex = hex(pub, 32);
    ok = ok && !ec && writeLine(file, hex(secret, 64)) && writeLine(file + ".pub", pubHex);
    sodium_memzero(secret, sizeof secret);
    if (!ok) {
        std::fprintf(stderr, "dev_key: cannot write %s\n", file.c_str());
        return 1;
    }
    std::printf("%s\n", pubHex.c_str());
    return 0;
}
