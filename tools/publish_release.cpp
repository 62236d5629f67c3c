// The release publisher: turns a folder of game files into what an update server serves as
// static files. One zlib object per distinct content under objects/<hash>, the signed manifest
// "manifest-<platform>.txt" and the signed "news.txt", at the top for the Live channel or under
// testing/ for the Testing channel, and optionally the launcher's own executable as the
// manifest's launcher entry.
//
//   publish_release --new-key FILE                       make a key pair and stop
//   publish_release (--key FILE | --new-key FILE) --out DIR --game DIR --version TEXT
//                   [--testing] [--news FILE] [--launcher FILE] [--platform NAME]
//
// A secret key file holds 128 hex digits (seed, then public key); --new-key writes it and the
// public key's 64 hex digits to FILE.pub, and refuses to overwrite an existing FILE. The public
// key is printed as "public key <hex>". Objects already under DIR/objects are kept as they are,
// so several releases and both channels share one object folder.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "base/platform.h"
#include "update/fs_os.h"
#include "update/hex.h"
#include "update/manifest.h"
#include "update/signed_text.h"
#include "update/updater.h"

namespace fs = std::filesystem;
using namespace qv::launcher;

namespace {

struct Options {
    std::string keyFile;
    bool newKey = false;
    std::string out;
    std::string game;
    std::string version;
    bool testing = false;
    std::string news;
    std::string launcher;
    std::string platform = platformName();
};

int usage(const char* why) {
    std::fprintf(
        stderr,
        "publish_release: %s\n"
        "usage: publish_release --new-key FILE\n"
        "       publish_release (--key FILE | --new-key FILE) --out DIR --game DIR --version TEXT\n"
        "                       [--testing] [--news FILE] [--launcher FILE] [--platform NAME]\n",
        why);
    return 2;
}

bool writeText(const fs::path& path, const std::string& text) {
    return writeFileAtomic(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The secret key is readable by its owner only before a byte of it is written: the file is made
// new (never over something already there, never through a link) and restricted, then filled.
bool writePrivateText(const fs::path& path, const std::string& text) {
    std::error_code ec;
    std::FILE* file = fsCreateNew(path, ec);
    if (!file) return false;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ec);
    const bool written = !ec && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

bool makeKey(const std::string& file, std::uint8_t* secret, std::uint8_t* pub) {
    if (fs::exists(file)) {
        std::fprintf(stderr, "publish_release: %s exists; not overwriting a secret key\n",
                     file.c_str());
        return false;
    }
    if (!generateKeyPair(secret, pub)) {
        std::fprintf(stderr, "publish_release: no secure random source\n");
        return false;
    }
    if (!writePrivateText(file, toHex(secret, 64) + "\n") ||
        !writeText(file + ".pub", toHex(pub, 32) + "\n")) {
        std::fprintf(stderr, "publish_release: cannot write %s\n", file.c_str());
        return false;
    }
    return true;
}

bool loadKey(const std::string& file, std::uint8_t* secret, std::uint8_t* pub) {
    std::string text;
    if (!readFile(file, text)) {
        std::fprintf(stderr, "publish_release: cannot read %s\n", file.c_str());
        return false;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (!fromHex(text, secret, 64)) {
        std::fprintf(stderr, "publish_release: %s is not a secret key (128 hex digits)\n",
                     file.c_str());
        return false;
    }
    std::memcpy(pub, secret + 32, 32);
    return true;
}

// Stores the content as objects/<hash> unless it is there already; fills the entry's sizes.
bool storeObject(const fs::path& objects, const std::string& content, Entry& entry, int& fresh) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(content.data());
    entry.hash = hashHex(bytes, content.size());
    entry.size = content.size();
    const fs::path target = objects / entry.hash;
    std::error_code ec;
    const std::uintmax_t existing = fs::file_size(target, ec);
    if (!ec) {
        entry.packedSize = existing;
        return true;
    }
    uLongf packedLength = compressBound(content.size());
    std::vector<std::uint8_t> packed(packedLength);
    if (compress2(packed.data(), &packedLength, bytes, content.size(), Z_BEST_COMPRESSION) !=
        Z_OK) {
        std::fprintf(stderr, "publish_release: zlib failed on %s\n", entry.hash.c_str());
        return false;
    }
    // A release folder is published again from its game folder after a crash, so the objects
    // need not wait for the disk one by one.
    if (!writeFileAtomic(target, packed.data(), packedLength, ec, Durability::Deferred)) {
        std::fprintf(stderr, "publish_release: cannot write %s\n", toUtf8(target).c_str());
        return false;
    }
    entry.packedSize = packedLength;
    ++fresh;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "--key") {
            ok = value(options.keyFile);
        } else if (arg == "--new-key") {
            ok = value(options.keyFile);
            options.newKey = true;
        } else if (arg == "--out") {
            ok = value(options.out);
        } else if (arg == "--game") {
            ok = value(options.game);
        } else if (arg == "--version") {
            ok = value(options.version);
        } else if (arg == "--testing") {
            options.testing = true;
        } else if (arg == "--news") {
            ok = value(options.news);
        } else if (arg == "--launcher") {
            ok = value(options.launcher);
        } else if (arg == "--platform") {
            ok = value(options.platform);
        } else {
            return usage(("unknown argument " + arg).c_str());
        }
        if (!ok) return usage((arg + " needs a value").c_str());
    }
    if (options.keyFile.empty()) return usage("a key is needed (--key or --new-key)");

    std::uint8_t secret[64];
    std::uint8_t pub[32];
    if (!(options.newKey ? makeKey(options.keyFile, secret, pub)
                         : loadKey(options.keyFile, secret, pub)))
        return 1;
    std::printf("public key %s\n", toHex(pub, 32).c_str());
    if (options.out.empty() && options.game.empty()) return 0; // a key pair was all that was asked
    if (options.out.empty() || options.game.empty() || options.version.empty()) {
        return usage("--out, --game and --version go together");
    }
    if (options.version.find_first_of(" \t\r\n") != std::string::npos ||
        options.platform.find_first_of(" \t\r\n") != std::string::npos) {
        return usage("the version and the platform are single words");
    }

    const fs::path out = options.out;
    const fs::path objects = out / "objects";
    const fs::path channelDir = options.testing ? out / "testing" : out;
    std::error_code ec;
    fs::create_directories(objects, ec);
    fs::create_directories(channelDir, ec);

    // Every regular file below the game folder, in path order so a release reads the same
    // whichever order the file system lists it.
    std::vector<std::pair<std::string, fs::path>> files;
    for (fs::recursive_directory_iterator it(options.game, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        const std::string relative = it->path().lexically_relative(options.game).generic_string();
        if (!isSafeRelativePath(relative)) {
            std::fprintf(stderr, "publish_release: %s is not a path a release can hold\n",
                         relative.c_str());
            return 1;
        }
        files.emplace_back(relative, it->path());
    }
    if (ec) {
        std::fprintf(stderr, "publish_release: cannot list %s (%s)\n", options.game.c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::sort(files.begin(), files.end());

    Manifest manifest;
    manifest.platform = options.platform;
    manifest.version = options.version;
    int fresh = 0;
    std::set<std::string> distinct;
    std::string content;
    for (const auto& [relative, path] : files) {
        if (!readFile(path, content)) {
            std::fprintf(stderr, "publish_release: cannot read %s\n", toUtf8(path).c_str());
            return 1;
        }
        Entry entry;
        if (!storeObject(objects, content, entry, fresh)) return 1;
        entry.path = relative;
        distinct.insert(entry.hash);
        manifest.files.push_back(entry);
    }
    if (!options.launcher.empty()) {
        if (!readFile(options.launcher, content)) {
            std::fprintf(stderr, "publish_release: cannot read %s\n", options.launcher.c_str());
            return 1;
        }
        if (!storeObject(objects, content, manifest.launcher, fresh)) return 1;
        distinct.insert(manifest.launcher.hash);
    }

    std::string news;
    if (!options.news.empty()) {
        if (!readFile(options.news, news)) {
            std::fprintf(stderr, "publish_release: cannot read %s\n", options.news.c_str());
            return 1;
        }
    } else {
        news = "# Corvanthe " + options.version + "\n";
    }
    if (!news.empty() && news.back() != '\n') news += '\n'; // a signed body ends its last line

    const std::string manifestName = "manifest-" + options.platform + ".txt";
    if (!writeText(channelDir / manifestName, signText(writeManifest(manifest), secret)) ||
        !writeText(channelDir / "news.txt", signText(news, secret))) {
        std::fprintf(stderr, "publish_release: cannot write to %s\n", toUtf8(channelDir).c_str());
        return 1;
    }
    std::printf("published %s for %s on %s: %zu files, %zu objects (%d new)%s\n",
                options.version.c_str(), options.platform.c_str(),
                options.testing ? "Testing" : "Live", manifest.files.size(), distinct.size(), fresh,
                manifest.launcher.hash.empty() ? "" : ", with a launcher");
    return 0;
}
