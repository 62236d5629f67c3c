#include "update/hex.h"

#include "base/platform.h"
#include "update/fs_os.h"

#include <cstdio>
#include <filesystem>

namespace qv::launcher {
namespace {

constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kReadSize = 65536;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decodeHexDigits(const std::string& hex, std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const int high = hexDigitValue(hex[2 * i]);
        const int low = hexDigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

bool fromHex(const std::string& hex, std::uint8_t* out, std::size_t n) {
    if (hex.size() != 2 * n) return false;
    return decodeHexDigits(hex, out, n);
}

std::string toHex(const std::uint8_t* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 15];
    }
    return text;
}

std::string hashHex(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t digest[kDigestSize];
    crypto_blake2b(digest, kDigestSize, bytes, n);
    return toHex(digest, kDigestSize);
}

Hasher::Hasher() : ctx(std::make_unique<crypto_blake2b_ctx>()) {
    crypto_blake2b_init(ctx.get(), kDigestSize);
}

Hasher::~Hasher() = default;

void Hasher::update(const std::uint8_t* bytes, std::size_t n) {
    crypto_blake2b_update(ctx.get(), bytes, n);
}

std::string Hasher::finishHex() {
    std::uint8_t digest[kDigestSize];
    crypto_blake2b_final(ctx.get(), digest);
    return toHex(digest, kDigestSize);
}

std::string hashFile(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file;
    try {
        file.reset(fsOpenRead(pathFromUtf8(path)));
    } catch (const std::filesystem::filesystem_error&) {
        // Text that is not UTF-8 names no file on any host.
    }
    if (!file) return "";
    Hasher hasher;
    std::uint8_t buffer[kReadSize];
    for (;;) {
        const std::size_t count = std::fread(buffer, 1, sizeof buffer, file.get());
        if (count == 0) break;
        hasher.update(buffer, count);
    }
    const bool failed = std::ferror(file.get()) != 0;
    file.reset();
    if (failed) return "";
    return hasher.finishHex();
}

} // namespace qv::launcher
